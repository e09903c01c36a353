// The two binary searches against std::lower_bound over the same 4096
// records, for both strides. The keys cycle through a fixed shuffled mix of
// present and absent keys so that branch prediction cannot learn one path.
#include <benchmark/benchmark.h>
#include <stdint.h>

#include <algorithm>
#include <random>
#include <vector>

#include "ek_brd.h"

namespace {

constexpr int kRecords = 4096;
constexpr size_t kProbes = 4096;

template <size_t Stride>
struct Rec {
    uint32_t k0;
    uint32_t k1;
    unsigned char rest[Stride - 8];
};
static_assert(sizeof(Rec<16>) == 16 && sizeof(Rec<36>) == 36);

struct Key {
    uint32_t k0, k1;
};

// count word, then the records; keys ascend in (k0, k1) with gaps, so that
// every other probe is absent.
template <size_t Stride>
struct Table {
    std::vector<uint32_t> words;
    std::vector<Key> probes;

    Table() : words(1 + kRecords * Stride / 4) {
        words[0] = kRecords;
        for (int i = 0; i < kRecords; ++i) {
            Rec<Stride> &r = at(i);
            r.k0 = 0x7FFFF000u + static_cast<uint32_t>(i / 2) * 2;  // crosses the sign bit
            r.k1 = static_cast<uint32_t>(i % 2) * 0x80000000u;
        }
        std::mt19937 rng(42);
        for (size_t p = 0; p < kProbes; ++p) {
            int i = static_cast<int>(rng() % kRecords);
            Key k{at(i).k0, at(i).k1};
            if (p % 2 == 1) k.k0 += 1;  // between two records: absent
            probes.push_back(k);
        }
    }
    Rec<Stride> *records() { return static_cast<Rec<Stride> *>(static_cast<void *>(&words[1])); }
    Rec<Stride> &at(int i) { return records()[i]; }
    const void *base() const { return words.data(); }
};

template <size_t Stride>
Table<Stride> &table() {
    static Table<Stride> t;
    return t;
}

using SearchFn = void (*)(const void *, uint32_t, uint32_t, int, int, int *, int *);

template <size_t Stride>
int lower_bound_index(Table<Stride> &t, const Key &k) {
    Rec<Stride> *first = t.records();
    return static_cast<int>(std::lower_bound(first, first + kRecords, k,
                                             [](const Rec<Stride> &r, const Key &key) {
                                                 return r.k0 != key.k0 ? r.k0 < key.k0
                                                                       : r.k1 < key.k1;
                                             }) -
                            first);
}

template <size_t Stride>
void library_search(benchmark::State &state, SearchFn search) {
    Table<Stride> &t = table<Stride>();
    // Both sides must answer the same before their times mean anything.
    for (const Key &k : t.probes) {
        int index = -1, found = -1;
        search(t.base(), k.k0, k.k1, 0, kRecords - 1, &index, &found);
        if (index != lower_bound_index(t, k)) {
            state.SkipWithError("search disagrees with std::lower_bound");
            return;
        }
    }
    size_t p = 0;
    int index = 0, found = 0, hits = 0;
    for (auto _ : state) {
        const Key &k = t.probes[p];
        p = (p + 1) % kProbes;
        search(t.base(), k.k0, k.k1, 0, kRecords - 1, &index, &found);
        hits += found;
        benchmark::DoNotOptimize(index);
    }
    benchmark::DoNotOptimize(hits);
}

template <size_t Stride>
void BM_search_std_lower_bound(benchmark::State &state) {
    Table<Stride> &t = table<Stride>();
    Rec<Stride> *first = t.records();
    Rec<Stride> *last = first + kRecords;
    size_t p = 0;
    int hits = 0;
    for (auto _ : state) {
        const Key &k = t.probes[p];
        p = (p + 1) % kProbes;
        int index = lower_bound_index(t, k);
        Rec<Stride> *it = first + index;
        hits += it != last && it->k0 == k.k0 && it->k1 == k.k1;
        benchmark::DoNotOptimize(index);
    }
    benchmark::DoNotOptimize(hits);
}

void BM_search_static_routes_16(benchmark::State &state) {
    library_search<16>(state, ek_brd_find_static_route_index_in_brd_static_routes_local);
}
void BM_search_vpn_subnets_36(benchmark::State &state) {
    library_search<36>(state, ek_brd_find_subnet_index_in_vpn_internal_subnets_local);
}

BENCHMARK(BM_search_static_routes_16);
BENCHMARK(BM_search_std_lower_bound<16>)->Name("BM_search_std_lower_bound_16");
BENCHMARK(BM_search_vpn_subnets_36);
BENCHMARK(BM_search_std_lower_bound<36>)->Name("BM_search_std_lower_bound_36");

}  // namespace

BENCHMARK_MAIN();
