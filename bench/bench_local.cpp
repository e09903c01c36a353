// The local-subnet test against a bare read of /proc/net/dev.
//
// Run inside a private network namespace (scripts/bench.sh does): the
// program adds a few interfaces, mgt0 among them, so the test walks a
// router-like list and asks the configuration service for mgt0's address.
// The service's own cost is measured apart, so that the test can also be
// compared with the walk plus that call.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>

#include "bench_util.h"
#include "platform/ek_platform.h"

namespace {

constexpr int kVpnSubnets = 64;

uint32_t ip(unsigned a, unsigned b, unsigned c, unsigned d) {
    return htonl(a << 24 | b << 16 | c << 8 | d);
}

// With EK_BENCH_NO_MGT0 set there is no management interface, and the test
// asks the configuration service nothing.
bool g_mgt0 = true;

void setup_interfaces() {
    const char *no_mgt0 = getenv("EK_BENCH_NO_MGT0");
    g_mgt0 = no_mgt0 == nullptr || *no_mgt0 == '\0';
    // Failures leave fewer interfaces; both sides then read the same file.
    int rc = system(g_mgt0 ? "{ ip link add eth0 type veth peer name eth0p && "
                             "ip link add eth1 type veth peer name eth1p && "
                             "ip link add mgt0 type veth peer name mgt0p && "
                             "ip addr add 192.168.1.1/24 dev mgt0 && "
                             "for i in eth0 eth0p eth1 eth1p mgt0 mgt0p; do ip link set $i up; "
                             "done; } >/dev/null 2>&1"
                           : "{ ip link add eth0 type veth peer name eth0p && "
                             "ip link add eth1 type veth peer name eth1p && "
                             "for i in eth0 eth0p eth1 eth1p; do ip link set $i up; "
                             "done; } >/dev/null 2>&1");
    if (rc != 0) fprintf(stderr, "warning: could not add the bench interfaces\n");
}

// Sorted VPN internal subnets 10.8.i.0/24, none of them local.
void setup_vpn_table() {
    auto *base = static_cast<unsigned char *>(ek_brd_get_cpe_shm_data());
    if (base == nullptr) {
        fprintf(stderr, "CPE segment not attached\n");
        exit(2);
    }
    int32_t count = kVpnSubnets;
    memcpy(base + EK_BRD_CPE_VPN_SUBNETS_OFFSET, &count, 4);
    for (int i = 0; i < kVpnSubnets; ++i) {
        unsigned char *rec = base + EK_BRD_CPE_VPN_SUBNETS_OFFSET + 4 + 36 * i;
        // Sorted by the words as unsigned numbers, whatever the byte order.
        uint32_t addr = static_cast<uint32_t>(0x0A080000u + (static_cast<uint32_t>(i) << 8));
        uint32_t mask = 0xFFFFFF00u;
        memcpy(rec, &addr, 4);
        memcpy(rec + 4, &mask, 4);
    }
}

// ---- local subnet

void BM_proc_net_dev_walk(benchmark::State &state) {
    size_t lines = 0;
    for (auto _ : state) {
        size_t size = 512;
        auto *line = static_cast<char *>(malloc(size));
        FILE *f = fopen("/proc/net/dev", "r");
        if (f != nullptr) {
            while (getline(&line, &size, f) != -1) ++lines;
            fclose(f);
        }
        free(line);
    }
    benchmark::DoNotOptimize(lines);
}
BENCHMARK(BM_proc_net_dev_walk);

// Neither mgt0's subnet nor a VPN subnet: the whole file, mgt0's address
// and the table search.
void BM_local_subnet_miss(benchmark::State &state) {
    uint32_t addr = ip(172, 16, 0, 0), mask = ip(255, 255, 0, 0);
    int got = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(got = ek_brd_lib_is_cpe_local_subnet(&addr, &mask));
    if (got != 0) state.SkipWithError("unexpected local subnet");
}
BENCHMARK(BM_local_subnet_miss);

// mgt0's own subnet: ends at the mgt0 line.
void BM_local_subnet_mgt0(benchmark::State &state) {
    if (!g_mgt0) {
        state.SkipWithError("no mgt0 interface");
        return;
    }
    uint32_t addr = ip(192, 168, 1, 77), mask = ip(255, 255, 255, 0);
    for (auto _ : state) benchmark::DoNotOptimize(ek_brd_lib_is_cpe_local_subnet(&addr, &mask));
}
BENCHMARK(BM_local_subnet_mgt0);

// The one configuration-service call the test makes per mgt0 interface.
void BM_dcd_addr_mgt0(benchmark::State &state) {
    if (!g_mgt0) {
        state.SkipWithError("no mgt0 interface");
        return;
    }
    uint32_t addr = 0, mask = 0;
    for (auto _ : state) benchmark::DoNotOptimize(ek_dcd_get_addr_byname("mgt0", &addr, &mask));
}
BENCHMARK(BM_dcd_addr_mgt0);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    setup_interfaces();
    setup_vpn_table();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
