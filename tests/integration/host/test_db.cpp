// The host database in one process: semantics, snapshots, descriptors, a
// full filesystem and damaged files. Concurrent and killed writers: stress.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "db/db_format.h"
#include "platform/ek_db.h"

namespace {

std::string slurp(const char *path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void spill(const char *path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

struct Db {
    explicit Db(const char *path) : h(ek_db_open_ex(path, EK_DB_MODE)) {}
    ~Db() {
        if (h != nullptr) ek_db_close(h);
    }
    int store(const std::string &k, const std::string &v) {
        return ek_db_store(h, k.data(), static_cast<int32_t>(k.size()), v.data(),
                           static_cast<int32_t>(v.size()));
    }
    int del(const std::string &k) {
        return ek_db_delete_ex(h, k.data(), static_cast<int32_t>(k.size()), EK_DB_MODE);
    }
    // A value up to its first NUL.
    std::string get(const std::string &k) {
        char buf[1024] = {};
        return ek_db_fetch(h, k.data(), static_cast<int32_t>(k.size()), buf) == 0 ? buf : "<none>";
    }
    // Every walk also tries a store, which must be refused while the walk's
    // descriptors are out: a store would replace the image they point into.
    std::vector<ek_db_key_desc_t> walk() {
        std::vector<ek_db_key_desc_t> keys;
        ek_db_foreach(
            h,
            [](ek_db_handle_t db, ek_db_key_desc_t k, void *arg) {
                auto *out = static_cast<std::vector<ek_db_key_desc_t> *>(arg);
                out->push_back(ek_db_store(db, "w", 1, "w", 1) < 0 ? k : ek_db_key_desc_t{});
            },
            &keys);
        return keys;
    }
    std::string at(ek_db_key_desc_t k) {
        char buf[1024] = {};
        return ek_db_fetch_bykey(h, k, buf) == 0 ? buf : "<refused>";
    }
    // The count, then the values in walk order.
    std::string dump() {
        std::string out = std::to_string(ek_db_count(h)) + ":";
        for (auto k : walk()) out += " " + at(k);
        return out;
    }
    ek_db_handle_t h;
};

TEST(HostDb, StoresDeletesWalksAndSnapshots) {
    const char *path = "/tmp/db/a/b/sem";
    Db w(path);
    ASSERT_NE(w.h, nullptr);
    EXPECT_TRUE(std::filesystem::is_directory("/tmp/db/a/b"));
    EXPECT_FALSE(std::filesystem::exists(path)) << "opening must not write";
    for (const char *k : {"eth0", "usbnet0", "ppp0"}) ASSERT_EQ(w.store(k, k), 0);
    EXPECT_EQ(std::filesystem::status(path).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    ASSERT_EQ(w.store("usbnet0", "v2"), 0);
    EXPECT_EQ(w.get("usbnet0"), "v2");
    EXPECT_EQ(w.get("usbnet"), "<none>") << "keys match whole";
    Db r(path);
    auto old = r.walk();
    ASSERT_EQ(r.dump(), "3: eth0 v2 ppp0");
    EXPECT_EQ(r.at(old[1]), "v2");
    EXPECT_EQ(w.at(old[1]), "<refused>") << "another handle's descriptor";
    for (ek_db_key_desc_t forged : {ek_db_key_desc_t{{24, 0}}, ek_db_key_desc_t{{~0u, 0}}}) {
        EXPECT_EQ(r.at(forged), "<refused>");
    }

    auto before = w.walk();
    ASSERT_EQ(w.del("eth0"), 0);
    EXPECT_EQ(w.at(before[0]), "<refused>") << "descriptor of the view the handle replaced";
    EXPECT_LT(w.del("eth0"), 0);
    EXPECT_EQ(r.dump(), "3: eth0 v2 ppp0") << "a handle keeps the state it opened";
    EXPECT_EQ(Db(path).dump(), "2: v2 ppp0");
    // A store through an old handle starts from the newest file.
    ASSERT_EQ(r.store("mine", "m"), 0);
    EXPECT_EQ(r.dump(), "3: v2 ppp0 m");
    EXPECT_EQ(r.at(old[1]), "<refused>") << "descriptor of a replaced view";
}

TEST(HostDbFull, StoreAndDeleteFailCleanlyAndKeepTheOldContent) {
    mkdir("/tmp/full", 0755);
    if (mount("ek_full", "/tmp/full", "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "no tmpfs";
    const char *path = "/tmp/full/db/x";
    const std::string a(900, 'a'), b(900, 'b');
    Db db(path);
    ASSERT_EQ(db.store("a", a), 0);
    ASSERT_EQ(db.store("z", a), 0);
    std::ofstream filler("/tmp/full/filler", std::ios::binary);
    while (filler.put('f')) {
    }
    EXPECT_LT(db.store("a", b), 0);
    EXPECT_LT(db.store("c", b), 0);
    EXPECT_LT(db.del("z"), 0);
    EXPECT_EQ(db.get("a"), a) << "the handle's view changed";
    EXPECT_EQ(Db(path).dump(), "2: " + a + " " + a);
    EXPECT_FALSE(std::filesystem::exists("/tmp/full/db/x.new"));
    filler.close();
    unlink("/tmp/full/filler");
    EXPECT_EQ(db.store("a", b), 0);
}

// An image written on any host, byte for byte: header words little-endian.
const std::string kGolden(
    "EKDB\x0a\x75\xc1\xe9\1\0\0\0\1\0\0\0\x2e\0\0\0\0\0\0\0\4\0\0\0\x0a\0\0\0eth00123456789", 46);

void put32(std::string &img, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) img[at + i] = static_cast<char>(v >> (8 * i));
}

// Structural damage that the checksum does not stop: the image is resealed.
std::string resealed(std::string img, uint32_t at, uint32_t v, uint32_t at2 = 4, uint32_t v2 = 0) {
    put32(img, at, v);
    put32(img, at2, v2);
    namespace f = ek::host::db;
    put32(img, 4,
          f::checksum(f::Bytes(reinterpret_cast<unsigned char *>(img.data()) + 8, img.size() - 8)));
    return img;
}

TEST(HostDbDamage, EveryTruncationFlippedBitAndBadFieldIsRefused) {
    const char *path = "/tmp/db/damaged";
    auto refused = [&](const std::string &img) {
        spill(path, img);
        return Db(path).h == nullptr;
    };
    Db db(path);
    ASSERT_EQ(db.store("eth0", "0123456789"), 0);
    EXPECT_EQ(slurp(path), kGolden);
    ASSERT_EQ(db.store("usbnet0", "abc"), 0);
    ASSERT_EQ(db.store("p1", ""), 0);
    const std::string small = slurp(path);
    ASSERT_EQ(db.store("big", std::string(70000, 'x')), 0);
    // A large image is read and checked in pieces; it gets a sample.
    for (const auto &[good, stride] : {std::pair{small, 1}, std::pair{slurp(path), 61}}) {
        ASSERT_FALSE(refused(good));
        for (size_t len = 0; len < good.size(); len += stride) {
            EXPECT_TRUE(refused(good.substr(0, len))) << "truncated to " << len;
        }
        EXPECT_TRUE(refused(good + '\0')) << "trailing byte";
        for (size_t i = 0; i < good.size() * 8; i += stride) {
            std::string bad = good;
            bad[i / 8] ^= static_cast<char>(1u << (i % 8));
            EXPECT_TRUE(refused(bad)) << "bit " << i;
        }
    }
    // Rows: words of the header or of a record header set to what may not
    // stand there (offset, value, a second offset and value).
    const uint32_t s = 24 + 8 + 4 + 10,
                   rows[][4] = {{0, 0, 4, 0},       {8, 2, 4, 0},       {12, 2, 4, 0},
                                {12, 4, 4, 0},      {12, ~0u, 4, 0},    {16, 75, 4, 0},
                                {20, 1, 4, 0},      {24, 0, 28, 14},    {s, 100, 4, 0},
                                {s + 4, 100, 4, 0}, {s + 4, ~0u, 4, 0}, {s, 0xfffffff0u, 4, 0}};
    for (const auto &r : rows) {
        EXPECT_TRUE(refused(resealed(small, r[0], r[1], r[2], r[3]))) << r[0] << " " << r[1];
    }
    EXPECT_FALSE(refused(resealed(small, 4, 0))) << "resealing alone";
    mkdir("/tmp/db/a_directory", 0755);
    EXPECT_EQ(Db("/tmp/db/a_directory").h, nullptr);
    EXPECT_EQ(Db("/tmp/db/damaged/below_a_file").h, nullptr);
}

}  // namespace
