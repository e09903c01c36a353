// The allocation-failure sweep of the WAN queries and the priority
// validation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "../wanif/wanif_records.h"
#include "ek_brd.h"
#include "fake_platform.h"
#include "harness.h"

namespace {

using fake::Channel;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using wanif_test::Wan;

std::vector<std::string> syslogs() {
    return fake::texts(Channel::syslog);
}

// Three records, so the array and each of the three records can fail.
void put_wan_records() {
    wanif_test::put(Wan("eth0").wan().active().ip(0x0a000001).prio(10));
    wanif_test::put(Wan("ppp0").wan().pppoe(7).ip(0x0a000002).prio(11));
    wanif_test::put(Wan("tunnel0").wan().ip(0x0a000003).prio(12));
}

// What a load whose allocation k failed logs: the array first, then one
// record per slot.
std::vector<std::string> alloc_failure(long k) {
    if (k == 0) return {"WANIF: malloc failed for all_entry"};
    return {"WANIF: malloc failed for all_entry[" + std::to_string(k - 1) + "]"};
}

struct Query {
    const char *name;
    int (*call)();
    int answer;  // when every allocation succeeds
};

const Query kQueries[] = {
    {"ek_brd_get_wanif_count", [] { return ek_brd_get_wanif_count(); }, 2},
    {"ek_brd_check_intf_active_dft_wan", [] { return ek_brd_check_intf_active_dft_wan("eth0"); },
     1},
    {"ek_brd_check_intf_wanif", [] { return ek_brd_check_intf_wanif("ppp0"); }, 1},
    {"ek_brd_cpe_shm_check_wan_intf_ip",
     [] { return ek_brd_cpe_shm_check_wan_intf_ip(0x0a000002); }, 1},
    {"ek_brd_get_pppoe_ethnet_kifidx", [] { return ek_brd_get_pppoe_ethnet_kifidx("ppp0"); }, 7},
};

TEST(OomSweep, WanQueries) {
    for (const Query &q : kQueries) {
        long runs = rel::sweep({
            q.name,
            put_wan_records,
            [&q] { return rel::Outcome{q.call()}; },
            [&q](long k, bool failed, const rel::Outcome &out) {
                // A failed load answers like a scan that matched nothing.
                EXPECT_EQ(out.value, failed ? 0 : q.answer);
                if (failed) {
                    EXPECT_EQ(syslogs(), alloc_failure(k));
                } else {
                    EXPECT_THAT(syslogs(), IsEmpty());
                }
                EXPECT_EQ(fake::state().calls.fetches, failed ? 0 : 3);
            },
        });
        EXPECT_EQ(runs, 5);
    }
}

TEST(OomSweep, WanPriorityValidation) {
    char msg[128];
    const std::string kUntouched(100, '#');
    rel::sweep({
        "ek_brd_check_cfg_priority_valid",
        put_wan_records,
        [&] {
            snprintf(msg, sizeof msg, "%s", kUntouched.c_str());
            return rel::Outcome{ek_brd_check_cfg_priority_valid(45, 11, msg)};
        },
        [&](long k, bool failed, const rel::Outcome &out) {
            if (!failed) {
                EXPECT_EQ(out.value, 0);
                EXPECT_STREQ(msg,
                             "Please use a different priority value since priority 11 is "
                             "in already configured\n");
                EXPECT_THAT(syslogs(), IsEmpty());
                return;
            }
            // A load that could not be made refuses nothing.
            EXPECT_EQ(out.value, 1);
            EXPECT_EQ(syslogs(), alloc_failure(k));
            EXPECT_STREQ(msg, k == 0 ? "brd: malloc failed for all_entry\n" : kUntouched.c_str());
        },
    });
}

}  // namespace
