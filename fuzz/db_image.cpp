// Raw input meets the loader's outer checks, a copy made whole its record walk:
// an accepted image walks to its exact end and rebuilds to the same bytes.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "db/db_format.h"

namespace db = ek::host::db;

static void load(std::vector<unsigned char> image) {
    uint32_t count = 0, offset = db::kHeaderSize;
    if (!db::parse_image(image, &count)) return;
    std::vector<unsigned char> rebuilt(image.size());
    db::Record r;
    for (uint32_t i = 0; i < count; i++, offset += r.size) {
        if (!db::record_at(image, offset, &r) || r.offset != offset || r.key.empty() ||
            r.key.size() > db::kMaxKey || db::record_size(r.key.size(), r.value.size()) != r.size ||
            db::put_record(rebuilt.data() + offset, r.key, r.value) != r.size) {
            abort();
        }
    }
    db::seal_image(rebuilt, count);
    if (offset != image.size() || rebuilt != image || db::record_at(image, offset, &r)) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<unsigned char> image(data, data + size);
    load(image);
    if (size < db::kHeaderSize) return 0;
    for (int i = 0; i < 4; i++) image[16 + i] = static_cast<unsigned char>(size >> (8 * i));
    uint32_t sum = db::checksum(db::Bytes(image).subspan(8));
    for (int i = 0; i < 4; i++) image[4 + i] = static_cast<unsigned char>(sum >> (8 * i));
    load(image);
    return 0;
}
