// The failure rows of the CPE tables: the NAT policy table and the
// local-subnet test.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "common/shm_word.h"
#include "ek_brd.h"
#include "fake_platform.h"
#include "harness.h"

namespace {

using fake::Channel;
using rel::faults;
using rel::lines;
using rel::starved;

// ------------------------------------------------------------ CPE tables

TEST(FailureRows, NatPolicies) {
    const std::vector<std::string> listed = {
        "delete with an id below 1 or above 128",
        "name of an id above 128",
    };
    auto table_bytes = [] {
        auto *cpe = static_cast<const uint8_t *>(ek_brd_get_cpe_shm_data());
        return std::vector<uint8_t>(cpe + EK_BRD_CPE_NAT_TABLE_OFFSET,
                                    cpe + EK_BRD_CPE_BRD_AUTH_OFFSET + 4);
    };
    static std::vector<uint8_t> before;
    auto filled = [table_bytes] {
        for (int id = 1; id <= EK_BRD_CPE_NAT_POLICY_MAX; id++) {
            ek_brd_cpe_shm_save_nat_policy(id, ("p" + std::to_string(id)).c_str(), 2);
        }
        before = table_bytes();
    };
    auto unchanged = [table_bytes] { EXPECT_EQ(table_bytes(), before); };
    const std::string fmt = "WANIF: ek_brd_cpe_shm_delete_nat_policy: id ";
    rel::run_rows(
        listed,
        {
            {listed[0], filled,
             [] {
                 for (int id : {0, -1, 129}) ek_brd_cpe_shm_delete_nat_policy(id);
                 return 0L;
             },
             0, Channel::syslog,
             lines({fmt + "0 is out or range (1-128)", fmt + "-1 is out or range (1-128)",
                    fmt + "129 is out or range (1-128)"}),
             unchanged, true},
            {listed[1], filled,
             [] { return long{ek_brd_cpe_shm_get_nat_policy_name(129) != nullptr}; }, 0,
             Channel::syslog,
             lines({"WANIF: ek_brd_cpe_shm_get_nat_policy_name: id 129 exceeds the max range 128"}),
             unchanged, true},
        });
}

const uint32_t kAddr = 0x0a010200, kMask = 0xffffff00;  // mgt0's subnet

TEST(FailureRows, LocalSubnet) {
    const std::vector<std::string> listed = {
        "the 512-byte line buffer cannot be allocated",
        "/proc/net/dev cannot be opened",
        "a line has no ':'",
        "ek_dcd_get_addr_byname returns non-zero for a qualifying interface",
    };
    static const std::string net_dev = "/tmp/reliability_rows_net_dev";
    static std::vector<std::string> asked;
    auto interfaces = [](std::string body, std::vector<std::string> failing) {
        return [body, failing] {
            FILE *f = fopen(net_dev.c_str(), "w");
            ASSERT_NE(f, nullptr);
            fputs(("Inter-| header\n face | header\n" + body).c_str(), f);
            fclose(f);
            fake::state().fopen_redirect["/proc/net/dev"] = net_dev;
            asked.clear();
            fake::state().dcd_addr = [failing](const char *name, uint32_t *a, uint32_t *m) {
                asked.push_back(name);
                for (const std::string &n : failing) {
                    if (n == name) return -1;
                }
                *a = 0x0a010203;
                *m = 0xffffff00;
                return 0;
            };
            // The table holds the pair too, marked local, so only a stage
            // that is skipped can answer 0.
            auto *cpe = static_cast<uint8_t *>(ek_brd_get_cpe_shm_data());
            ek::shm_word(cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET) = 1;
            ek::shm_word(cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET + 4) = static_cast<int32_t>(kAddr);
            ek::shm_word(cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET + 8) = static_cast<int32_t>(kMask);
            ek::shm_word(cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET + 28) = 1;
        };
    };
    auto local = [] { return long{ek_brd_lib_is_cpe_local_subnet(&kAddr, &kMask)}; };
    auto local_elsewhere = [] {
        // Not in the table: only the interface stage can say 1.
        const uint32_t addr = 0x0a010277;
        return long{ek_brd_lib_is_cpe_local_subnet(&addr, &kMask)};
    };
    auto asked_for = [](std::vector<std::string> want) {
        return [want] { EXPECT_EQ(asked, want); };
    };
    rel::run_rows(
        listed,
        {
            {listed[0], interfaces("  mgt0: 1 2 3\n", {}), starved(0, local), 0, Channel::ek_err,
             lines({"malloc failed"}), asked_for({}), true},
            {listed[1],
             [&] {
                 interfaces("  mgt0: 1 2 3\n", {})();
                 faults().fopen_fail = true;
             },
             local, 0, Channel::ek_err, lines({"can't open /proc/net/dev\n"}), asked_for({}), true},
            {listed[2], interfaces("  mgt0 1 2 3\n", {}), local_elsewhere, 0, Channel::ek_err,
             lines({}), asked_for({}), true},
            {listed[3], interfaces("  mgt0: 1 2 3\n  eth0: 1\n  mgt01: 4 5 6\n", {"mgt0"}),
             local_elsewhere, 1, Channel::ek_err, lines({}), asked_for({"mgt0", "mgt01"}), true},
        });
}

}  // namespace
