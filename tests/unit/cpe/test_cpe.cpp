// The CPE tables where the fake platform is needed: the local-subnet test
// over a stand-in for /proc/net/dev, and the tables without their segment.
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

#include "cpe/nat_policy.h"
#include "cpe_segment.h"
#include "ek_brd.h"
#include "fake_platform.h"

namespace {

using Names = std::vector<std::string>;

const uint32_t kMgtAddr = 0x0a010203, kMask24 = 0xffffff00, kMask16 = 0xffff0000;
const uint32_t kRecords = EK_BRD_CPE_VPN_SUBNETS_OFFSET + 4;

class Cpe : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        seg_ = cpe_test::Segment::make();
        ASSERT_NE(seg_.base, nullptr);
        // Colons in the header, blanks before names, a line past the 512-byte buffer.
        std::ofstream(path_) << "mgt0: header one\n mgt01: header two\n    lo: 1 2\n"
                             << "no colon mgt0 here\n  xmgt0: 1\n\t \tmgt0.5:  1 2 3\n"
                             << std::string(700, ' ') << "mgt01:" << std::string(900, '7')
                             << "\n  mgt1: 1\n  mgt0: 1 2\n";
        fake::state().fopen_redirect["/proc/net/dev"] = path_;
        fake::state().dcd_addr = [this](const char *name, uint32_t *a, uint32_t *m) {
            asked_.push_back(name);
            EXPECT_EQ(pthread_mutex_trylock(&internal_subnet_mutex), 0) << "held while reading";
            pthread_mutex_unlock(&internal_subnet_mutex);
            *a = kMgtAddr;
            *m = kMask24;
            return strcmp(name, "mgt01") == 0 ? -1 : 0;  // it has no address
        };
    }

    void subnet(uint32_t index, uint32_t addr, uint32_t mask, uint32_t local) const {
        seg_.set_word(kRecords + 36 * index, addr);
        seg_.set_word(kRecords + 36 * index + 4, mask);
        seg_.set_word(kRecords + 36 * index + 24, local);
    }
    static int local(uint32_t addr, uint32_t mask) {
        return ek_brd_lib_is_cpe_local_subnet(&addr, &mask);
    }

    cpe_test::Segment seg_;
    const std::string path_ = "/tmp/net_dev";  // the test's own /tmp
    Names asked_;
};

// The records are sorted by their two words, as the table's writers keep them.
TEST_F(Cpe, LocalSubnetAsksTheMgt0InterfacesThenTheTable) {
    seg_.set_word(EK_BRD_CPE_VPN_SUBNETS_OFFSET, 3);
    subnet(0, 0x0a010000, kMask16, 1);
    subnet(1, 0x0a080000, kMask16, 7);
    subnet(2, 0x0a090000, kMask16, 0);
    fake::in_fresh_process([&] {
        EXPECT_EQ(local(0x0a010277, kMask24), 1);
        EXPECT_EQ(asked_, Names{"mgt0.5"});
        EXPECT_EQ(local(0x0a010200, 0xffffff80), 0);  // the mask must be the interface's
        EXPECT_EQ(asked_, (Names{"mgt0.5", "mgt0.5", "mgt01", "mgt0"}));
        EXPECT_EQ(local(0x0a010000, kMask16), 1);  // in the table only
        EXPECT_EQ(local(0x0a080000, kMask16), 1);
        EXPECT_EQ(local(0x0a080101, kMask16), 0);  // the table wants the exact pair
        EXPECT_EQ(local(0x0a090000, kMask16), 0);  // present, not marked local
        EXPECT_EQ(local(0x0a080000, kMask24), 0);  // and the exact mask
        // The records end before the save-report flag: a count beyond that
        // room is damage, and the search stays inside the room.
        seg_.set_word(EK_BRD_CPE_VPN_SUBNETS_OFFSET, 760);
        subnet(759, 0x0b000000, kMask16, 1);  // the first record that does not fit
        EXPECT_EQ(local(0x0b000000, kMask16), 0);
    });
}

// Failure paths of a segment that cannot be created.
TEST_F(Cpe, WithoutTheSegmentTheTablesAnswerNone) {
    fake::state().faults.shm_create_fail = true;
    fake::in_fresh_process([&] {
        ek_brd_cpe_shm_save_nat_policy(1, "nat1", 2);
        ek_brd_cpe_shm_delete_nat_policy(0);
        EXPECT_EQ(ek_brd_cpe_shm_request_nat_policy_id(), 0);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id("nat1"), 0);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_type("nat1"), -1);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_name(129), nullptr);
        char buf[8] = "keep";
        ek_brd_cpe_shm_get_nat_policy_output(0, buf);
        EXPECT_STREQ(buf, "keep");
        EXPECT_EQ(local(kMgtAddr, kMask24), 1);  // the interfaces still count
        EXPECT_TRUE(fake::state().logs.empty());
    });
}

}  // namespace
