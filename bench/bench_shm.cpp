// The CPE field accessor after the first attach against two floors: a
// volatile load of the same word inline, and a call into another shared
// library that does only that load (the cost of crossing the boundary).
#include <benchmark/benchmark.h>
#include <stdint.h>

#include "ek_brd.h"

extern "C" {
void ek_bench_floor_set(const void *base);
int ek_bench_floor_load(void);
}

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
    for (auto _ : state) {
        // Through a local: DoNotOptimize on the volatile lvalue itself would
        // also store to it and put a store-to-load stall in the floor.
        int32_t value = *word;
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_brd_auth_volatile_load);

void BM_brd_auth_call_floor(benchmark::State &state) {
    ek_bench_floor_set(ek_brd_get_cpe_shm_data());
    for (auto _ : state) benchmark::DoNotOptimize(ek_bench_floor_load());
}
BENCHMARK(BM_brd_auth_call_floor);

}  // namespace

BENCHMARK_MAIN();
