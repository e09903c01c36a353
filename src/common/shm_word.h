// Words of the shared segments, read and written in place.
#pragma once

#include <stdint.h>

namespace ek {

// volatile: other processes write the same word; every access must reach
// memory. Offsets are 4-byte aligned by the segment maps.
inline volatile int32_t &shm_word(void *base, uint32_t offset) {
    void *at = static_cast<uint8_t *>(base) + offset;
    return *static_cast<volatile int32_t *>(at);
}

}  // namespace ek
