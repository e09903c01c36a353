// What a crash, a full filesystem or a damaged file leaves behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "child.h"
#include "platform/ek_db.h"
#include "platform/ek_platform.h"

namespace {

constexpr int kRec = 904;

std::vector<unsigned char> read_file(const char *path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

void write_file(const char *path, const std::vector<unsigned char> &bytes, size_t len) {
    FILE *f = fopen(path, "wb");
    ASSERT_NE(f, nullptr);
    size_t put = len > 0 ? fwrite(bytes.data(), 1, len, f) : 0;
    fclose(f);
    ASSERT_EQ(put, len);
}

std::set<std::string> dir_entries(const char *dir) {
    std::set<std::string> names;
    DIR *d = opendir(dir);
    if (d == nullptr) return names;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') names.insert(e->d_name);
    }
    closedir(d);
    return names;
}

// The writer's operations, numbered from 1: odd ones store "k" with the
// operation's number in every byte word, the others alternately store and
// delete "t". state(n) is what the database holds after the first n.
struct State {
    uint32_t k;
    bool t;
    bool operator==(const State &) const = default;
};

State state_after(uint32_t n) {
    uint32_t last_t = n % 2 == 0 ? n : n - 1;
    return State{n % 2 == 1 ? n : (n == 0 ? 0 : n - 1), last_t > 0 && last_t % 4 == 2};
}

int apply(ek_db_handle_t db, uint32_t op) {
    if (op % 2 == 1) {
        uint32_t v[kRec / 4];
        for (uint32_t &w : v) w = op;
        return ek_db_store(db, "k", 1, v, kRec);
    }
    if (op % 4 == 2) return ek_db_store(db, "t", 1, "present", 8);
    return ek_db_delete_ex(db, "t", 1, EK_DB_MODE);
}

// Reads the state, or fails the test when the file is not one the writer
// could have left.
bool read_state(const char *path, State *out) {
    ek_db_handle_t db = ek_db_open_ex(path, EK_DB_MODE);
    if (db == nullptr) return false;
    uint32_t v[kRec / 4];
    bool ok = ek_db_fetch(db, "k", 1, v) == 0;
    for (uint32_t w : v) ok = ok && w == v[0];
    char t[8];
    out->k = v[0];
    out->t = ek_db_fetch(db, "t", 1, t) == 0;
    int fillers = ek_db_count(db) - 1 - (out->t ? 1 : 0);
    ek_db_close(db);
    return ok && fillers == 16;
}

TEST(HostDbCrash, WriterKilledAtRandomMomentsLeavesTheOldOrTheNewState) {
    const char *path = "/tmp/db/crash";
    {
        ek_db_handle_t db = ek_db_open_ex(path, EK_DB_MODE);
        ASSERT_NE(db, nullptr);
        std::vector<unsigned char> filler(kRec, 0xee);
        for (int i = 0; i < 16; ++i) {
            std::string key = "filler" + std::to_string(i);
            ASSERT_EQ(
                ek_db_store(db, key.data(), static_cast<int32_t>(key.size()), filler.data(), kRec),
                0);
        }
        ASSERT_EQ(apply(db, 1), 0);
        ek_db_close(db);
    }
    auto *committed = hosttest::shared_anon<std::atomic<uint32_t>>();
    *committed = 1;
    srand(12345);
    int kills_in_flight = 0;
    for (int round = 0; round < 100; ++round) {
        uint32_t done = *committed;
        pid_t child = hosttest::spawn([&] {
            ek_db_handle_t db = ek_db_open_ex(path, EK_DB_MODE);
            if (db == nullptr) return 1;
            for (uint32_t op = done + 1;; ++op) {
                if (apply(db, op) != 0) return 2;
                *committed = op;
            }
        });
        timespec pause{0, (rand() % 3000) * 1000L};
        nanosleep(&pause, nullptr);
        kill(child, SIGKILL);
        ASSERT_EQ(hosttest::wait_child(child), 128 + SIGKILL) << "writer failed by itself";

        uint32_t n = *committed;
        State now;
        ASSERT_TRUE(read_state(path, &now)) << "round " << round;
        if (now == state_after(n + 1)) {
            ++kills_in_flight;  // killed after the rename, before it noted so
            *committed = n + 1;
        } else {
            ASSERT_EQ(now, state_after(n)) << "round " << round << " after op " << n;
        }
        auto names = dir_entries("/tmp/db");
        names.erase("crash");
        names.erase("crash.lock");
        names.erase("crash.new");
        EXPECT_TRUE(names.empty()) << "leftover " << *names.begin();
    }
    EXPECT_GT(*committed, 20u) << "the writer hardly ran";
    RecordProperty("kills_after_rename", kills_in_flight);
}

class HostDbFull : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir(kDir, 0755);
        if (mount("ek_full", kDir, "tmpfs", 0, "size=64k") != 0) {
            GTEST_SKIP() << "cannot mount a small tmpfs here";
        }
    }
    void TearDown() override { umount(kDir); }

    // Takes every free byte of the filesystem.
    static void fill(const char *path) {
        FILE *f = fopen(path, "wb");
        ASSERT_NE(f, nullptr);
        setvbuf(f, nullptr, _IONBF, 0);
        std::vector<char> chunk(512, 'f');
        while (fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size()) {
        }
        while (fwrite(chunk.data(), 1, 1, f) == 1) {
        }
        fclose(f);
    }

    static constexpr const char *kDir = "/tmp/full";
};

