// The database's semantics, snapshots and concurrent use by processes.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <string>
#include <vector>

#include "child.h"
#include "platform/ek_db.h"

namespace {

constexpr size_t kRec = 904;
using Value = std::array<unsigned char, kRec>;

// A record that names its own key and is uniform otherwise, so that a torn
// or misplaced value shows.
Value make_value(const std::string &key, unsigned gen) {
    Value v;
    v.fill(static_cast<unsigned char>(gen));
    memset(v.data(), 0, 32);
    memcpy(v.data(), key.data(), key.size());
    memcpy(v.data() + 24, &gen, sizeof gen);
    return v;
}

bool well_formed(const Value &v, std::string *key, unsigned *gen) {
    *key = std::string(reinterpret_cast<const char *>(v.data()),
                       strnlen(reinterpret_cast<const char *>(v.data()), 24));
    memcpy(gen, v.data() + 24, sizeof *gen);
    for (size_t i = 32; i < kRec; ++i) {
        if (v[i] != static_cast<unsigned char>(*gen)) return false;
    }
    return true;
}

struct Db {
    explicit Db(const char *path) : h(ek_db_open_ex(path, EK_DB_MODE)) {}
    ~Db() {
        if (h != nullptr) ek_db_close(h);
    }
    int store(const std::string &key, const Value &v) {
        return ek_db_store(h, key.data(), static_cast<int32_t>(key.size()), v.data(), kRec);
    }
    int del(const std::string &key) {
        return ek_db_delete_ex(h, key.data(), static_cast<int32_t>(key.size()), EK_DB_MODE);
    }
    bool fetch(const std::string &key, Value *out) {
        return ek_db_fetch(h, key.data(), static_cast<int32_t>(key.size()), out->data()) == 0;
    }
    std::vector<ek_db_key_desc_t> walk() {
        std::vector<ek_db_key_desc_t> keys;
        ek_db_foreach(
            h,
            [](ek_db_handle_t, ek_db_key_desc_t k, void *arg) {
                static_cast<std::vector<ek_db_key_desc_t> *>(arg)->push_back(k);
            },
            &keys);
        return keys;
    }
    ek_db_handle_t h;
};

std::string key_of(ek_db_handle_t h, ek_db_key_desc_t k) {
    Value v;
    if (ek_db_fetch_bykey(h, k, v.data()) < 0) return "<refused>";
    std::string key;
    unsigned gen;
    return well_formed(v, &key, &gen) ? key : "<torn>";
}

TEST(HostDb, MissingDatabaseOpensEmptyAndAppearsWithTheFirstStore) {
    const char *path = "/tmp/db/a/b/fresh_db";
    Db db(path);
    ASSERT_NE(db.h, nullptr);
    EXPECT_EQ(ek_db_count(db.h), 0);
    EXPECT_TRUE(db.walk().empty());
    struct stat st;
    EXPECT_EQ(stat("/tmp/db/a/b", &st), 0);
    EXPECT_NE(stat(path, &st), 0) << "opening must not write";
    ASSERT_EQ(db.store("usbnet0", make_value("usbnet0", 1)), 0);
    EXPECT_EQ(stat(path, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(HostDb, StoreReplacesDeleteRemovesWalkAndFetchAgree) {
    Db db("/tmp/db/semantics");
    ASSERT_NE(db.h, nullptr);
    for (const char *k : {"eth0", "usbnet0", "ppp0"}) ASSERT_EQ(db.store(k, make_value(k, 1)), 0);
    ASSERT_EQ(db.store("usbnet0", make_value("usbnet0", 2)), 0);
    EXPECT_EQ(ek_db_count(db.h), 3);

    Value v;
    ASSERT_TRUE(db.fetch("usbnet0", &v));
    EXPECT_EQ(v, make_value("usbnet0", 2));
    EXPECT_FALSE(db.fetch("usbnet", &v)) << "keys match whole, not by prefix";

    auto keys = db.walk();
    ASSERT_EQ(keys.size(), 3u);
    std::vector<std::string> names;
    for (auto k : keys) names.push_back(key_of(db.h, k));
    EXPECT_EQ(names, (std::vector<std::string>{"eth0", "usbnet0", "ppp0"}));

    EXPECT_EQ(db.del("eth0"), 0);
    EXPECT_LT(db.del("eth0"), 0);
    EXPECT_LT(db.del("nosuch"), 0);
    EXPECT_EQ(ek_db_count(db.h), 2);
    EXPECT_FALSE(db.fetch("eth0", &v));

    Db again("/tmp/db/semantics");
    EXPECT_EQ(ek_db_count(again.h), 2);
    ASSERT_TRUE(again.fetch("usbnet0", &v));
    EXPECT_EQ(v, make_value("usbnet0", 2));
}

TEST(HostDb, StaleForeignAndForgedDescriptorsAreRefused) {
    Db db("/tmp/db/descriptors");
    ASSERT_EQ(db.store("a", make_value("a", 1)), 0);
    ASSERT_EQ(db.store("b", make_value("b", 1)), 0);
    auto before = db.walk();
    ASSERT_EQ(before.size(), 2u);
    Value v;
    EXPECT_EQ(ek_db_fetch_bykey(db.h, before[1], v.data()), 0);

    Db other("/tmp/db/descriptors");
    EXPECT_LT(ek_db_fetch_bykey(other.h, before[1], v.data()), 0);

    ASSERT_EQ(db.del("a"), 0);
    EXPECT_LT(ek_db_fetch_bykey(db.h, before[1], v.data()), 0) << "view changed";
    for (ek_db_key_desc_t forged : {ek_db_key_desc_t{{0, 0}}, ek_db_key_desc_t{{0xffffffffu, 0}},
                                    ek_db_key_desc_t{{24, 0x12345678}}}) {
        EXPECT_LT(ek_db_fetch_bykey(db.h, forged, v.data()), 0);
    }
}

TEST(HostDb, BadArgumentsFail) {
    Db db("/tmp/db/args");
    Value v{};
    EXPECT_EQ(ek_db_open_ex(nullptr, EK_DB_MODE), nullptr);
    EXPECT_EQ(ek_db_open_ex("", EK_DB_MODE), nullptr);
    EXPECT_LT(ek_db_store(nullptr, "k", 1, v.data(), kRec), 0);
    EXPECT_LT(ek_db_store(db.h, "k", 0, v.data(), kRec), 0);
    EXPECT_LT(ek_db_store(db.h, "k", 1, v.data(), -1), 0);
    EXPECT_LT(ek_db_store(db.h, "k", 1, nullptr, 4), 0);
    EXPECT_EQ(ek_db_count(nullptr), 0);
    EXPECT_NE(ek_db_fetch(db.h, nullptr, 1, v.data()), 0);
    EXPECT_LT(ek_db_fetch_bykey(nullptr, ek_db_key_desc_t{{24, 0}}, v.data()), 0);
    EXPECT_LT(ek_db_close(nullptr), 0);
}

TEST(HostDb, WritesDuringAWalkOfTheSameHandleAreRefused) {
    Db db("/tmp/db/walk_write");
    ASSERT_EQ(db.store("a", make_value("a", 1)), 0);
    int result = 0;
    ek_db_foreach(
        db.h,
        [](ek_db_handle_t h, ek_db_key_desc_t, void *arg) {
            *static_cast<int *>(arg) = ek_db_store(h, "b", 1, "x", 1);
        },
        &result);
    EXPECT_LT(result, 0);
    EXPECT_EQ(db.store("b", make_value("b", 1)), 0);
}

TEST(HostDb, HandleKeepsItsSnapshotWhileOthersWrite) {
    const char *path = "/tmp/db/snapshot";
    Db writer(path);
    ASSERT_EQ(writer.store("old", make_value("old", 1)), 0);
    Db reader(path);
    ASSERT_EQ(ek_db_count(reader.h), 1);
    auto keys = reader.walk();

    ASSERT_EQ(writer.store("new", make_value("new", 1)), 0);
    ASSERT_EQ(writer.del("old"), 0);

    EXPECT_EQ(ek_db_count(reader.h), 1);
    ASSERT_EQ(reader.walk().size(), 1u);
    EXPECT_EQ(key_of(reader.h, keys[0]), "old");
    Value v;
    EXPECT_FALSE(reader.fetch("new", &v));

    // A store through the old handle starts from the newest file.
    ASSERT_EQ(reader.store("mine", make_value("mine", 1)), 0);
    EXPECT_EQ(ek_db_count(reader.h), 2);
    EXPECT_TRUE(reader.fetch("new", &v));
    EXPECT_FALSE(reader.fetch("old", &v));
    Db fresh(path);
    EXPECT_EQ(ek_db_count(fresh.h), 2);
}

// Writers in several processes add records and rewrite their own; readers
// check on every open that walk, count and fetches describe one state, and
// that no record a writer finished storing ever goes missing.
TEST(HostDb, ConcurrentWritersLoseNothingAndReadersSeeWholeStates) {
    const char *path = "/tmp/db/concurrent";
    constexpr int kWriters = 3, kKeys = 40, kReaders = 2;
    struct Shared {
        std::atomic<int> writers_left;
        std::atomic<int> committed[kWriters];
    };
    auto *shared = hosttest::shared_anon<Shared>();
    shared->writers_left = kWriters;
    hosttest::StartGate gate;
    std::vector<pid_t> writers, readers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(hosttest::spawn([&, w] {
            gate.wait();
            for (int i = 0; i < kKeys; ++i) {
                std::string key = "w" + std::to_string(w) + "-" + std::to_string(i);
                Db db(path);
                if (db.h == nullptr || db.store(key, make_value(key, 1)) != 0) return 1;
                if (i > 0) {
                    std::string prev = "w" + std::to_string(w) + "-" + std::to_string(i - 1);
                    if (db.store(prev, make_value(prev, 2)) != 0) return 2;
                }
                shared->committed[w] = i + 1;
            }
            shared->writers_left--;
            return 0;
        }));
    }
    for (int r = 0; r < kReaders; ++r) {
        readers.push_back(hosttest::spawn([&] {
            gate.wait();
            do {
                int floor[kWriters];
                for (int w = 0; w < kWriters; ++w) floor[w] = shared->committed[w];
                Db db(path);
                if (db.h == nullptr) return 1;
                auto keys = db.walk();
                if (static_cast<int>(keys.size()) != ek_db_count(db.h)) return 2;
                int seen[kWriters] = {};
                for (auto k : keys) {
                    Value v, again;
                    std::string key;
                    unsigned gen;
                    if (ek_db_fetch_bykey(db.h, k, v.data()) < 0) return 3;
                    if (!well_formed(v, &key, &gen)) return 4;
                    if (!db.fetch(key, &again) || again != v) return 5;
                    seen[key[1] - '0']++;
                }
                for (int w = 0; w < kWriters; ++w) {
                    if (seen[w] < floor[w]) return 6;  // a finished store is missing
                }
            } while (shared->writers_left > 0);
            return 0;
        }));
    }
    gate.release();
    for (pid_t p : writers) EXPECT_EQ(hosttest::wait_child(p), 0);
    for (pid_t p : readers) EXPECT_EQ(hosttest::wait_child(p), 0);

    Db db(path);
    ASSERT_EQ(ek_db_count(db.h), kWriters * kKeys);
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kKeys; ++i) {
            std::string key = "w" + std::to_string(w) + "-" + std::to_string(i);
            Value v;
            ASSERT_TRUE(db.fetch(key, &v)) << key;
            EXPECT_EQ(v, make_value(key, i + 1 < kKeys ? 2 : 1)) << key;
        }
    }
}

}  // namespace
