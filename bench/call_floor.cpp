// The floor of any exported accessor: a call into another shared library
// that does nothing but the volatile load. Built with the library's flags.
#include <stdint.h>

namespace {
const unsigned char *g_base = nullptr;
}

extern "C" {

__attribute__((visibility("default"))) void ek_bench_floor_set(const void *base) {
    g_base = static_cast<const unsigned char *>(base);
}

__attribute__((visibility("default"))) int ek_bench_floor_load(void) {
    return *static_cast<const volatile int32_t *>(static_cast<const void *>(g_base + 81788));
}
}
