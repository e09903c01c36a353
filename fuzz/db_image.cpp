// The host database image loader. Raw input exercises the outer checks;
// a copy with its length and checksum words made right reaches the record
// walk. Every accepted image must walk record by record to its exact end,
// and rebuilding it from those records must give back the same bytes.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "db/db_format.h"

namespace {

namespace db = ek::host::db;

void check(bool ok) {
    if (!ok) abort();
}

void store32le(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void walk_and_rebuild(db::Bytes image, uint32_t count) {
    std::vector<unsigned char> rebuilt(image.size());
    uint32_t offset = db::kHeaderSize;
    for (uint32_t i = 0; i < count; i++) {
        db::Record r;
        check(db::record_at(image, offset, &r));
        check(r.offset == offset);
        check(!r.key.empty() && r.key.size() <= db::kMaxKey);
        check(r.key.data() >= image.data() &&
              r.value.data() + r.value.size() <= image.data() + image.size());
        check(db::record_size(r.key.size(), r.value.size()) == r.size);
        check(db::put_record(rebuilt.data() + offset, r.key, r.value) == r.size);
        offset += r.size;
    }
    check(offset == image.size());
    db::seal_image(rebuilt, count);
    check(memcmp(rebuilt.data(), image.data(), image.size()) == 0);
}

void load(db::Bytes image) {
    uint32_t count = 0;
    if (db::parse_image(image, &count)) walk_and_rebuild(image, count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    load(db::Bytes(data, size));
    if (size < db::kHeaderSize) return 0;
    std::vector<unsigned char> fixed(data, data + size);
    store32le(fixed.data() + 16, static_cast<uint32_t>(size));
    store32le(fixed.data() + 4, db::checksum(db::Bytes(fixed).subspan(8)));
    load(fixed);
    return 0;
}
