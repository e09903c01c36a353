// The local-subnet test: the mgt0 interface stage over a stand-in for
// /proc/net/dev, then the VPN internal-subnet table of the CPE segment.
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "cpe_segment.h"
#include "ek_brd.h"
#include "fake_platform.h"

namespace {

using fake::Channel;

constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return a << 24 | b << 16 | c << 8 | d;
}

const std::string kHeader =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
    "drop fifo colls carrier compressed\n";

std::string dev_line(const std::string &name) {
    return "  " + name + ":  1234  5  0  0  0  0  0  0  678  9  0  0  0  0  0  0\n";
}

struct Subnet {
    uint32_t addr, mask, local;
};

class LocalSubnet : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        seg_ = cpe_test::Segment::make();
        ASSERT_NE(seg_.base, nullptr);
        path_ = "/tmp/cpe_net_dev." + std::to_string(getpid());
        fake::state().fopen_redirect["/proc/net/dev"] = path_;
        fake::state().dcd_addr = [this](const char *name, uint32_t *a, uint32_t *m) -> int32_t {
            asked_.push_back(name);
            auto it = ifaces_.find(name);
            if (it == ifaces_.end()) return -1;
            *a = it->second.first;
            *m = it->second.second;
            return 0;
        };
    }
    void TearDown() override { unlink(path_.c_str()); }

    void net_dev(const std::string &body, const std::string &header = kHeader) {
        FILE *f = fopen(path_.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs((header + body).c_str(), f);
        fclose(f);
    }
    // Records sorted by (addr, mask), as the table's writers keep them.
    void subnets(const std::vector<Subnet> &recs) {
        seg_.set_word(EK_BRD_CPE_VPN_SUBNETS_OFFSET, static_cast<uint32_t>(recs.size()));
        for (size_t i = 0; i < recs.size(); i++) {
            const uint32_t at = EK_BRD_CPE_VPN_SUBNETS_OFFSET + 4 + 36 * static_cast<uint32_t>(i);
            seg_.set_word(at, recs[i].addr);
            seg_.set_word(at + 4, recs[i].mask);
            seg_.set_word(at + 24, recs[i].local);
        }
    }
    static int local(uint32_t addr, uint32_t mask) {
        return ek_brd_lib_is_cpe_local_subnet(&addr, &mask);
    }

    cpe_test::Segment seg_;
    std::string path_;
    std::map<std::string, std::pair<uint32_t, uint32_t>> ifaces_;  // what dcd answers
    std::vector<std::string> asked_;
};

const uint32_t kMask24 = ip(255, 255, 255, 0);
const uint32_t kMask16 = ip(255, 255, 0, 0);

TEST_F(LocalSubnet, InterfaceStageMatchesNetworkPartWithEqualMask) {
    net_dev(dev_line("lo") + dev_line("mgt0"));
    ifaces_["mgt0"] = {ip(10, 1, 2, 3), kMask24};
    fake::in_fresh_process([&] {
        EXPECT_EQ(local(ip(10, 1, 2, 0), kMask24), 1);
        EXPECT_EQ(local(ip(10, 1, 2, 77), kMask24), 1);
        EXPECT_EQ(local(ip(10, 1, 0, 0), kMask16), 0);  // mask differs
        EXPECT_EQ(local(ip(10, 1, 3, 0), kMask24), 0);
        EXPECT_TRUE(fake::state().logs.empty());
    });
}

TEST_F(LocalSubnet, OnlyNamesBeginningWithMgt0AreAsked) {
    // A colon in a header line must not make it an interface line.
    const std::string header = "mgt0: header one\n mgt01: header two\n";
    net_dev(dev_line("lo") + dev_line("eth0") + dev_line("mgt1") + dev_line("mgt") +
                "no colon mgt0 here\n" + dev_line("xmgt0") + "mgt01:0 0 0\n" +
                "\t \tmgt0.5:  1 2 3\n" + dev_line("mgt0"),
            header);
    fake::in_fresh_process([&] {
        EXPECT_EQ(local(ip(192, 168, 1, 0), kMask24), 0);
        EXPECT_EQ(asked_, (std::vector<std::string>{"mgt01", "mgt0.5", "mgt0"}));
    });
}

TEST_F(LocalSubnet, AnyMgt0PrefixedInterfaceCanMatch) {
    net_dev(dev_line("mgt0") + dev_line("mgt01"));
    ifaces_["mgt0"] = {ip(10, 1, 2, 3), kMask24};
    ifaces_["mgt01"] = {ip(172, 16, 5, 1), kMask16};
    fake::in_fresh_process([&] {
        EXPECT_EQ(local(ip(172, 16, 9, 9), kMask16), 1);
        EXPECT_EQ(asked_, (std::vector<std::string>{"mgt0", "mgt01"}));
    });
}

TEST_F(LocalSubnet, InterfaceWithoutAnAddressIsSkipped) {
    net_dev(dev_line("mgt0") + dev_line("mgt01"));
    ifaces_["mgt01"] = {ip(10, 1, 2, 3), kMask24};  // dcd fails for mgt0
    fake::in_fresh_process([&] {
        EXPECT_EQ(local(ip(10, 1, 2, 0), kMask24), 1);
        EXPECT_EQ(asked_, (std::vector<std::string>{"mgt0", "mgt01"}));
    });
}

