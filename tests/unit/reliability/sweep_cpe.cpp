// The allocation-failure sweep of the local-subnet test.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "common/shm_word.h"
#include "ek_brd.h"
#include "fake_platform.h"
#include "harness.h"

namespace {

using fake::Channel;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// mgt0 does not hold the pair, so a run that gets past the interface stage
// finds it in the VPN internal-subnet table, marked local.
TEST(OomSweep, LocalSubnet) {
    const std::string net_dev = "/tmp/reliability_net_dev." + std::to_string(getpid());
    FILE *f = fopen(net_dev.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("Inter-| header\n face | header\n    lo: 1 2 3\n  mgt0: 1 2 3\n  eth0: 4 5 6\n", f);
    fclose(f);
    const uint32_t addr = 0x0a080000, mask = 0xffff0000;
    rel::sweep({
        "ek_brd_lib_is_cpe_local_subnet",
        [&] {
            fake::state().fopen_redirect["/proc/net/dev"] = net_dev;
            fake::state().dcd_addr = [](const char *, uint32_t *a, uint32_t *m) {
                *a = 0x0a010203;
                *m = 0xffffff00;
                return 0;
            };
            auto *cpe = static_cast<uint8_t *>(ek_brd_get_cpe_shm_data());
            ASSERT_NE(cpe, nullptr);
            ek::shm_word(cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET) = 1;
            ek::shm_word(cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET + 4) = static_cast<int32_t>(addr);
            ek::shm_word(cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET + 8) = static_cast<int32_t>(mask);
            ek::shm_word(cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET + 4 + 24) = 1;
        },
        [&] { return rel::Outcome{ek_brd_lib_is_cpe_local_subnet(&addr, &mask)}; },
        [](long, bool failed, const rel::Outcome &out) {
            EXPECT_EQ(out.value, failed ? 0 : 1);
            if (failed) {
                EXPECT_THAT(fake::texts(Channel::ek_err), ElementsAre("malloc failed"));
            } else {
                EXPECT_THAT(fake::texts(Channel::ek_err), IsEmpty());
            }
        },
    });
    unlink(net_dev.c_str());
}

}  // namespace
