// The NAT policy table in the CPE segment.
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <syslog.h>

#include <functional>
#include <string>
#include <vector>

#include "cpe/nat_policy.h"
#include "cpe_segment.h"
#include "ek_brd.h"
#include "fake_platform.h"

namespace {

using fake::Channel;

class NatPolicy : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        seg_ = cpe_test::Segment::make();
        ASSERT_NE(seg_.base, nullptr);
    }
    ek_nat_policy_t &slot(int id) const { return seg_.slot(id); }
    std::vector<uint8_t> table_bytes() const {
        const uint8_t *t = seg_.base + EK_BRD_CPE_NAT_TABLE_OFFSET;
        return {t, t + EK_BRD_CPE_NAT_POLICY_MAX * sizeof(ek_nat_policy_t)};
    }

    cpe_test::Segment seg_;
};

TEST_F(NatPolicy, FreshTableIsEmpty) {
    fake::in_fresh_process([&] {
        EXPECT_EQ(ek_brd_cpe_shm_request_nat_policy_id(), 1);
        for (const char *name : {"", "nat1", "tunnel"}) {
            EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id(name), 0) << name;
            EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_type(name), -1) << name;
            for (const char *ifname : {"tunnel0", "eth0"}) {
                EXPECT_EQ(ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface(name, ifname),
                          0);
            }
        }
        char buf[80] = "keep";
        for (int i = 0; i < EK_BRD_CPE_NAT_POLICY_MAX; i++)
            ek_brd_cpe_shm_get_nat_policy_output(i, buf);
        EXPECT_STREQ(buf, "keep");
        char *name = ek_brd_cpe_shm_get_nat_policy_name(1);
        EXPECT_EQ(name, slot(1).name);  // in the segment, not a copy
        EXPECT_STREQ(name, "");
        EXPECT_TRUE(fake::state().logs.empty());
    });
}

TEST_F(NatPolicy, RequestHandsOutTheLowestFreeIdAndReservesNothing) {
    fake::in_fresh_process([&] {
        for (int id = 1; id <= EK_BRD_CPE_NAT_POLICY_MAX; id++) {
            ASSERT_EQ(ek_brd_cpe_shm_request_nat_policy_id(), id);
            ek_brd_cpe_shm_save_nat_policy(id, ("p" + std::to_string(id)).c_str(), 2);
        }
        EXPECT_EQ(ek_brd_cpe_shm_request_nat_policy_id(), 0);  // full is not an error
        EXPECT_TRUE(fake::state().logs.empty());

        ek_brd_cpe_shm_delete_nat_policy(90);
        ek_brd_cpe_shm_delete_nat_policy(5);
        EXPECT_EQ(ek_brd_cpe_shm_request_nat_policy_id(), 5);
        EXPECT_EQ(ek_brd_cpe_shm_request_nat_policy_id(), 5);
        ek_brd_cpe_shm_save_nat_policy(5, "again", 1);
        EXPECT_EQ(ek_brd_cpe_shm_request_nat_policy_id(), 90);
    });
}

TEST_F(NatPolicy, SaveCutsTheNameAt32AndLeavesThePadBytes) {
    const std::string long_name(40, 'L');
    const std::string cut(32, 'L');
    memset(slot(2).rsv_33, 0xAB, sizeof slot(2).rsv_33);
    fake::in_fresh_process([&] {
        ek_brd_cpe_shm_save_nat_policy(2, long_name.c_str(), 7);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id(cut.c_str()), 2);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id(long_name.c_str()), 0);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id((cut + "L").c_str()), 0);
        // A shorter name over a longer one leaves no tail behind.
        ek_brd_cpe_shm_save_nat_policy(2, "ab", -3);
    });
    const ek_nat_policy_t &s = slot(2);
    EXPECT_STREQ(s.name, "ab");
    for (size_t i = 2; i < sizeof s.name; i++) EXPECT_EQ(s.name[i], '\0') << i;
    for (uint8_t b : s.rsv_33) EXPECT_EQ(b, 0xAB);
    EXPECT_EQ(s.type, -3);
}

TEST_F(NatPolicy, EmptyNameIsNeverFoundAndLeavesTheSlotFree) {
    fake::in_fresh_process([&] {
        ek_brd_cpe_shm_save_nat_policy(1, "", 2);
        EXPECT_EQ(ek_brd_cpe_shm_request_nat_policy_id(), 1);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id(""), 0);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_type(""), -1);
        EXPECT_EQ(ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface("", "eth0"), 0);
    });
    EXPECT_EQ(slot(1).type, 2);  // stored, but the slot still counts as free
}

