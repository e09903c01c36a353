// The database code linked in, each transfer interrupted and cut to one byte: stores read back
// whole. A failing write or allocation fails the store, leaving the database as it was and no
// half file; a file that ends early after an interrupted read is refused, not read forever.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "child.h"
#include "ek_host.h"

namespace {

bool g_chop = false, g_write_fails = false, g_fork = false, g_shrunk = false,
     g_big_malloc_fails = false, g_clock_ahead = false;
long long g_bytes_read = 0;
size_t g_big_asked = 0;
unsigned g_calls = 0;
pid_t g_forked = 0;

// Whether this transfer fails: every other one while chopping (EINTR), every write if told (EIO).
bool fails_now(bool fails) {
    if (!fails && !(g_chop && g_calls++ % 2 == 0)) return false;
    errno = fails ? EIO : EINTR;
    return true;
}

TEST(HostDbIo, ShortAndInterruptedTransfersLoseNothing) {
    const char *path = "/tmp/db/io";
    // The count, then each key's value.
    auto dump = [path] {
        hosttest::TestDb db(path);
        return std::vector<std::string>{std::to_string(ek_db_count(db.h)), db.get("a"), db.get("b"),
                                        db.get("c")};
    };
    const std::string a(700, 'a');
    const std::vector<std::string> want = {"2", a, "b-value", "<refused>"};
    g_chop = true;
    ASSERT_EQ(hosttest::TestDb(path).store("a", a), 0);
    ASSERT_EQ(hosttest::TestDb(path).store("b", "b-value"), 0);
    EXPECT_EQ(dump(), want);
    g_chop = false, g_write_fails = true;
    EXPECT_EQ(hosttest::TestDb(path).store("c", "c-value"), -1);
    EXPECT_NE(access("/tmp/db/io.new", F_OK), 0) << "the half-written file is left";
    g_write_fails = false, g_big_malloc_fails = true;
    const std::string big(1 << 20, 'x');
    const ek_host_db_record_t r{"c", 1, big.data(), static_cast<int32_t>(big.size())};
    EXPECT_EQ(ek_host_db_replace(hosttest::TestDb(path).h, &r, 1), -1);
    // A store to an image of 1 GiB, the largest, is made (the value is not read: no memory).
    EXPECT_EQ(hosttest::TestDb(path).store("c", "x", (size_t{1} << 30) - 749 - 8 - 1), -1);
    EXPECT_GE(g_big_asked, size_t{1} << 30);
    g_big_malloc_fails = false;
    EXPECT_EQ(dump(), want);
    // A process forked during a store (a daemon's worker) has the lock's descriptor, not the lock.
    g_fork = true;
    EXPECT_EQ(hosttest::TestDb(path).store("c", "c-value"), 0);
    g_fork = false;
    EXPECT_EQ(hosttest::TestDb(path).store("d", "d-value"), 0);
    kill(g_forked, SIGKILL);
    EXPECT_EQ(hosttest::wait_child(g_forked), 128 + SIGKILL);
    g_shrunk = true, g_calls = 0;
    EXPECT_EQ(hosttest::TestDb(path).h, nullptr);
    g_shrunk = false;
}

// With the clock 10 s ahead images settle at once: four fill the four slots (the first of 1 MiB,
// the largest kept). One changed and read again takes back its slot: the others stay kept.
TEST(HostDbIo, AFileReadAgainTakesBackItsOwnSlot) {
    g_clock_ahead = true;
    const char *paths[] = {"/tmp/db/k0", "/tmp/db/k1", "/tmp/db/k2", "/tmp/db/k3"};
    // An image: a 24-byte header, then each record's 8, its key and its value.
    const std::string big((1 << 20) - 24 - 8 - 1, 'A');
    for (const char *path : paths)
        ASSERT_EQ(hosttest::TestDb(path).store("k", path == paths[0] ? big : "A"), 0);
    std::vector<bool> read;
    auto open = [&read](const char *path) {
        long long before = g_bytes_read;
        read.push_back((hosttest::TestDb(path), g_bytes_read > before));
    };
    for (int i = 0; i < 8; ++i) open(paths[i % 4]);
    ASSERT_EQ(hosttest::TestDb(paths[3]).store("k", "B"), 0);
    for (const char *path : {paths[3], paths[0], paths[1], paths[2], paths[3]}) open(path);
    EXPECT_EQ(read, (std::vector<bool>{1, 1, 1, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0}));
    g_clock_ahead = false;
}

}  // namespace

extern "C" {

ssize_t __real_read(int fd, void *buf, size_t n);
ssize_t __real_write(int fd, const void *buf, size_t n);

void *__real_malloc(size_t n);

void *__wrap_malloc(size_t n) {
    g_big_asked = g_big_malloc_fails && n > g_big_asked ? n : g_big_asked;
    return g_big_malloc_fails && n > (1 << 20) ? nullptr : __real_malloc(n);
}

// Shrunk: every other read interrupted, the others at the end of the file.
ssize_t __wrap_read(int fd, void *buf, size_t n) {
    if (g_shrunk) return (g_calls++ % 2 == 0 ? (errno = EINTR, -1) : 0);
    ssize_t got = fails_now(false) ? -1 : __real_read(fd, buf, g_chop && n > 1 ? 1 : n);
    g_bytes_read += got > 0 ? got : 0;
    return got;
}

int __real_clock_gettime(clockid_t clock, struct timespec *now);

int __wrap_clock_gettime(clockid_t clock, struct timespec *now) {
    int rc = __real_clock_gettime(clock, now);
    now->tv_sec += g_clock_ahead && clock == CLOCK_REALTIME ? 10 : 0;
    return rc;
}

ssize_t __wrap_write(int fd, const void *buf, size_t n) {
    if (g_fork && g_forked == 0 && (g_forked = fork()) == 0) pause();
    return fails_now(g_write_fails) ? -1 : __real_write(fd, buf, g_chop && n > 1 ? 1 : n);
}
}
