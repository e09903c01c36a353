// Shell, logging, interface addresses, name classes and the mode
// configurations of the device configuration service.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <string>

#include "child.h"
#include "ek_host.h"
#include "platform/ek_db.h"
#include "platform/ek_platform.h"

namespace {

std::string slurp(const char *path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(HostSystem, ResultsFollowTheShellsExitStatus) {
    EXPECT_EQ(ek_system("true"), 0);
    EXPECT_EQ(ek_system("exit 3"), 3);
    EXPECT_EQ(ek_system("kill -9 $$"), 128 + 9);
    EXPECT_NE(ek_system("/nonexistent/command"), 0);
    EXPECT_EQ(ek_system(nullptr), -1);
}

TEST(HostSystem, RunsPipesRedirectionsAndQuotes) {
    ASSERT_EQ(ek_system("printf '%s' \"a b\" | tr a A > /tmp/sys_out 2>/dev/null"), 0);
    EXPECT_EQ(slurp("/tmp/sys_out"), "A b");
}

TEST(HostFormat, SprintfWritesTheWholeText) {
    char buf[64];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(ek_sprintf(buf, "%s/%04x", "/tmp/db", 0x2a), 12);
    EXPECT_STREQ(buf, "/tmp/db/002a");
}

// Runs the logging calls in a child whose stderr is a file.
std::string logged_to_stderr(bool enabled) {
    const char *path = "/tmp/stderr_capture";
    pid_t child = hosttest::spawn([&] {
        int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) return 1;
        if (enabled) {
            setenv("EK_LOG_STDERR", "1", 1);
        } else {
            unsetenv("EK_LOG_STDERR");
        }
        __ek_err(" ", 123, "usb_modem: store [key=%s] failed!\n", "12d10003");
        ek_log(7, "probe %d", 4);
        return 0;
    });
    EXPECT_EQ(hosttest::wait_child(child), 0);
    return slurp(path);
}

TEST(HostLog, ErrorsCarryTheSourceLineAndReachStderrOnRequest) {
    EXPECT_EQ(logged_to_stderr(true),
              "line 123: usb_modem: store [key=12d10003] failed!\nprobe 4\n");
    EXPECT_EQ(logged_to_stderr(false), "");
}

TEST(HostIfname, ClassesArePrefixAndDigits) {
    struct Case {
        const char *name;
        int eth, p, usbnet_ppp, usb;
    } cases[] = {
        {"eth0", 1, 0, 0, 0},  {"eth12", 1, 0, 0, 0},
        {"p1", 0, 1, 0, 0},    {"usbnet0", 0, 0, 1, 0},
        {"ppp3", 0, 0, 1, 0},  {"usb0", 0, 0, 0, 1},
        {"eth", 0, 0, 0, 0},   {"eth0.5", 0, 0, 0, 0},
        {"eth0p", 0, 0, 0, 0}, {"mgt0", 0, 0, 0, 0},
        {"ppp", 0, 0, 0, 0},   {"usbnet", 0, 0, 0, 0},
        {"", 0, 0, 0, 0},      {"eth0123456789012", 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ek_is_eth_ifname(c.name) != 0, c.eth != 0);
        EXPECT_EQ(ek_is_p_ifname(c.name) != 0, c.p != 0);
        EXPECT_EQ(ek_is_usbnet_ppp_ifname(c.name) != 0, c.usbnet_ppp != 0);
        EXPECT_EQ(ek_is_usb_ifname(c.name) != 0, c.usb != 0);
    }
    EXPECT_EQ(ek_is_eth_ifname(nullptr), 0);
}

class HostNet : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ok_ = ek_system(
                  "ip link add mgt0 type veth peer name mgt0p && "
                  "ip addr add 10.1.2.3/24 dev mgt0 && ip link set mgt0 up && "
                  "ip link add eth0 type veth peer name eth0p") == 0;
    }
    void SetUp() override {
        if (!ok_) GTEST_SKIP() << "cannot create interfaces in this namespace";
    }
    static bool ok_;
};
bool HostNet::ok_ = false;

TEST_F(HostNet, AddressAndMaskInNetworkOrder) {
    uint32_t addr = 0, mask = 0;
    ASSERT_EQ(ek_dcd_get_addr_byname("mgt0", &addr, &mask), 0);
    EXPECT_EQ(addr, inet_addr("10.1.2.3"));
    EXPECT_EQ(mask, inet_addr("255.255.255.0"));
}

TEST_F(HostNet, InterfaceWithoutAddressOrUnknownFails) {
    uint32_t addr = 7, mask = 7;
    EXPECT_NE(ek_dcd_get_addr_byname("mgt0p", &addr, &mask), 0);
    EXPECT_NE(ek_dcd_get_addr_byname("nosuch0", &addr, &mask), 0);
    EXPECT_NE(ek_dcd_get_addr_byname("a_name_too_long_for_ifr", &addr, &mask), 0);
    EXPECT_NE(ek_dcd_get_addr_byname(nullptr, &addr, &mask), 0);
    EXPECT_EQ(addr, 7u);
    EXPECT_EQ(mask, 7u);
}

int32_t word_at(const unsigned char *cfg, size_t offset) {
    int32_t v;
    memcpy(&v, cfg + offset, sizeof v);
    return v;
}

TEST_F(HostNet, EthernetPriorityIsFoundByKernelIndex) {
    unsigned char cfg[80];
    unsigned idx = if_nametoindex("eth0");
    ASSERT_NE(idx, 0u);
    EXPECT_LT(ek_dcd_get_eth_mode_cfg(idx, cfg), 0) << "nothing configured yet";
    ASSERT_EQ(ek_host_dcd_set_wan_priority("eth0", 7), 0);
    ASSERT_EQ(ek_dcd_get_eth_mode_cfg(idx, cfg), 0);
    EXPECT_EQ(word_at(cfg, 12), 7);
    ASSERT_EQ(ek_host_dcd_set_wan_priority("eth0", 9), 0);
    ASSERT_EQ(ek_dcd_get_eth_mode_cfg(idx, cfg), 0);
    EXPECT_EQ(word_at(cfg, 12), 9);
    EXPECT_LT(ek_dcd_get_eth_mode_cfg(0, cfg), 0);
}

TEST(HostDcd, UsbnetPriorityIsFoundByName) {
    unsigned char cfg[96];
    ASSERT_EQ(ek_host_dcd_set_wan_priority("usbnet0", 3), 0);
    ASSERT_EQ(ek_dcd_get_usbnet_mode_cfg("usbnet0", cfg), 0);
    EXPECT_EQ(word_at(cfg, 20), 3);
    EXPECT_LT(ek_dcd_get_usbnet_mode_cfg("ppp0", cfg), 0);
    EXPECT_EQ(ek_host_dcd_set_wan_priority("wlan0", 3), -1);
}

TEST(HostDcd, RecordOfTheWrongSizeIsNotAConfiguration) {
    ek_db_handle_t db = ek_db_open_ex(EK_HOST_DCD_USBNET_DB, EK_DB_MODE);
    ASSERT_NE(db, nullptr);
    unsigned char big[200] = {};
    ASSERT_EQ(ek_db_store(db, "usb1", 4, big, sizeof big), 0);
    ek_db_close(db);
    unsigned char cfg[96 + 8];
    memset(cfg, 0x5a, sizeof cfg);
    EXPECT_LT(ek_dcd_get_usbnet_mode_cfg("usb1", cfg), 0);
    EXPECT_EQ(cfg[96], 0x5a);
}

}  // namespace
