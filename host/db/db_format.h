// The on-disk image of one database, shared by the library and the tools
// that check images (the fuzz target, the loader tests).
//
// Layout; header words are little-endian on every host, keys and values are
// stored byte for byte:
//    0  "EKDB"
//    4  u32 checksum of bytes [8, total length)
//    8  u32 format version
//   12  u32 record count
//   16  u32 total length of the image
//   20  u32 reserved, 0
//   24  records, back to back: u32 key length, u32 value length, key, value
//
// A writer never changes an image in place: it writes a whole new file and
// renames it over the old one, so an image is either entirely valid or is
// not the database at all.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <span>

namespace ek::host::db {

using Bytes = std::span<const unsigned char>;

inline constexpr uint32_t kVersion = 1;
inline constexpr uint32_t kHeaderSize = 24;
inline constexpr uint32_t kRecordHeaderSize = 8;
// Keeps every offset and sum inside 32 bits on every host.
inline constexpr uint32_t kMaxImage = 1u << 30;
inline constexpr uint32_t kMaxKey = 4096;

struct Record {
    uint32_t offset;  // of the record header within the image
    uint32_t size;    // header, key and value
    Bytes key;
    Bytes value;
};

uint32_t checksum(Bytes bytes);

// The same checksum fed in pieces: every piece but the last must be a
// multiple of 32 bytes long.
class Checksum {
public:
    void update(Bytes bytes);
    uint32_t finish() const;

private:
    uint64_t a_[4] = {1, 2, 3, 4};
    uint64_t b_[4] = {};
    uint64_t length_ = 0;
};

// The whole test an image passes before anything else reads it: magic,
// version, total length, every record's lengths and the checksum. On success
// *count receives the record count.
bool parse_image(Bytes image, uint32_t *count);

// parse_image for an image that arrives in order, piece by piece: each
// record header is checked and each byte summed as soon as it is present,
// while it is still in cache, so a large image is not read back from
// memory once per test.
class ImageCheck {
public:
    // header: the first kHeaderSize bytes of an image of size bytes.
    bool begin(Bytes header, size_t size);
    // arrived: the image's first bytes, all that has arrived so far.
    bool advance(Bytes arrived);
    // After the whole image has been passed to advance.
    bool finish(uint32_t *count) const;

private:
    const unsigned char *base_ = nullptr;
    uint32_t size_ = 0;
    uint32_t count_ = 0;
    uint32_t stored_sum_ = 0;
    uint32_t seen_ = 0;    // records whose header has been checked
    uint32_t next_ = 0;    // offset of the next record header
    uint32_t summed_ = 8;  // bytes below this offset have been summed
    Checksum sum_;
};

// The record whose header starts at offset, bounds-checked against the
// image; false when it does not fit. Only records of an image that
// parse_image accepted are meaningful.
bool record_at(Bytes image, uint32_t offset, Record *out);

// The bytes one record takes; 0 when the lengths are out of range.
uint32_t record_size(size_t key_len, size_t value_len);

// Writes one record at dst (record_size bytes) and returns its size.
uint32_t put_record(unsigned char *dst, Bytes key, Bytes value);

// Fills in the header of an image whose records are already in place.
void seal_image(std::span<unsigned char> image, uint32_t count);

}  // namespace ek::host::db
