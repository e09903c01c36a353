// The NAT policy table through the host platform's SysV segment: what one
// process stores, another process finds, lists and deletes.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>

#include "ek_brd.h"
#include "host/child.h"

namespace {

// A separate process with its own attach of the CPE segment (the parent
// attaches only after its children); the child prints its own failures.
bool in_child(const std::function<void()> &body) {
    return hosttest::wait_child(hosttest::spawn([&] {
               body();
               fflush(stdout);
               return ::testing::Test::HasFailure() ? 1 : 0;
           })) == 0;
}

std::string listing() {
    char buf[128 * 80] = "";
    for (int i = 0; i < EK_BRD_CPE_NAT_POLICY_MAX; i++)
        ek_brd_cpe_shm_get_nat_policy_output(i, buf);
    return buf;
}

TEST(NatPolicyShared, OneProcessWritesAnotherReads) {
    const auto writer = [] {
        ASSERT_NE(ek_brd_get_cpe_shm_data(), nullptr);
        int wan = ek_brd_cpe_shm_request_nat_policy_id();
        ASSERT_EQ(wan, 1);
        ek_brd_cpe_shm_save_nat_policy(wan, "wan_nat", 2);
        int vpn = ek_brd_cpe_shm_request_nat_policy_id();
        ASSERT_EQ(vpn, 2);
        ek_brd_cpe_shm_save_nat_policy(vpn, "vpn_nat", 1);
        ek_brd_cpe_shm_save_nat_policy(128, std::string(40, 'q').c_str(), 2);
    };
    const auto reader = [] {
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id("wan_nat"), 1);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id("vpn_nat"), 2);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id(std::string(32, 'q').c_str()), 128);
        EXPECT_EQ(ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface("wan_nat", "eth0"), 1);
        EXPECT_EQ(ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface("vpn_nat", "tunnel3"),
                  1);
        EXPECT_EQ(ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface("vpn_nat", "eth0"), 0);
        EXPECT_STREQ(ek_brd_cpe_shm_get_nat_policy_name(2), "vpn_nat");
        EXPECT_EQ(listing(),
                  "\tnat_policy_id|name|type: 1|wan_nat|2\n"
                  "\tnat_policy_id|name|type: 2|vpn_nat|1\n"
                  "\tnat_policy_id|name|type: 128|" +
                      std::string(32, 'q') + "|2\n");
        EXPECT_EQ(ek_brd_cpe_shm_request_nat_policy_id(), 3);
        ek_brd_cpe_shm_delete_nat_policy(1);
    };
    ASSERT_TRUE(in_child(writer));
    ASSERT_TRUE(in_child(reader));

    // The parent attaches last and sees the second child's delete.
    EXPECT_EQ(ek_brd_cpe_shm_request_nat_policy_id(), 1);
    EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id("wan_nat"), 0);
    EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id("vpn_nat"), 2);
    EXPECT_STREQ(ek_brd_cpe_shm_get_nat_policy_name(1), "");
}

}  // namespace
