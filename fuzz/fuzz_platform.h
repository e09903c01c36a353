// A minimal in-process platform for the fuzz targets that run library code
// needing the process services: one zero-filled segment per key, a
// semaphore that is always free, logging that goes nowhere, and a device
// configuration service the target answers for.
#pragma once

#include <stdint.h>

namespace fuzz_platform {

// The address the CPE segment got, or null before the first attach.
uint8_t *segment(int32_t key);

// What ek_dcd_get_addr_byname answers: 0 with both words, or non-zero.
using AddrByName = int32_t (*)(const char *name, uint32_t *addr, uint32_t *mask);
void set_addr_by_name(AddrByName fn);

}  // namespace fuzz_platform