TEST_F(NatPolicy, LowestIdWinsAmongDuplicateNames) {
    fake::in_fresh_process([&] {
        ek_brd_cpe_shm_save_nat_policy(7, "dup", 1);
        ek_brd_cpe_shm_save_nat_policy(3, "dup", 2);
        ek_brd_cpe_shm_save_nat_policy(4, "Dup", 1);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id("dup"), 3);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_type("dup"), 2);
        EXPECT_EQ(ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface("dup", "eth0"), 1);
        EXPECT_EQ(ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface("dup", "tunnel0"), 0);
        ek_brd_cpe_shm_delete_nat_policy(3);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id("dup"), 7);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id("DUP"), 0);
    });
}

TEST_F(NatPolicy, TypeCheckDependsOnTheTunnelPrefix) {
    struct Case {
        int type;
        const char *ifname;
        int want;
    };
    const std::vector<Case> cases = {
        {1, "tunnel0", 1}, {1, "tunnel", 1},   {1, "tunnelX9", 1}, {1, "Tunnel0", 0},
        {1, "tunne", 0},   {1, "eth0", 0},     {1, "", 0},         {2, "tunnel0", 0},
        {2, "tunnel", 0},  {2, "Tunnel0", 1},  {2, "eth0", 1},     {2, "", 1},
        {0, "eth0", 0},    {0, "tunnel0", 0},  {3, "eth0", 0},     {3, "tunnel0", 0},
        {-1, "eth0", 0},   {-1, "tunnel0", 0},
    };
    fake::in_fresh_process([&] {
        for (const Case &c : cases) {
            ek_brd_cpe_shm_save_nat_policy(10, "pol", c.type);
            EXPECT_EQ(ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface("pol", c.ifname),
                      c.want)
                << "type " << c.type << " on '" << c.ifname << "'";
            EXPECT_EQ(ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface("other", c.ifname),
                      0);
        }
    });
}

TEST_F(NatPolicy, DeleteClearsTheWholeSlotOrRefusesTheId) {
    fake::in_fresh_process([&] {
        ek_brd_cpe_shm_save_nat_policy(1, "first", 1);
        ek_brd_cpe_shm_save_nat_policy(128, "last", 2);
        memset(slot(1).rsv_33, 0x5A, sizeof slot(1).rsv_33);
        const std::vector<uint8_t> before = table_bytes();
        for (int id : {0, -1, 129, INT_MIN}) ek_brd_cpe_shm_delete_nat_policy(id);
        EXPECT_EQ(table_bytes(), before);

        const std::vector<fake::LogLine> logs = fake::logs(Channel::syslog);
        ASSERT_EQ(logs.size(), 4u);
        const std::string prefix = "WANIF: ek_brd_cpe_shm_delete_nat_policy: id ";
        const int ids[] = {0, -1, 129, INT_MIN};
        for (size_t i = 0; i < logs.size(); i++) {
            EXPECT_EQ(logs[i].text, prefix + std::to_string(ids[i]) + " is out or range (1-128)");
            EXPECT_EQ(logs[i].level, LOG_ERR);
        }

        ek_brd_cpe_shm_delete_nat_policy(1);
        ek_brd_cpe_shm_delete_nat_policy(128);
        const std::vector<uint8_t> after = table_bytes();
        EXPECT_EQ(after, std::vector<uint8_t>(after.size(), 0));
    });
}

TEST_F(NatPolicy, NameLookupReturnsTheSlotOrRefusesTheId) {
    fake::in_fresh_process([&] {
        ek_brd_cpe_shm_save_nat_policy(128, "last", 2);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_name(128), slot(128).name);
        EXPECT_STREQ(ek_brd_cpe_shm_get_nat_policy_name(128), "last");
        EXPECT_STREQ(ek_brd_cpe_shm_get_nat_policy_name(127), "");
        EXPECT_TRUE(fake::state().logs.empty());

        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_name(0), nullptr);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_name(-5), nullptr);
        EXPECT_TRUE(fake::state().logs.empty());

        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_name(129), nullptr);
        const std::vector<fake::LogLine> logs = fake::logs(Channel::syslog);
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_EQ(logs[0].text,
                  "WANIF: ek_brd_cpe_shm_get_nat_policy_name: id 129 exceeds the max range 128");
        EXPECT_EQ(logs[0].level, LOG_ERR);
    });
}

