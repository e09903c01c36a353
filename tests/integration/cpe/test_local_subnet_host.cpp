// The local-subnet test against real interfaces of the test's private
// network namespace, their addresses read through the host platform, and
// the VPN internal-subnet table of the host platform's CPE segment.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "ek_brd.h"

namespace {

// Addresses and masks in the form the device configuration service gives
// them: network byte order.
uint32_t addr(const char *dotted) {
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1) << dotted;
    return a.s_addr;
}

uint32_t mask(int bits) {
    return htonl(bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits));
}

int local(const char *dotted, int bits) {
    uint32_t a = addr(dotted), m = mask(bits);
    return ek_brd_lib_is_cpe_local_subnet(&a, &m);
}

void sh(const std::string &cmd) {
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
}

// Veth pairs, since the sandbox has no dummy links. The peers carry no
// address; mgt0p and mgt01p also begin with "mgt0" and so are asked too.
void add_link(const std::string &name, const char *cidr) {
    sh("ip link add " + name + " type veth peer name " + name + "p");
    sh("ip addr add " + std::string(cidr) + " dev " + name);
    sh("ip link set " + name + " up");
    sh("ip link set " + name + "p up");
}

class LocalSubnetHost : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        add_link("mgt0", "10.1.2.3/24");
        add_link("mgt01", "172.16.5.1/16");
        add_link("mgt1", "10.20.0.1/16");
        add_link("eth0", "192.168.7.1/24");
    }
    void SetUp() override {
        cpe_ = static_cast<uint8_t *>(ek_brd_get_cpe_shm_data());
        ASSERT_NE(cpe_, nullptr);
        subnets({});
    }
    struct Subnet {
        const char *addr;
        int bits;
        uint32_t local;
    };
    // Sorted by the stored words, as the table's writers keep it.
    void subnets(std::initializer_list<Subnet> recs) {
        int32_t count = static_cast<int32_t>(recs.size());
        memcpy(cpe_ + EK_BRD_CPE_VPN_SUBNETS_OFFSET, &count, sizeof count);
        uint8_t *rec = cpe_ + EK_BRD_CPE_VPN_SUBNETS_OFFSET + 4;
        for (const Subnet &s : recs) {
            uint32_t words[9] = {addr(s.addr), mask(s.bits), 0, 0, 0, 0, s.local, 0, 0};
            memcpy(rec, words, sizeof words);
            rec += sizeof words;
        }
    }

    uint8_t *cpe_ = nullptr;
};

TEST_F(LocalSubnetHost, Mgt0SubnetsAreLocal) {
    EXPECT_EQ(local("10.1.2.0", 24), 1);
    EXPECT_EQ(local("10.1.2.77", 24), 1);
    EXPECT_EQ(local("10.1.2.3", 24), 1);
    EXPECT_EQ(local("10.1.0.0", 16), 0);  // the mask must be the interface's
    EXPECT_EQ(local("10.1.3.0", 24), 0);
    EXPECT_EQ(local("172.16.200.9", 16), 1);  // mgt01 counts as well
}

TEST_F(LocalSubnetHost, OtherInterfacesAreNotExamined) {
    EXPECT_EQ(local("10.20.0.0", 16), 0);    // mgt1
    EXPECT_EQ(local("192.168.7.0", 24), 0);  // eth0
    EXPECT_EQ(local("127.0.0.0", 8), 0);     // lo
}

TEST_F(LocalSubnetHost, VpnSubnetsMarkedLocalAreTheFallback) {
    subnets({{"10.8.0.0", 16, 1}, {"10.9.0.0", 16, 0}, {"192.168.7.0", 24, 1}});
    EXPECT_EQ(local("10.8.0.0", 16), 1);
    EXPECT_EQ(local("10.8.1.1", 16), 0);  // only the exact pair
    EXPECT_EQ(local("10.9.0.0", 16), 0);  // present but not local
    EXPECT_EQ(local("192.168.7.0", 24), 1);
    EXPECT_EQ(local("10.1.2.9", 24), 1);  // the interface stage still answers first
}

}  // namespace
