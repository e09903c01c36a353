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

void Checksum::update(Bytes bytes) {
    const unsigned char *p = bytes.data();
    size_t n = bytes.size();
    length_ += n;
    uint64_t a0 = a_[0], a1 = a_[1], a2 = a_[2], a3 = a_[3];
    uint64_t b0 = b_[0], b1 = b_[1], b2 = b_[2], b3 = b_[3];
    for (; n >= 32; p += 32, n -= 32) {
        b0 += a0 += load64(p);
        b1 += a1 += load64(p + 8);
        b2 += a2 += load64(p + 16);
        b3 += a3 += load64(p + 24);
    }
    if (n > 0) {
        unsigned char tail[32] = {};
        memcpy(tail, p, n);
        b0 += a0 += load64(tail);
        b1 += a1 += load64(tail + 8);
        b2 += a2 += load64(tail + 16);
        b3 += a3 += load64(tail + 24);
    }
    a_[0] = a0, a_[1] = a1, a_[2] = a2, a_[3] = a3;
    b_[0] = b0, b_[1] = b1, b_[2] = b2, b_[3] = b3;
}

uint32_t Checksum::finish() const {
    uint64_t h = fmix64(length_ * kMul1);
    for (int i = 0; i < 4; ++i) h = fmix64(h ^ a_[i]) + b_[i];
    return static_cast<uint32_t>(fmix64(h));
}

uint32_t checksum(Bytes bytes) {
    Checksum sum;
    sum.update(bytes);
    return sum.finish();
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

bool ImageCheck::begin(Bytes header, size_t size) {
    if (header.size() < kHeaderSize || size < kHeaderSize || size > kMaxImage) return false;
    const unsigned char *p = header.data();
    if (memcmp(p, kMagic, sizeof kMagic) != 0 || load32(p + 8) != kVersion ||
        load32(p + 16) != size || load32(p + 20) != 0) {
        return false;
    }
    base_ = p;
    size_ = static_cast<uint32_t>(size);
    count_ = load32(p + 12);
    stored_sum_ = load32(p + 4);
    next_ = kHeaderSize;
    // Every record takes at least one key byte besides its header.
    return count_ <= (size_ - kHeaderSize) / (kRecordHeaderSize + 1);
}

bool ImageCheck::advance(Bytes arrived) {
    if (arrived.data() != base_ || arrived.size() > size_) return false;
    // record_at reads only the 8 header bytes, all present here; it checks
    // the lengths against the whole image.
    Bytes whole(base_, size_);
    auto have = static_cast<uint32_t>(arrived.size());
    while (seen_ < count_ && next_ <= have && have - next_ >= kRecordHeaderSize) {
        Record r;
        if (!record_at(whole, next_, &r)) return false;
        next_ += r.size;
        ++seen_;
    }
    if (have > summed_) {
        uint32_t n = have - summed_;
        if (have < size_) n -= n % 32;
        sum_.update(arrived.subspan(summed_, n));
        summed_ += n;
    }
    return true;
}

bool ImageCheck::finish(uint32_t *count) const {
    if (summed_ != size_ || seen_ != count_ || next_ != size_ || sum_.finish() != stored_sum_) {
        return false;
    }
    *count = count_;
    return true;
}

bool parse_image(Bytes image, uint32_t *count) {
    ImageCheck check;
    return check.begin(image, image.size()) && check.advance(image) && check.finish(count);
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