TEST_F(HostDbFull, StoreAndDeleteFailCleanlyAndKeepTheOldContent) {
    const char *path = "/tmp/full/db/x";
    std::vector<unsigned char> a(kRec, 'A'), b(kRec, 'B');
    ek_db_handle_t db = ek_db_open_ex(path, EK_DB_MODE);
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(ek_db_store(db, "a", 1, a.data(), kRec), 0);
    ASSERT_EQ(ek_db_store(db, "z", 1, a.data(), kRec), 0);
    fill("/tmp/full/filler");

    EXPECT_LT(ek_db_store(db, "a", 1, b.data(), kRec), 0);
    EXPECT_LT(ek_db_store(db, "c", 1, b.data(), kRec), 0);
    EXPECT_LT(ek_db_delete_ex(db, "z", 1, EK_DB_MODE), 0);
    std::vector<unsigned char> got(kRec);
    ASSERT_EQ(ek_db_fetch(db, "a", 1, got.data()), 0);
    EXPECT_EQ(got, a) << "the handle's view changed after a failed store";
    ek_db_close(db);

    EXPECT_EQ(dir_entries("/tmp/full/db"), (std::set<std::string>{"x", "x.lock"}));
    db = ek_db_open_ex(path, EK_DB_MODE);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(ek_db_count(db), 2);
    ASSERT_EQ(ek_db_fetch(db, "a", 1, got.data()), 0);
    EXPECT_EQ(got, a);

    unlink("/tmp/full/filler");
    EXPECT_EQ(ek_db_store(db, "a", 1, b.data(), kRec), 0);
    ek_db_close(db);
}

class HostDbDamaged : public ::testing::Test {
protected:
    void SetUp() override {
        unlink(kPath);
        ek_db_handle_t db = ek_db_open_ex(kPath, EK_DB_MODE);
        ASSERT_NE(db, nullptr);
        ASSERT_EQ(ek_db_store(db, "eth0", 4, "0123456789", 10), 0);
        ASSERT_EQ(ek_db_store(db, "usbnet0", 7, "abc", 3), 0);
        ASSERT_EQ(ek_db_store(db, "p1", 2, "", 0), 0);
        ek_db_close(db);
        good_ = read_file(kPath);
        ASSERT_GT(good_.size(), 24u);
    }
    static bool opens() {
        ek_db_handle_t db = ek_db_open_ex(kPath, EK_DB_MODE);
        if (db != nullptr) ek_db_close(db);
        return db != nullptr;
    }
    static constexpr const char *kPath = "/tmp/db/damaged";
    std::vector<unsigned char> good_;
};

TEST_F(HostDbDamaged, EveryTruncationIsRefused) {
    for (size_t len = 0; len < good_.size(); ++len) {
        write_file(kPath, good_, len);
        EXPECT_FALSE(opens()) << "truncated to " << len;
    }
    std::vector<unsigned char> longer = good_;
    longer.push_back(0);
    write_file(kPath, longer, longer.size());
    EXPECT_FALSE(opens()) << "trailing byte";
    write_file(kPath, good_, good_.size());
    EXPECT_TRUE(opens());
}

TEST_F(HostDbDamaged, EveryFlippedBitIsRefused) {
    std::vector<unsigned char> bad = good_;
    for (size_t i = 0; i < bad.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            bad[i] ^= static_cast<unsigned char>(1u << bit);
            write_file(kPath, bad, bad.size());
            EXPECT_FALSE(opens()) << "byte " << i << " bit " << bit;
            bad[i] = good_[i];
        }
    }
}

TEST_F(HostDbDamaged, PathsThatAreNotDatabaseFilesAreRefused) {
    mkdir("/tmp/db/a_directory", 0755);
    EXPECT_EQ(ek_db_open_ex("/tmp/db/a_directory", EK_DB_MODE), nullptr);
    EXPECT_EQ(ek_db_open_ex("/tmp/db/damaged/below_a_file", EK_DB_MODE), nullptr);
}

}  // namespace
