#include "db/db_format.h"

#include <string.h>

#include <bit>

namespace ek::host::db {
namespace {

constexpr unsigned char kMagic[4] = {'E', 'K', 'D', 'B'};

uint32_t load32(const unsigned char *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void store32(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

uint64_t load64(const unsigned char *p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// Fletcher-style sums over 8-byte words in four lanes: additions only in
// the loop, so checking an image costs a fraction of reading it. The first
// sum of a lane catches any changed bit, the second a moved word; the final
// mix spreads both over the 32 stored bits.
constexpr uint64_t kMul1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kMul2 = 0xC2B2AE3D27D4EB4Full;

uint64_t fmix64(uint64_t h) {
    h ^= h >> 33;
    h *= kMul2;
    h ^= h >> 29;
    h *= kMul1;
    h ^= h >> 32;
    return h;
}

}  // namespace

uint32_t checksum(Bytes bytes) {
    const unsigned char *p = bytes.data();
    size_t n = bytes.size();
    uint64_t a0 = 1, a1 = 2, a2 = 3, a3 = 4;
    uint64_t b0 = 0, b1 = 0, b2 = 0, b3 = 0;
    for (; n >= 32; p += 32, n -= 32) {
        b0 += a0 += load64(p);
        b1 += a1 += load64(p + 8);
        b2 += a2 += load64(p + 16);
        b3 += a3 += load64(p + 24);
    }
    unsigned char tail[32] = {};
    memcpy(tail, p, n);
    if (n > 0) {
        b0 += a0 += load64(tail);
        b1 += a1 += load64(tail + 8);
        b2 += a2 += load64(tail + 16);
        b3 += a3 += load64(tail + 24);
    }
    uint64_t h = fmix64(bytes.size() * kMul1);
    h = fmix64(h ^ a0) + b0;
    h = fmix64(h ^ a1) + b1;
    h = fmix64(h ^ a2) + b2;
    h = fmix64(h ^ a3) + b3;
    return static_cast<uint32_t>(fmix64(h));
}

bool record_at(Bytes image, uint32_t offset, Record *out) {
    if (offset < kHeaderSize || offset > image.size() ||
        image.size() - offset < kRecordHeaderSize) {
        return false;
    }
    const unsigned char *p = image.data() + offset;
    uint32_t key_len = load32(p);
    uint32_t value_len = load32(p + 4);
    size_t room = image.size() - offset - kRecordHeaderSize;
    if (key_len == 0 || key_len > kMaxKey || key_len > room || value_len > room - key_len) {
        return false;
    }
    out->offset = offset;
    out->size = kRecordHeaderSize + key_len + value_len;
    out->key = Bytes(p + kRecordHeaderSize, key_len);
    out->value = Bytes(p + kRecordHeaderSize + key_len, value_len);
    return true;
}

bool parse_image(Bytes image, uint32_t *count) {
    if (image.size() < kHeaderSize || image.size() > kMaxImage) return false;
    const unsigned char *p = image.data();
    if (memcmp(p, kMagic, sizeof kMagic) != 0 || load32(p + 8) != kVersion ||
        load32(p + 16) != image.size() || load32(p + 20) != 0) {
        return false;
    }
    uint32_t n = load32(p + 12);
    // Every record takes at least one key byte besides its header.
    if (n > (image.size() - kHeaderSize) / (kRecordHeaderSize + 1)) return false;
    uint32_t offset = kHeaderSize;
    for (uint32_t i = 0; i < n; ++i) {
        Record r;
        if (!record_at(image, offset, &r)) return false;
        offset += r.size;
    }
    if (offset != image.size()) return false;
    if (checksum(image.subspan(8)) != load32(p + 4)) return false;
    *count = n;
    return true;
}

uint32_t record_size(size_t key_len, size_t value_len) {
    if (key_len == 0 || key_len > kMaxKey || value_len > kMaxImage) return 0;
    return static_cast<uint32_t>(kRecordHeaderSize + key_len + value_len);
}

uint32_t put_record(unsigned char *dst, Bytes key, Bytes value) {
    store32(dst, static_cast<uint32_t>(key.size()));
    store32(dst + 4, static_cast<uint32_t>(value.size()));
    memcpy(dst + kRecordHeaderSize, key.data(), key.size());
    if (!value.empty()) memcpy(dst + kRecordHeaderSize + key.size(), value.data(), value.size());
    return static_cast<uint32_t>(kRecordHeaderSize + key.size() + value.size());
}

void seal_image(std::span<unsigned char> image, uint32_t count) {
    unsigned char *p = image.data();
    memcpy(p, kMagic, sizeof kMagic);
    store32(p + 8, kVersion);
    store32(p + 12, count);
    store32(p + 16, static_cast<uint32_t>(image.size()));
    store32(p + 20, 0);
    store32(p + 4, checksum(Bytes(image).subspan(8)));
}

}  // namespace ek::host::db
