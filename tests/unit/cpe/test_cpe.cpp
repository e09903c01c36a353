// The local-subnet test over a stand-in for /proc/net/dev and the CPE
// segment. The library attaches the segment once per process, so the calls
// run in a fresh child; the segment is made first, for the child to attach.
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/shm_word.h"
#include "cpe/nat_policy.h"
#include "fake_platform.h"

namespace {

using Names = std::vector<std::string>;

const uint32_t kMask24 = 0xffffff00, kMask16 = 0xffff0000;

int local(uint32_t addr, uint32_t mask) {
    return ek_brd_lib_is_cpe_local_subnet(&addr, &mask);
}

// The records are sorted by their two words, as the table's writers keep them.
TEST(Cpe, LocalSubnetAsksTheMgt0InterfacesThenTheTable) {
    fake::reset();
    void *cpe = fake::shared_segment(EK_BRD_CPE_SHM_KEY, EK_BRD_CPE_SHM_SIZE);
    auto subnet = [cpe](uint32_t index, uint32_t addr, uint32_t mask, int32_t is_local) {
        const uint32_t at = EK_BRD_CPE_VPN_SUBNETS_OFFSET + 4 + 36 * index;
        ek::shm_word(cpe, at) = static_cast<int32_t>(addr);
        ek::shm_word(cpe, at + 4) = static_cast<int32_t>(mask);
        ek::shm_word(cpe, at + 24) = is_local;
    };
    ek::shm_word(cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET) = 2;
    subnet(0, 0x0a010000, kMask16, 1);
    subnet(1, 0x0a080000, kMask16, 7);
    // Colons in the header, blanks before names, a line past the 512-byte buffer.
    std::ofstream("/tmp/net_dev") << "mgt0: header one\n mgt01: header two\n    lo: 1 2\n"
                                  << "no colon mgt0 here\n\t \tmgt0.5:  1 2 3\n"
                                  << std::string(700, ' ') << "mgt01:" << std::string(900, '7')
                                  << "\n  mgt0: 1 2\n";
    fake::state().fopen_redirect["/proc/net/dev"] = "/tmp/net_dev";
    Names asked;
    fake::state().dcd_addr = [&asked](const char *name, uint32_t *a, uint32_t *m) {
        asked.push_back(name);
        EXPECT_EQ(pthread_mutex_trylock(&internal_subnet_mutex), 0) << "held while reading";
        pthread_mutex_unlock(&internal_subnet_mutex);
        *a = 0x0a010203;
        *m = kMask24;
        return strcmp(name, "mgt01") == 0 ? -1 : 0;  // it has no address
    };
    fake::in_fresh_process([&] {
        EXPECT_EQ(local(0x0a010277, kMask24), 1);
        EXPECT_EQ(asked, Names{"mgt0.5"});
        EXPECT_EQ(local(0x0a010200, 0xffffff80), 0);  // the mask must be the interface's
        EXPECT_EQ(asked, (Names{"mgt0.5", "mgt0.5", "mgt01", "mgt0"}));
        EXPECT_EQ(local(0x0a010000, kMask16), 1);  // in the table only
        EXPECT_EQ(local(0x0a080000, kMask16), 1);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_type("a"), -1);  // no such policy
        // The records end before the save-report flag: a count beyond that
        // room is damage, and the search stays inside the room.
        ek::shm_word(cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET) = 760;
        subnet(759, 0x0b000000, kMask16, 1);  // the first record that does not fit
        EXPECT_EQ(local(0x0b000000, kMask16), 0);
    });
}

}  // namespace
