// The WAN-interface queries over the fake wanif_db: the tests of each query,
// first-match order, the snapshot's slots and the load's failure points.
#include <gtest/gtest.h>
#include <syslog.h>

#include <chrono>
#include <string>
#include <vector>

#include "ek_brd.h"
#include "fake_platform.h"
#include "wanif_records.h"

namespace {

using fake::Channel;
using namespace wanif_test;
using namespace std::chrono_literals;
using Texts = std::vector<std::string>;

using WanifQueries = WanifTest;

// Every query with arguments that would match any record.
std::vector<int> all_queries(const char *ifname, uint32_t ip) {
    return {ek_brd_get_wanif_count(), ek_brd_check_intf_active_dft_wan(ifname),
            ek_brd_check_intf_wanif(ifname), ek_brd_cpe_shm_check_wan_intf_ip(ip),
            ek_brd_get_pppoe_ethnet_kifidx(ifname)};
}

TEST_F(WanifQueries, CountSkipsOnlyTunnelNames) {
    for (const char *n : {"tunnel0", "tunnel", "tunne", "Tunnel0", "eth0", "ppp0tunnel"})
        put(Wan(n));
    EXPECT_EQ(ek_brd_get_wanif_count(), 4);
    const auto &c = fake::state().calls;
    EXPECT_EQ(c.open_paths, Texts{kPath});
    EXPECT_EQ(c.open_modes, std::vector<int32_t>{5});
    EXPECT_EQ(c.closes, 1);
    EXPECT_EQ(db_wanif_idx, 6);
    EXPECT_TRUE(fake::state().logs.empty());
}

TEST_F(WanifQueries, EachTestNeedsBothOfItsConditionsOnOneRecord) {
    put(Wan("eth0").wan().ip(0x0a000001));
    put(Wan("eth1").active().pppoe(0));
    put(Wan("eth2").active().pppoe(12), "k2");
    put(Wan("ppp0").pppoe(7));
    put(Wan("eth2").wan().pppoe(13), "k4");
    put(Wan("").ip(0x0a000009));

    EXPECT_EQ(ek_brd_check_intf_active_dft_wan("eth0"), 0);  // flag off
    EXPECT_EQ(ek_brd_check_intf_active_dft_wan("eth1"), 1);
    EXPECT_EQ(ek_brd_check_intf_active_dft_wan("eth9"), 0);  // no such name
    EXPECT_EQ(ek_brd_check_intf_wanif("eth1"), 0);
    EXPECT_EQ(ek_brd_check_intf_wanif("eth0"), 1);
    EXPECT_EQ(ek_brd_check_intf_wanif("eth2"), 1);  // the second eth2 record
    EXPECT_EQ(ek_brd_check_intf_wanif("ETH0"), 0);
    EXPECT_EQ(ek_brd_cpe_shm_check_wan_intf_ip(0x0a000001), 1);
    EXPECT_EQ(ek_brd_cpe_shm_check_wan_intf_ip(0x0100000a), 0);  // byte order is the record's
    EXPECT_EQ(ek_brd_cpe_shm_check_wan_intf_ip(0x0a000009), 0);  // owner has no ifname
    EXPECT_EQ(ek_brd_get_pppoe_ethnet_kifidx("ppp0"), 7);
    EXPECT_EQ(ek_brd_get_pppoe_ethnet_kifidx("eth2"), 12);  // first of two matches
    EXPECT_EQ(ek_brd_get_pppoe_ethnet_kifidx("eth0"), 0);   // not PPPoE
    EXPECT_TRUE(fake::state().logs.empty());
}

TEST_F(WanifQueries, FirstPppoeMatchDecidesEvenWithIndexZero) {
    put(Wan("ppp0").pppoe(0), "a");
    put(Wan("ppp0").pppoe(9), "b");
    EXPECT_EQ(ek_brd_get_pppoe_ethnet_kifidx("ppp0"), 0);
}

TEST_F(WanifQueries, NamesCompareOverSixteenBytes) {
    put(Wan("abcdefghijklmnop").wan().active().pppoe(5));  // fills ifname, no NUL
    put(Wan("eth0").wan(), "eth0");
    for (const char *same : {"abcdefghijklmnop", "abcdefghijklmnopq", "abcdefghijklmnopXYZ"}) {
        EXPECT_EQ(ek_brd_check_intf_wanif(same), 1) << same;
        EXPECT_EQ(ek_brd_check_intf_active_dft_wan(same), 1) << same;
        EXPECT_EQ(ek_brd_get_pppoe_ethnet_kifidx(same), 5) << same;
    }
    for (const char *other : {"abcdefghijklmno", "abcdefghijklmnoP", "eth", "eth00", ""})
        EXPECT_EQ(ek_brd_check_intf_wanif(other), 0) << other;
    EXPECT_EQ(ek_brd_check_intf_wanif(nullptr), 0);
}

TEST_F(WanifQueries, FailedFetchLeavesAZeroSlotThatOnlyTheCountSees) {
    put(Wan("eth0").wan().ip(0x0a000001));
    put(Wan("eth1").wan().active().ip(0x0a000002).pppoe(4));
    put(Wan("tunnel1").ip(0x0a000003));
    fake::state().faults.fetch_bykey_fail_at = {1};

    EXPECT_EQ(all_queries("eth1", 0x0a000002), (std::vector<int>{2, 0, 0, 0, 0}));
    EXPECT_EQ(ek_brd_cpe_shm_check_wan_intf_ip(0), 0);
    EXPECT_EQ(ek_brd_check_intf_wanif(""), 0);  // the zero slot's is_wanif is 0
    EXPECT_EQ(ek_brd_check_intf_wanif("eth0"), 1);

    auto logs = fake::logs(Channel::syslog);
    ASSERT_EQ(logs.size(), 8u);  // one per load
    for (const auto &l : logs) {
        EXPECT_EQ(l.level, LOG_ERR);
        EXPECT_EQ(l.text, "WANIF: pbr: get routing policy entry failed!\n");
    }
    EXPECT_EQ(db_wanif_idx, 3);  // the cursor moved past the failed record
}

TEST_F(WanifQueries, EmptyDatabaseAnswersZeroQuietly) {
    fake::db(kPath);
    fake::arm_malloc(-1);
    EXPECT_EQ(all_queries("eth0", 0), (std::vector<int>{0, 0, 0, 0, 0}));
    fake::disarm_malloc();
    const auto &c = fake::state().calls;
    EXPECT_EQ(c.mallocs, 0);
    EXPECT_EQ(c.foreach_calls, 0);
    EXPECT_EQ(c.closes, 5);
    EXPECT_TRUE(fake::state().logs.empty());

    fake::state().faults.count_result = -3;  // a broken count is no count
    EXPECT_EQ(ek_brd_get_wanif_count(), 0);
    EXPECT_EQ(c.foreach_calls, 0);
}

TEST_F(WanifQueries, UnopenableDatabaseAnswersZeroAndReleasesTheMutex) {
    put(Wan("eth0").wan().active().ip(1).pppoe(3));
    fake::state().faults.open_fail_all = true;
    EXPECT_EQ(all_queries("eth0", 1), (std::vector<int>{0, 0, 0, 0, 0}));
    auto logs = fake::logs(Channel::syslog);
    ASSERT_EQ(logs.size(), 5u);
    for (const auto &l : logs) {
        EXPECT_EQ(l.level, LOG_ERR);
        EXPECT_EQ(l.text, "WANIF: brd: open DB failed : /tmp/db/wanif_db\n");
    }
    EXPECT_EQ(fake::state().calls.closes, 0);
    EXPECT_EQ(fake::state().calls.counts, 0);

    fake::state().faults.open_fail_all = false;
    EXPECT_EQ(all_queries("eth0", 1), (std::vector<int>{1, 1, 1, 1, 3}));
}

TEST_F(WanifQueries, AllocatesOneArrayAndOneRecordPerSlot) {
    for (const char *n : {"eth0", "eth1", "eth2"}) put(Wan(n));
    fake::arm_malloc(-1);
    EXPECT_EQ(ek_brd_get_wanif_count(), 3);
    fake::disarm_malloc();
    EXPECT_EQ(fake::state().calls.mallocs, 4);
}

// Run under the asan preset, these also prove that every buffer allocated
// before the failure is freed.
TEST_F(WanifQueries, AllocationFailureScansNothing) {
    const Texts expected[] = {{"WANIF: malloc failed for all_entry"},
                              {"WANIF: malloc failed for all_entry[0]"},
                              {"WANIF: malloc failed for all_entry[1]"},
                              {"WANIF: malloc failed for all_entry[2]"}};
    for (long k = 0; k < 4; k++) {
        SCOPED_TRACE(k);
        fake::reset();
        for (const char *n : {"eth0", "eth1", "eth2"}) put(Wan(n).wan());
        fake::arm_malloc(k);
        EXPECT_EQ(ek_brd_get_wanif_count(), 0);
        EXPECT_EQ(ek_brd_check_intf_wanif("eth0"), 1);  // the next load is unaffected
        fake::disarm_malloc();
        EXPECT_EQ(fake::texts(Channel::syslog), expected[k]);
        EXPECT_EQ(fake::logs(Channel::syslog).at(0).level, LOG_ERR);
        const auto &c = fake::state().calls;
        EXPECT_EQ(c.foreach_calls, 1);
        EXPECT_EQ(c.fetches, 3);
        EXPECT_EQ(c.closes, 2);
        EXPECT_EQ(fake::open_handles(), 0);
    }
}

TEST_F(WanifQueries, SlotsFollowTheCountNotTheDelivery) {
    put(Wan("eth0").wan().ip(1));
    put(Wan("eth1").wan().ip(2));
    put(Wan("eth2").wan().ip(3));
    put(Wan("eth3").wan().ip(4));
    fake::state().faults.count_result = 2;  // two records arrive after the count
    EXPECT_EQ(ek_brd_get_wanif_count(), 2);
    EXPECT_EQ(db_wanif_idx, 4);
    EXPECT_EQ(fake::state().calls.fetches, 2);
    EXPECT_EQ(ek_brd_check_intf_wanif("eth1"), 1);
    EXPECT_EQ(ek_brd_check_intf_wanif("eth2"), 0);
    EXPECT_EQ(ek_brd_cpe_shm_check_wan_intf_ip(3), 0);

    fake::state().faults.count_result = 6;  // two fewer arrive than counted
    db_wanif_idx = -77;
    EXPECT_EQ(ek_brd_get_wanif_count(), 6);  // the two empty slots count too
    EXPECT_EQ(db_wanif_idx, 4);
    EXPECT_EQ(ek_brd_cpe_shm_check_wan_intf_ip(0), 0);
    EXPECT_TRUE(fake::state().logs.empty());
}

TEST_F(WanifQueries, LoadWaitsForTheMutex) {
    put(Wan("eth0"));
    int count = -1;
    EXPECT_FALSE(runs_while_mutex_held([&] { count = ek_brd_get_wanif_count(); }, 100ms));
    EXPECT_EQ(count, 1);
}

}  // namespace
