// The image loader on crafted images: each is given a valid checksum, so
// only the structural checks stand between it and an out-of-bounds read.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "db/db_format.h"

namespace {

using namespace ek::host::db;
using Image = std::vector<unsigned char>;

Bytes bytes(const std::string &s) {
    return Bytes(reinterpret_cast<const unsigned char *>(s.data()), s.size());
}

Image build(const std::vector<std::pair<std::string, std::string>> &records) {
    Image img(kHeaderSize);
    for (const auto &[k, v] : records) {
        size_t at = img.size();
        img.resize(at + record_size(k.size(), v.size()));
        put_record(img.data() + at, bytes(k), bytes(v));
    }
    seal_image(img, static_cast<uint32_t>(records.size()));
    return img;
}

void put32(Image &img, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) img[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

void reseal(Image &img) {
    put32(img, 4, checksum(Bytes(img).subspan(8)));
}

bool parses(const Image &img, uint32_t *count = nullptr) {
    uint32_t n = 0;
    bool ok = parse_image(Bytes(img), &n);
    if (count != nullptr) *count = n;
    return ok;
}

TEST(HostDbFormat, WellFormedImagesParseAndWalk) {
    uint32_t n = 99;
    EXPECT_TRUE(parses(build({}), &n));
    EXPECT_EQ(n, 0u);
    Image img = build({{"eth0", "0123456789"}, {"p1", ""}, {"usbnet0", "x"}});
    ASSERT_TRUE(parses(img, &n));
    EXPECT_EQ(n, 3u);
    Record r;
    ASSERT_TRUE(record_at(Bytes(img), kHeaderSize, &r));
    EXPECT_EQ(std::string(r.key.begin(), r.key.end()), "eth0");
    EXPECT_EQ(std::string(r.value.begin(), r.value.end()), "0123456789");
    ASSERT_TRUE(record_at(Bytes(img), r.offset + r.size, &r));
    EXPECT_EQ(r.value.size(), 0u);
}

// The same bytes give the same checksum on every host, so files move
// between hosts of either byte order.
TEST(HostDbFormat, ChecksumIsIndependentOfTheHost) {
    std::string text(100, '\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 7);
    EXPECT_EQ(checksum(bytes(text)), 0x675A314Au);
    EXPECT_EQ(checksum(bytes(text.substr(0, 31))), 0xBE8CD35Cu);
    EXPECT_NE(checksum(bytes(text.substr(0, 99))), checksum(bytes(text)));
}

// The loader checks a file as its pieces arrive; however the bytes are cut,
// it must agree with the check of the whole image.
bool parses_in_pieces(const Image &img, size_t piece) {
    ImageCheck check;
    if (!check.begin(Bytes(img).first(kHeaderSize), img.size())) return false;
    size_t have = kHeaderSize;
    do {
        have = std::min(img.size(), have + piece);
        if (!check.advance(Bytes(img).first(have))) return false;
    } while (have < img.size());
    uint32_t n = 0;
    return check.finish(&n) && n == 3;
}

TEST(HostDbFormat, ImageArrivingInPiecesIsCheckedLikeTheWhole) {
    Image img = build({{"eth0", std::string(300, 'a')}, {"p1", ""}, {"usbnet0", "xyz"}});
    for (size_t piece : {1u, 7u, 32u, 33u, 100u, 4096u}) {
        EXPECT_TRUE(parses_in_pieces(img, piece)) << piece;
        Image damaged = img;
        damaged.back() ^= 1;
        EXPECT_FALSE(parses_in_pieces(damaged, piece)) << piece;
        Image short_key = img;
        put32(short_key, kHeaderSize, 0);  // the first record's key length
        reseal(short_key);
        EXPECT_FALSE(parses_in_pieces(short_key, piece)) << piece;
    }
}

TEST(HostDbFormat, HeaderFieldsAreChecked) {
    const Image good = build({{"a", "1"}, {"b", "2"}});
    struct Case {
        const char *what;
        size_t at;
        uint32_t value;
    } cases[] = {
        {"version", 8, kVersion + 1},
        {"count above the records", 12, 3},
        {"count below the records", 12, 1},
        {"count beyond any image", 12, 0xffffffffu},
        {"total length", 16, static_cast<uint32_t>(good.size() + 1)},
        {"reserved word", 20, 1},
    };
    for (const Case &c : cases) {
        Image img = good;
        put32(img, c.at, c.value);
        reseal(img);
        EXPECT_FALSE(parses(img)) << c.what;
    }
    Image img = good;
    img[0] = 'X';
    reseal(img);
    EXPECT_FALSE(parses(img)) << "magic";
}

TEST(HostDbFormat, RecordLengthsMustStayInsideTheImage) {
    const Image good = build({{"a", "1"}, {"b", "2"}});
    const size_t second = kHeaderSize + record_size(1, 1);
    struct Case {
        const char *what;
        size_t at;
        uint32_t value;
    } cases[] = {
        {"empty key", kHeaderSize, 0},
        {"key past the end", second, 100},
        {"key longer than any key", kHeaderSize, kMaxKey + 1},
        {"value past the end", second + 4, 2},
        {"value length wrapping the sum", second + 4, 0xffffffffu},
        {"both lengths wrapping", second, 0xfffffff0u},
    };
    for (const Case &c : cases) {
        Image img = good;
        put32(img, c.at, c.value);
        reseal(img);
        EXPECT_FALSE(parses(img)) << c.what;
    }
}

TEST(HostDbFormat, RecordAtRefusesOffsetsOutsideTheImage) {
    const Image img = build({{"a", "1"}});
    Record r;
    EXPECT_FALSE(record_at(Bytes(img), 0, &r));
    EXPECT_FALSE(record_at(Bytes(img), static_cast<uint32_t>(img.size()), &r));
    EXPECT_FALSE(record_at(Bytes(img), static_cast<uint32_t>(img.size() - 4), &r));
    EXPECT_FALSE(record_at(Bytes(img), 0xfffffff8u, &r));
}

}  // namespace
