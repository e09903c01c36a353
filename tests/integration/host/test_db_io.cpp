// The database code linked in, each transfer interrupted and cut to one byte: stores read back
// whole. A failing write fails the store, leaving the database as it was and no half file.
#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/ek_db.h"

namespace {

bool g_chop = false, g_write_fails = false;
unsigned g_calls = 0;

// Whether this transfer fails: every other one while chopping (EINTR), every write if told (EIO).
bool fails_now(bool fails) {
    if (!fails && !(g_chop && g_calls++ % 2 == 0)) return false;
    errno = fails ? EIO : EINTR;
    return true;
}

const char *kPath = "/tmp/db/io";

int store(const char *key, const std::string &value) {
    ek_db_handle_t db = ek_db_open_ex(kPath, EK_DB_MODE);
    int rc = ek_db_store(db, key, 1, value.c_str(), static_cast<int32_t>(value.size() + 1));
    ek_db_close(db);
    return rc;
}

// The count, then each key's value.
std::string dump() {
    ek_db_handle_t db = ek_db_open_ex(kPath, EK_DB_MODE);
    if (db == nullptr) return "<refused>";
    std::string out = std::to_string(ek_db_count(db));
    for (const char *key : {"a", "b", "c"}) {
        char value[1024] = {};
        if (ek_db_fetch(db, key, 1, value) == 0) out += std::string(" ") + key + "=" + value;
    }
    ek_db_close(db);
    return out;
}

TEST(HostDbIo, ShortAndInterruptedTransfersLoseNothing) {
    const std::string a(700, 'a'), want = "2 a=" + a + " b=b-value";
    g_chop = true;
    ASSERT_EQ(store("a", a), 0);
    ASSERT_EQ(store("b", "b-value"), 0);
    EXPECT_EQ(dump(), want);
    g_chop = false;
    EXPECT_EQ(dump(), want);
    g_write_fails = true;
    EXPECT_EQ(store("c", "c-value"), -1);
    EXPECT_NE(access("/tmp/db/io.new", F_OK), 0) << "the half-written file is left";
    g_write_fails = false;
    EXPECT_EQ(dump(), want);
}

}  // namespace

extern "C" {

ssize_t __real_read(int fd, void *buf, size_t n);
ssize_t __real_write(int fd, const void *buf, size_t n);

ssize_t __wrap_read(int fd, void *buf, size_t n) {
    return fails_now(false) ? -1 : __real_read(fd, buf, g_chop && n > 1 ? 1 : n);
}

ssize_t __wrap_write(int fd, const void *buf, size_t n) {
    return fails_now(g_write_fails) ? -1 : __real_write(fd, buf, g_chop && n > 1 ? 1 : n);
}
}
