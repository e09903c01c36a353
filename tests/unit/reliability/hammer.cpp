// What each process's attach does to the routing and CPE segments; then
// sixteen threads of one fresh process race their first attach and hammer
// the WAN queries, the priority validation and the local-subnet test, every
// answer exact. Run under the thread sanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <fstream>
#include <thread>
#include <vector>

#include "../wanif/wanif_records.h"
#include "common/shm_word.h"

namespace {

using wanif_test::Wan;

#if defined(__mips__)
constexpr int kRounds = 30;
#else
constexpr int kRounds = 150;
#endif
constexpr int kThreads = 16;
const uint32_t kMgtAddr = 0x0a010277, kMgtMask = 0xffffff00;  // inside mgt0's subnet
const uint32_t kVpnAddr = 0x0a080000, kVpnMask = 0xffff0000;  // in the table, marked local
const uint32_t kOther = 0x0b000000;

int32_t &word(void *base, uint32_t offset) {
    return const_cast<int32_t &>(ek::shm_word(base, offset));
}

// Each case runs in a forked child, as the once flags never reset within a
// process, against segments made here that stay readable afterwards.
TEST(Segments, EveryAttachResetsTheRoutingWordAndInitialisesOnlyAFreshCpeHeader) {
    fake::reset();
    void *cpe = fake::shared_segment(0x15011, 85896);
    void *routing = fake::shared_segment(0x15001, 2804896);
    for (bool fresh : {true, false}) {
        word(routing, 2800788) = 7;
        fake::in_fresh_process([=] {
            // The fake hands out these segments only for their key and size.
            EXPECT_EQ(ek_brd_get_cpe_shm_data(), cpe);
            EXPECT_EQ(ek_brd_get_routing_shm_data(), routing);
        });
        EXPECT_EQ(word(routing, 2800788), 0);
        EXPECT_EQ(word(cpe, 0), 1);
        EXPECT_EQ(word(cpe, 4), fresh ? 0 : 77);
        EXPECT_EQ(word(cpe, 8), fresh ? 60 : -3);
        word(cpe, 4) = 77;  // an initialised header is left alone
        word(cpe, 8) = -3;
    }
}

// The number of wrong answers in one round.
int round_of_queries(int thread) {
    char msg[128];
    return (ek_brd_get_wanif_count() != 2) + (ek_brd_check_intf_active_dft_wan("eth0") != 1) +
           (ek_brd_check_intf_wanif("ppp0") != 1) +
           (ek_brd_cpe_shm_check_wan_intf_ip(0x0a000002) != 1) +
           (ek_brd_get_pppoe_ethnet_kifidx("ppp0") != 7) +
           (ek_brd_check_cfg_priority_valid(45, 11, msg) != 0) +
           (ek_brd_check_cfg_priority_valid(0, 100 + thread, msg) != 1) +
           (ek_brd_lib_is_cpe_local_subnet(&kMgtAddr, &kMgtMask) != 1) +
           (ek_brd_lib_is_cpe_local_subnet(&kVpnAddr, &kVpnMask) != 1) +
           (ek_brd_lib_is_cpe_local_subnet(&kOther, &kVpnMask) != 0) + (ek_brd_get_brd_auth() != 0);
}

TEST(Hammer, SixteenThreadsFromTheFirstAttachOn) {
    fake::reset();
    wanif_test::put(Wan("eth0").wan().active().ip(0x0a000001).prio(11));
    wanif_test::put(Wan("ppp0").wan().pppoe(7).ip(0x0a000002).prio(12));
    wanif_test::put(Wan("tunnel0").wan().prio(13));
    std::ofstream("/tmp/hammer_net_dev") << "Inter-|\n face |\n    lo: 1 2\n  mgt0: 1 2\n";
    fake::state().fopen_redirect["/proc/net/dev"] = "/tmp/hammer_net_dev";
    fake::state().dcd_addr = [](const char *, uint32_t *a, uint32_t *m) {
        *a = 0x0a010203;
        *m = 0xffffff00;
        return 0;
    };
    // Made before the fork, so the table is there for the child's first attach.
    void *routing = fake::shared_segment(EK_BRD_ROUTING_SHM_KEY, EK_BRD_ROUTING_SHM_SIZE);
    void *cpe = fake::shared_segment(EK_BRD_CPE_SHM_KEY, EK_BRD_CPE_SHM_SIZE);
    ek::shm_word(cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET) = 1;
    ek::shm_word(cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET + 4) = static_cast<int32_t>(kVpnAddr);
    ek::shm_word(cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET + 8) = static_cast<int32_t>(kVpnMask);
    ek::shm_word(cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET + 28) = 1;

    fake::in_fresh_process([cpe, routing] {
        std::barrier start(kThreads);
        std::atomic<int> wrong{0};
        std::vector<std::pair<void *, void *>> got(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                // The first call of each thread is a different accessor.
                if (t % 3 == 0) ek_brd_get_brd_auth();
                if (t % 3 == 1) ek_brd_get_routing_shm_data();
                got[t] = {ek_brd_get_cpe_shm_data(), ek_brd_get_routing_shm_data()};
                for (int r = 0; r < kRounds; r++) wrong += round_of_queries(t);
            });
        }
        for (auto &th : threads) th.join();
        EXPECT_EQ(wrong.load(), 0);
        for (const auto &segments : got) EXPECT_EQ(segments, std::make_pair(cpe, routing));
        const auto &calls = fake::state().calls;
        EXPECT_EQ(calls.shm_creates, 2);  // one attach per segment, whoever came first
        EXPECT_EQ(calls.sem_waits, 2);
        EXPECT_EQ(fake::open_handles(), 0);
        EXPECT_TRUE(fake::state().logs.empty());
    });
}

}  // namespace
