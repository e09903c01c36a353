// The CPE field accessor after the first attach against the floor: a
// volatile load of the same word.
#include <benchmark/benchmark.h>
#include <stdint.h>

#include "ek_brd.h"

namespace {

void BM_brd_auth_accessor(benchmark::State &state) {
    ek_brd_set_brd_auth(7);  // attaches; later calls take the fast path
    for (auto _ : state) benchmark::DoNotOptimize(ek_brd_get_brd_auth());
}
BENCHMARK(BM_brd_auth_accessor);

void BM_brd_auth_volatile_load(benchmark::State &state) {
    auto *base = static_cast<unsigned char *>(ek_brd_get_cpe_shm_data());
    if (base == nullptr) {
        state.SkipWithError("CPE segment not attached");
        return;
    }
    auto *word =
        static_cast<volatile int32_t *>(static_cast<void *>(base + EK_BRD_CPE_BRD_AUTH_OFFSET));
    for (auto _ : state) benchmark::DoNotOptimize(*word);
}
BENCHMARK(BM_brd_auth_volatile_load);

}  // namespace

BENCHMARK_MAIN();