TEST_F(NatPolicy, ListingAppendsOneLinePerUsedSlotInIdOrder) {
    const std::string longest(32, 'z');
    fake::in_fresh_process([&] {
        ek_brd_cpe_shm_save_nat_policy(128, longest.c_str(), INT_MIN);
        ek_brd_cpe_shm_save_nat_policy(1, "nat1", 2);
        ek_brd_cpe_shm_save_nat_policy(3, "end", -1);
        char buf[512] = "head\n";
        for (int i = 0; i < EK_BRD_CPE_NAT_POLICY_MAX; i++)
            ek_brd_cpe_shm_get_nat_policy_output(i, buf);
        const std::string longest_line =
            "\tnat_policy_id|name|type: 128|" + longest + "|-2147483648\n";
        EXPECT_EQ(longest_line.size(), 75u);  // the room callers make for a line
        EXPECT_EQ(std::string(buf),
                  "head\n\tnat_policy_id|name|type: 1|nat1|2\n"
                  "\tnat_policy_id|name|type: 3|end|-1\n" +
                      longest_line);

        // Indexes outside the table append nothing.
        const std::string full(buf);
        for (int i : {-1, 128, INT_MAX, INT_MIN}) ek_brd_cpe_shm_get_nat_policy_output(i, buf);
        EXPECT_EQ(std::string(buf), full);
    });
}

TEST_F(NatPolicy, SaveOutsideTheTableChangesNothingSilently) {
    fake::in_fresh_process([&] {
        ek_brd_get_cpe_shm_data();
        const std::vector<uint8_t> before(seg_.base, seg_.base + EK_BRD_CPE_SHM_SIZE);
        for (int id : {0, -1, 129, INT_MAX, INT_MIN}) ek_brd_cpe_shm_save_nat_policy(id, "x", 2);
        EXPECT_EQ(std::vector<uint8_t>(seg_.base, seg_.base + EK_BRD_CPE_SHM_SIZE), before);
        EXPECT_TRUE(fake::state().logs.empty());
    });
}

TEST_F(NatPolicy, NameWrittenWithoutTerminatorIsReadWithinTheSlot) {
    // Another writer of the segment may fill all 33 name bytes.
    memset(slot(1).name, 'n', sizeof slot(1).name);
    slot(1).type = 2;
    const std::string cut(32, 'n');
    fake::in_fresh_process([&] {
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id(std::string(33, 'n').c_str()), 1);
        char buf[128] = "";
        ek_brd_cpe_shm_get_nat_policy_output(0, buf);
        EXPECT_EQ(std::string(buf), "\tnat_policy_id|name|type: 1|" + cut + "|2\n");
    });
}

// Each operation reaches the segment before it looks at its arguments, so
// even a refused call is a process's first attach.
TEST_F(NatPolicy, EveryOperationAttachesTheSegmentFirst) {
    char buf[8] = "";
    const std::vector<std::function<void()>> ops = {
        [] { ek_brd_cpe_shm_request_nat_policy_id(); },
        [] { ek_brd_cpe_shm_save_nat_policy(0, "x", 1); },
        [] { ek_brd_cpe_shm_delete_nat_policy(0); },
        [] { ek_brd_cpe_shm_get_nat_policy_id(""); },
        [] { ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface("x", "eth0"); },
        [] { ek_brd_cpe_shm_get_nat_policy_name(0); },
        [&buf] { ek_brd_cpe_shm_get_nat_policy_output(-1, buf); },
    };
    for (size_t i = 0; i < ops.size(); i++) {
        fake::in_fresh_process([&] {
            ops[i]();
            EXPECT_EQ(fake::state().calls.shm_keys, std::vector<int32_t>{EK_BRD_CPE_SHM_KEY})
                << "operation " << i;
        });
    }
}

TEST_F(NatPolicy, WithoutTheSegmentEveryOperationAnswersNone) {
    fake::state().faults.shm_create_fail = true;
    fake::in_fresh_process([] {
        ek_brd_cpe_shm_save_nat_policy(1, "nat1", 2);
        ek_brd_cpe_shm_delete_nat_policy(1);
        ek_brd_cpe_shm_delete_nat_policy(0);
        EXPECT_EQ(ek_brd_cpe_shm_request_nat_policy_id(), 0);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id("nat1"), 0);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_type("nat1"), -1);
        EXPECT_EQ(ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface("nat1", "eth0"), 0);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_name(1), nullptr);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_name(129), nullptr);
        char buf[16] = "keep";
        ek_brd_cpe_shm_get_nat_policy_output(0, buf);
        EXPECT_STREQ(buf, "keep");
        EXPECT_TRUE(fake::state().logs.empty());
        EXPECT_EQ(fake::state().calls.shm_creates, 1);  // tried once, never again
    });
    const std::vector<uint8_t> table = table_bytes();
    EXPECT_EQ(table, std::vector<uint8_t>(table.size(), 0));
}

}  // namespace
