// Each WAN query over n records of the host database against the bare
// database calls it has to make: open, count, every record fetched into one
// buffer, close. The difference is the query's own work: the path, the
// lock, one zero-filled allocation per record and the scan. A second
// baseline adds those allocations, which the snapshot is required to make,
// to the bare calls; against it only the path, the lock and the scan remain.
#include <benchmark/benchmark.h>

#include "bench_util.h"
#include "platform/ek_db.h"

namespace {

constexpr const char *kWanifDb = "/tmp/db/wanif_db";
// No record carries these, so every query scans the whole snapshot.
constexpr const char *kAbsentIf = "nosuch0";
constexpr uint32_t kAbsentIp = 0xC0A8FE01u;
constexpr int kUnusedPriority = 9999;
constexpr int kPrimaryWanTest = 45;

void use_records(benchmark::State &state) {
    static int64_t current = -1;
    if (state.range(0) != current) {
        current = state.range(0);
        bench::write_db(kWanifDb, bench::wanif_records(static_cast<int>(current)));
    }
    state.SetComplexityN(state.range(0));
}

void fetch_one(ek_db_handle_t db, ek_db_key_desc_t key, void *buf) {
    ek_db_fetch_bykey(db, key, buf);
}

void BM_wanif_bare_db(benchmark::State &state) {
    use_records(state);
    ek_wanif_entry_t buf;
    for (auto _ : state) {
        ek_db_handle_t db = ek_db_open_ex(kWanifDb, EK_DB_MODE);
        benchmark::DoNotOptimize(ek_db_count(db));
        ek_db_foreach(db, fetch_one, &buf);
        ek_db_close(db);
        benchmark::DoNotOptimize(buf);
    }
}

// The bare calls plus the memory the snapshot is required to use: an array
// of n pointers and one zero-filled 904-byte record per slot, freed after.
struct SlotFill {
    ek_wanif_entry_t **slots;
    int32_t next;
    int32_t n;
};

void fetch_into_slot(ek_db_handle_t db, ek_db_key_desc_t key, void *arg) {
    auto *fill = static_cast<SlotFill *>(arg);
    if (fill->next < fill->n) ek_db_fetch_bykey(db, key, fill->slots[fill->next++]);
}

void BM_wanif_bare_db_slots(benchmark::State &state) {
    use_records(state);
    for (auto _ : state) {
        ek_db_handle_t db = ek_db_open_ex(kWanifDb, EK_DB_MODE);
        int32_t n = ek_db_count(db);
        auto **slots = static_cast<ek_wanif_entry_t **>(
            calloc(static_cast<size_t>(n), sizeof(ek_wanif_entry_t *)));
        for (int32_t i = 0; i < n; ++i) {
            slots[i] = static_cast<ek_wanif_entry_t *>(malloc(sizeof(ek_wanif_entry_t)));
            memset(slots[i], 0, sizeof(ek_wanif_entry_t));
        }
        SlotFill fill{slots, 0, n};
        ek_db_foreach(db, fetch_into_slot, &fill);
        benchmark::DoNotOptimize(slots[n - 1]->ifname[0]);
        for (int32_t i = 0; i < n; ++i) free(slots[i]);
        free(slots);
        ek_db_close(db);
    }
}

template <typename Query>
void run_query(benchmark::State &state, Query query, int expected) {
    use_records(state);
    int got = 0;
    for (auto _ : state) {
        got = query();
        benchmark::DoNotOptimize(got);
    }
    if (got != expected) state.SkipWithError("query answered unexpectedly");
}

int tunnels(int n) {
    return n / 8;
}

void BM_wanif_count(benchmark::State &state) {
    auto n = static_cast<int>(state.range(0));
    run_query(
        state, [] { return ek_brd_get_wanif_count(); }, n - tunnels(n));
}

void BM_wanif_check_intf_wanif(benchmark::State &state) {
    run_query(
        state, [] { return ek_brd_check_intf_wanif(kAbsentIf); }, 0);
}

void BM_wanif_check_active_dft_wan(benchmark::State &state) {
    run_query(
        state, [] { return ek_brd_check_intf_active_dft_wan(kAbsentIf); }, 0);
}

void BM_wanif_check_wan_intf_ip(benchmark::State &state) {
    run_query(
        state, [] { return ek_brd_cpe_shm_check_wan_intf_ip(kAbsentIp); }, 0);
}

void BM_wanif_pppoe_kifidx(benchmark::State &state) {
    run_query(
        state, [] { return ek_brd_get_pppoe_ethnet_kifidx(kAbsentIf); }, 0);
}

void BM_wanif_priority_valid(benchmark::State &state) {
    run_query(
        state,
        [] {
            char msg[128];
            return ek_brd_check_cfg_priority_valid(kPrimaryWanTest, kUnusedPriority, msg);
        },
        1);
}

#define WANIF_SIZES RangeMultiplier(8)->Range(8, 4096)->Complexity(benchmark::oN)
BENCHMARK(BM_wanif_bare_db)->WANIF_SIZES;
BENCHMARK(BM_wanif_bare_db_slots)->WANIF_SIZES;
BENCHMARK(BM_wanif_count)->WANIF_SIZES;
BENCHMARK(BM_wanif_check_intf_wanif)->WANIF_SIZES;
BENCHMARK(BM_wanif_check_active_dft_wan)->WANIF_SIZES;
BENCHMARK(BM_wanif_check_wan_intf_ip)->WANIF_SIZES;
BENCHMARK(BM_wanif_pppoe_kifidx)->WANIF_SIZES;
BENCHMARK(BM_wanif_priority_valid)->WANIF_SIZES;

}  // namespace

BENCHMARK_MAIN();
