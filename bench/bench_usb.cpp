// The USB modem lookup by id against the bare walk of the configuration
// store it has to make: open, every record fetched into a malloc'd node,
// the nodes freed, close.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include "bench_util.h"
#include "common/list.h"
#include "platform/ek_db.h"

namespace {

constexpr const char *kUsbModemDb = "/tmp/db/usb_modem_cfg";
constexpr int kModems = 64;

void fetch_node(ek_db_handle_t db, ek_db_key_desc_t key, void *arg) {
    auto *node = static_cast<ek_usb_modem_cfg_node_t *>(malloc(sizeof(ek_usb_modem_cfg_node_t)));
    if (node == nullptr) return;
    if (ek_db_fetch_bykey(db, key, &node->cfg) < 0) {
        free(node);
        return;
    }
    ek::list_add_tail(&node->list, static_cast<ek_list_head *>(arg));
}

void BM_usb_store_bare_walk(benchmark::State &state) {
    for (auto _ : state) {
        ek_list_head head;
        ek::list_init(&head);
        ek_db_handle_t db = ek_db_open_ex(kUsbModemDb, EK_DB_MODE);
        ek_db_foreach(db, fetch_node, &head);
        for (ek_list_head *p = head.next, *next; p != &head; p = next) {
            next = p->next;
            free(p);
        }
        ek_db_close(db);
    }
}
BENCHMARK(BM_usb_store_bare_walk);

// A pair no configuration lists: every record is loaded and scanned.
void BM_usb_lookup_by_id_miss(benchmark::State &state) {
    ek_usb_modem_cfg_t out;
    int got = 0;
    for (auto _ : state) {
        got = ek_brd_lib_usb_modem_db_get_entry_by_usb_id(0xFFFF, 0xFFFF, &out);
        benchmark::DoNotOptimize(got);
    }
    if (got != -1) state.SkipWithError("unexpected match");
}
BENCHMARK(BM_usb_lookup_by_id_miss);

// The last configuration's second pair.
void BM_usb_lookup_by_id_last(benchmark::State &state) {
    ek_usb_modem_cfg_t out;
    int got = 0;
    for (auto _ : state) {
        got = ek_brd_lib_usb_modem_db_get_entry_by_usb_id(0x1000 + kModems - 1, 0x0002, &out);
        benchmark::DoNotOptimize(out);
    }
    if (got != 0) state.SkipWithError("lookup missed");
}
BENCHMARK(BM_usb_lookup_by_id_last);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    bench::write_db(kUsbModemDb, bench::usb_modem_records(kModems));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