TEST_F(LocalSubnet, TableStageNeedsTheExactPairMarkedLocal) {
    net_dev(dev_line("mgt0"));
    ifaces_["mgt0"] = {ip(10, 1, 2, 3), kMask24};
    subnets({{ip(10, 1, 0, 0), kMask16, 1},
             {ip(10, 8, 0, 0), kMask16, 7},
             {ip(10, 9, 0, 0), kMask16, 0},
             {ip(192, 168, 0, 0), kMask24, 1}});
    fake::in_fresh_process([&] {
        EXPECT_EQ(local(ip(10, 8, 0, 0), kMask16), 1);
        EXPECT_EQ(local(ip(10, 8, 1, 1), kMask16), 0);  // no network-part match here
        EXPECT_EQ(local(ip(10, 9, 0, 0), kMask16), 0);  // present, not local
        EXPECT_EQ(local(ip(10, 1, 0, 0), kMask16), 1);  // missed by mgt0, found in the table
        EXPECT_EQ(local(ip(192, 168, 0, 0), kMask24), 1);
        EXPECT_EQ(local(ip(192, 168, 0, 0), kMask16), 0);
    });
}

TEST_F(LocalSubnet, UnreadableInterfaceListAnswersZeroWithoutTheTable) {
    net_dev(dev_line("mgt0"));
    subnets({{ip(10, 8, 0, 0), kMask16, 1}});
    fake::state().faults.fopen_fail = true;
    fake::in_fresh_process([&] {
        EXPECT_EQ(local(ip(10, 8, 0, 0), kMask16), 0);
        EXPECT_EQ(fake::state().calls.shm_creates, 1);  // attached all the same
        const std::vector<fake::LogLine> logs = fake::logs(Channel::ek_err);
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_EQ(logs[0].text, "can't open /proc/net/dev\n");
        EXPECT_EQ(logs[0].tag, " ");
    });
}

TEST_F(LocalSubnet, FailedLineBufferAnswersZero) {
    net_dev(dev_line("mgt0"));
    ifaces_["mgt0"] = {ip(10, 1, 2, 3), kMask24};
    subnets({{ip(10, 8, 0, 0), kMask16, 1}});
    fake::in_fresh_process([&] {
        ASSERT_NE(ek_brd_get_cpe_shm_data(), nullptr);
        fake::arm_malloc(0);
        EXPECT_EQ(local(ip(10, 1, 2, 0), kMask24), 0);
        fake::arm_malloc(0);
        EXPECT_EQ(local(ip(10, 8, 0, 0), kMask16), 0);
        fake::disarm_malloc();
        EXPECT_TRUE(asked_.empty());
        EXPECT_EQ(fake::texts(Channel::ek_err),
                  (std::vector<std::string>{"malloc failed", "malloc failed"}));
        EXPECT_EQ(local(ip(10, 1, 2, 0), kMask24), 1);
    });
}

TEST_F(LocalSubnet, LinesLongerThanTheBufferAreReadWhole) {
    const std::string pad(700, ' ');
    net_dev(std::string(2000, 'x') + "\n" + pad + "mgt0:" + std::string(900, '7') + "\n" +
            dev_line("mgt01"));
    ifaces_["mgt01"] = {ip(10, 1, 2, 3), kMask24};
    fake::in_fresh_process([&] {
        EXPECT_EQ(local(ip(10, 1, 2, 0), kMask24), 1);
        EXPECT_EQ(asked_, (std::vector<std::string>{"mgt0", "mgt01"}));
    });
}

TEST_F(LocalSubnet, SubnetMutexIsHeldOnlyForTheTable) {
    net_dev(dev_line("mgt0"));
    subnets({{ip(10, 8, 0, 0), kMask16, 1}});
    auto answer = fake::state().dcd_addr;
    fake::state().dcd_addr = [answer](const char *n, uint32_t *a, uint32_t *m) {
        EXPECT_EQ(pthread_mutex_trylock(&internal_subnet_mutex), 0) << "held while reading";
        pthread_mutex_unlock(&internal_subnet_mutex);
        return answer(n, a, m);
    };
    fake::in_fresh_process([&] {
        EXPECT_EQ(local(ip(10, 8, 0, 0), kMask16), 1);
        EXPECT_EQ(pthread_mutex_trylock(&internal_subnet_mutex), 0) << "still held";
        pthread_mutex_unlock(&internal_subnet_mutex);
    });
}

TEST_F(LocalSubnet, WithoutTheSegmentOnlyInterfacesCount) {
    net_dev(dev_line("mgt0"));
    ifaces_["mgt0"] = {ip(10, 1, 2, 3), kMask24};
    subnets({{ip(10, 8, 0, 0), kMask16, 1}});
    fake::state().faults.shm_create_fail = true;
    fake::in_fresh_process([&] {
        EXPECT_EQ(local(ip(10, 1, 2, 9), kMask24), 1);
        EXPECT_EQ(local(ip(10, 8, 0, 0), kMask16), 0);
    });
}

TEST_F(LocalSubnet, DamagedCountStaysInsideTheTable) {
    net_dev("");
    subnets({{ip(10, 8, 0, 0), kMask16, 1}});
    fake::in_fresh_process([&] {
        seg_.set_word(EK_BRD_CPE_VPN_SUBNETS_OFFSET, 0x7FFFFFFF);
        EXPECT_EQ(local(ip(255, 255, 255, 255), 0xFFFFFFFF), 0);
        seg_.set_word(EK_BRD_CPE_VPN_SUBNETS_OFFSET, 0x80000000);
        EXPECT_EQ(local(ip(10, 8, 0, 0), kMask16), 0);
    });
}

}  // namespace
