// brdctl end to end: every family through the real executable, its exit
// statuses, its text and its JSON parsed back. The process runs in a private
// namespace, so the segments and /tmp/db are this test's own.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "ek_brd.h"

namespace {

using nlohmann::json;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
    json doc() const { return json::parse(out); }
};

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs `brdctl ARGS` through the shell (ARGS quoted by the caller), with
// optional environment assignments in front.
Result brdctl(const std::string &args, const std::string &env = "") {
    const std::string err_file = "/tmp/brdctl-test.stderr";
    std::string cmd = env + " " BRDCTL_EMULATOR " " BRDCTL_PATH " " + args + " 2>" + err_file;
    Result r;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
    r.err = read_file(err_file);
    return r;
}

void write_script(const std::string &path, const std::string &body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ASSERT_EQ(0, std::system(("chmod +x " + path).c_str()));
}

#define EXPECT_RUN(result, code) \
    EXPECT_EQ(code, (result).status) << "stdout: " << (result).out << "stderr: " << (result).err

class Brdctl : public ::testing::Test {};

TEST_F(Brdctl, UsageErrorsExitTwoWithOneLineAndTouchNothing) {
    auto snapshot = [] {
        return brdctl("--json nat list").out + brdctl("--json cpe get").out +
               brdctl("--json wanif list").out + brdctl("--json modem list").out;
    };
    const std::string before = snapshot();
    const struct {
        const char *args;
        const char *message;
    } cases[] = {
        {"nat save 200 nat1 2", "brdctl: nat save: id 200 is outside 1-128\n"},
        {"nat save 0 nat1 2", "brdctl: nat save: id 0 is outside 1-128\n"},
        {"nat name abc", "brdctl: nat name: id 'abc' is not a number\n"},
        {"nat save 1 nat1 two", "brdctl: nat save: type 'two' is not a number\n"},
        {"nat save 1 '' 2", "brdctl: nat save: name is empty\n"},
        {"nat save 1 aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa 2",
         "brdctl: nat save: name 'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa' is longer than 32 "
         "characters\n"},
        {"wanif owns-ip 10.1.2",
         "brdctl: wanif owns-ip: address '10.1.2' is not a dotted-quad "
         "IPv4 address\n"},
        {"wanif add eth0 --priority 10000",
         "brdctl: wanif add: priority 10000 is outside 0-9999\n"},
        {"wanif add eth0 --ip 300.1.1.1",
         "brdctl: wanif add: address '300.1.1.1' is not a "
         "dotted-quad IPv4 address\n"},
        {"wanif check-priority five",
         "brdctl: wanif check-priority: priority 'five' is not a "
         "number\n"},
        {"modem find 12345:1", nullptr},
        {"modem find 1a2b", nullptr},
        {"modem add-id m1 1a2b:g003", nullptr},
        {"modeswitch store 1a2b:", nullptr},
        {"modem store m1 1:1 1:2 1:3 1:4 1:5 1:6 1:7 1:8 1:9",
         "brdctl: modem store: a modem lists at most 8 USB ids\n"},
        {"subnet is-local 10.0.0.0/33",
         "brdctl: subnet is-local: prefix length 33 is outside "
         "0-32\n"},
        {"subnet is-local 10.0.0.0", nullptr},
        {"usb switch 1a2b:0003 '\"; touch /tmp/owned; \"'",
         "brdctl: usb switch: message must be hexadecimal digits only\n"},
        {"cpe set auth", nullptr},
        {"cpe set auth 4294967296",
         "brdctl: cpe set: value 4294967296 is outside "
         "-2147483648-2147483647\n"},
        {"cpe get colour", "brdctl: cpe get: field 'colour' is not save-report or auth\n"},
        {"nat", nullptr},
        {"nat bogus", nullptr},
        {"", nullptr},
        {"--json nat delete -1", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        Result r = brdctl(c.args);
        EXPECT_RUN(r, 2);
        EXPECT_EQ("", r.out);
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(0u, r.err.rfind("brdctl: ", 0)) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        if (c.message != nullptr) {
            EXPECT_EQ(c.message, r.err);
        }
    }
    EXPECT_EQ(before, snapshot());
    EXPECT_NE(0, std::system("test -e /tmp/owned"));
}

TEST_F(Brdctl, HelpForEverySubcommand) {
    for (const char *cmd :
         {"", "status", "cpe", "cpe set", "wanif", "wanif add", "nat", "nat save",
          "subnet is-local", "modem", "modem store", "modeswitch", "usb", "usb switch"}) {
        SCOPED_TRACE(cmd);
        Result r = brdctl(std::string(cmd) + " --help");
        EXPECT_RUN(r, 0);
        EXPECT_NE(std::string::npos, r.out.find("Usage:")) << r.out;
    }
}

TEST_F(Brdctl, CpeValuesRoundTripAndStatusSummarises) {
    EXPECT_RUN(brdctl("cpe set save-report 1"), 0);
    Result r = brdctl("cpe set auth -7");
    EXPECT_RUN(r, 0);
    EXPECT_EQ("-7\n", r.out);
    r = brdctl("cpe get auth");
    EXPECT_EQ("-7\n", r.out);
    r = brdctl("--json cpe get");
    EXPECT_RUN(r, 0);
    EXPECT_EQ((json{{"save_report", 1}, {"brd_auth", -7}}), r.doc());
    r = brdctl("cpe get");
    EXPECT_EQ("save-report 1\nauth -7\n", r.out);

    r = brdctl("status --json");  // --json after the subcommand too
    EXPECT_RUN(r, 0);
    json doc = r.doc();
    EXPECT_EQ((json{1, 0, 60}), doc["cpe_header"]);
    EXPECT_EQ(1, doc["save_report"]);
    EXPECT_EQ(-7, doc["brd_auth"]);
    for (const char *key :
         {"nat_policies", "wan_interfaces", "modem_configs", "modeswitch_records", "usb_device"}) {
        EXPECT_TRUE(doc.contains(key)) << key;
    }
    r = brdctl("status");
    EXPECT_NE(std::string::npos, r.out.find("brd auth")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("-7")) << r.out;
}

TEST_F(Brdctl, NatPolicies) {
    // Filling and clearing the table goes through the library in-process:
    // 128 runs of brdctl under an emulator would be slow.
    for (int id = 1; id <= EK_BRD_CPE_NAT_POLICY_MAX; ++id) ek_brd_cpe_shm_delete_nat_policy(id);
    Result r = brdctl("nat request-id");
    EXPECT_RUN(r, 0);
    EXPECT_EQ("1\n", r.out);
    EXPECT_RUN(brdctl("nat save 1 nat1 other"), 0);
    EXPECT_RUN(brdctl("nat save 2 vpn 1"), 0);
    EXPECT_RUN(brdctl("nat save 128 last -3"), 0);

    r = brdctl("--json nat list");
    EXPECT_RUN(r, 0);
    EXPECT_EQ((json{{{"id", 1}, {"name", "nat1"}, {"type", 2}},
                    {{"id", 2}, {"name", "vpn"}, {"type", 1}},
                    {{"id", 128}, {"name", "last"}, {"type", -3}}}),
              r.doc());
    r = brdctl("nat list");
    EXPECT_EQ(0u, r.out.find("ID   NAME  TYPE")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("2    vpn   1     tunnel")) << r.out;

    EXPECT_EQ("3\n", brdctl("nat request-id").out);
    EXPECT_EQ("2\n", brdctl("nat id vpn").out);
    r = brdctl("--json nat id nope");
    EXPECT_RUN(r, 1);
    EXPECT_TRUE(r.doc()["id"].is_null());
    EXPECT_EQ("vpn\n", brdctl("nat name 2").out);
    EXPECT_RUN(brdctl("nat name 3"), 1);

    EXPECT_RUN(brdctl("nat check vpn tunnel0"), 0);
    EXPECT_RUN(brdctl("nat check vpn eth0"), 1);
    EXPECT_RUN(brdctl("nat check nat1 eth0"), 0);
    EXPECT_RUN(brdctl("nat check last eth0"), 1);
    r = brdctl("--json nat check nat1 Tunnel0");
    EXPECT_EQ(true, r.doc()["valid"]);

    EXPECT_RUN(brdctl("nat delete 2"), 0);
    r = brdctl("--json nat delete 2");
    EXPECT_RUN(r, 1);
    EXPECT_EQ(false, r.doc()["deleted"]);
    EXPECT_EQ("2\n", brdctl("nat request-id").out);
    EXPECT_EQ(2, brdctl("--json status").doc()["nat_policies"]);

    for (int id = 1; id <= EK_BRD_CPE_NAT_POLICY_MAX; ++id) {
        ek_brd_cpe_shm_save_nat_policy(id, "p", 2);
    }
    r = brdctl("--json nat request-id");
    EXPECT_RUN(r, 1);
    EXPECT_TRUE(r.doc()["id"].is_null());
}

TEST_F(Brdctl, WanTable) {
    // A table nobody wrote yet reads as empty.
    Result r = brdctl("--json wanif list");
    EXPECT_RUN(r, 0);
    EXPECT_EQ(json::array(), r.doc());

    EXPECT_RUN(brdctl("wanif add eth0 --wan --active-default --priority 5 --ip 192.0.2.10"), 0);
    EXPECT_RUN(brdctl("wanif add ppp0 --wan --priority 6 --pppoe-eth-index 1"), 0);
    EXPECT_RUN(brdctl("wanif add tunnel0 --wan --priority 7"), 0);
    r = brdctl("--json wanif add usb0 --name usbnet0 --priority 0 --usbnet-status 3");
    EXPECT_RUN(r, 0);
    EXPECT_EQ("usbnet0", r.doc()["name"]);
    EXPECT_EQ("usb0", r.doc()["ifname"]);

    r = brdctl("--json wanif list");
    ASSERT_EQ(4u, r.doc().size()) << r.out;
    json eth0;
    for (const auto &e : r.doc()) {
        if (e["ifname"] == "eth0") eth0 = e;
    }
    EXPECT_EQ("192.0.2.10", eth0["ip"]);
    EXPECT_EQ(5, eth0["priority"]);
    EXPECT_EQ(true, eth0["active_default"]);
    EXPECT_EQ(false, eth0["pppoe"]);

    EXPECT_EQ("3\n", brdctl("wanif count").out);
    EXPECT_RUN(brdctl("wanif is-wan eth0"), 0);
    EXPECT_RUN(brdctl("wanif is-wan eth1"), 1);
    EXPECT_RUN(brdctl("wanif is-active-default eth0"), 0);
    EXPECT_RUN(brdctl("wanif is-active-default ppp0"), 1);
    EXPECT_RUN(brdctl("wanif owns-ip 192.0.2.10"), 0);
    r = brdctl("--json wanif owns-ip 192.0.2.11");
    EXPECT_RUN(r, 1);
    EXPECT_EQ(false, r.doc()["wan"]);

    r = brdctl("--json wanif pppoe-eth ppp0");
    EXPECT_RUN(r, 0);
    EXPECT_EQ(1, r.doc()["pppoe_eth_index"]);
    EXPECT_EQ("lo", r.doc()["pppoe_eth"]);  // index 1 is the namespace's loopback
    EXPECT_RUN(brdctl("wanif pppoe-eth eth0"), 1);

    r = brdctl("wanif check-priority 6");
    EXPECT_RUN(r, 1);
    EXPECT_EQ("Please use a different priority value since priority 6 is in already configured\n",
              r.out);
    EXPECT_RUN(brdctl("wanif check-priority 8"), 0);
    r = brdctl("--json wanif check-priority 8 --kind 45");
    EXPECT_RUN(r, 1);
    EXPECT_EQ(
        "Usbmode mode is primary-wan. Please change it to always-connected or on-demand first",
        r.doc()["reason"]);
    r = brdctl("wanif check-priority 10000");
    EXPECT_RUN(r, 1);
    EXPECT_EQ("WAN priority can only be a value within 1 - 9999\n", r.out);

    r = brdctl("--json wanif usbnet-status");
    EXPECT_RUN(r, 0);
    EXPECT_EQ(3, r.doc()["usbnet_status"]);

    // The configuration service's priority: ppp0 is asked by name, eth1
    // by kernel index, and this namespace has no eth1.
    EXPECT_RUN(brdctl("dcd set-priority ppp0 15"), 0);
    r = brdctl("--json wanif dcd-priority ppp0");
    EXPECT_RUN(r, 0);
    EXPECT_EQ(15, r.doc()["priority"]);
    EXPECT_RUN(brdctl("wanif dcd-priority eth1"), 1);
    r = brdctl("dcd set-priority tunnel0 3");
    EXPECT_RUN(r, 3);
    EXPECT_EQ(0u, r.err.find("brdctl: dcd set-priority: cannot set the priority of tunnel0"))
        << r.err;

    // remove finds a record by name or by interface name.
    EXPECT_RUN(brdctl("wanif remove usb0"), 0);
    EXPECT_RUN(brdctl("wanif usbnet-status"), 1);
    EXPECT_RUN(brdctl("wanif remove tunnel0"), 0);
    EXPECT_RUN(brdctl("wanif remove tunnel0"), 1);
    EXPECT_EQ(2u, brdctl("--json wanif list").doc().size());
    EXPECT_RUN(brdctl("wanif add eth0 --priority 9"), 0);  // replaces
    EXPECT_RUN(brdctl("wanif is-wan eth0"), 1);
}

TEST_F(Brdctl, LocalSubnet) {
    ASSERT_EQ(0, std::system("ip link add mgt0 type veth peer name mgt0p && "
                             "ip addr add 10.1.2.3/24 dev mgt0 && ip link set mgt0 up"));
    EXPECT_RUN(brdctl("subnet is-local 10.1.2.77/255.255.255.0"), 0);
    Result r = brdctl("--json subnet is-local 10.1.2.0/24");
    EXPECT_RUN(r, 0);
    EXPECT_EQ((json{{"address", "10.1.2.0"}, {"mask", "255.255.255.0"}, {"local", true}}), r.doc());
    r = brdctl("subnet is-local 10.1.0.0/16");
    EXPECT_RUN(r, 1);
    EXPECT_EQ("10.1.0.0/255.255.0.0 is not a local subnet\n", r.out);
}

TEST_F(Brdctl, ModemConfigurations) {
    Result r = brdctl("--json modem store m1 1a2b:3 0x1A2B:0004 1a2b:0003");
    EXPECT_RUN(r, 0);
    EXPECT_EQ((json{{"modem_id", "m1"}, {"usb_ids", {"1a2b:0003", "1a2b:0004"}}}), r.doc());
    EXPECT_RUN(brdctl("modem store m2 ffff:0001"), 0);
    EXPECT_EQ("2\n", brdctl("modem count").out);

    r = brdctl("modem get m1");
    EXPECT_RUN(r, 0);
    EXPECT_EQ("m1  1a2b:0003,1a2b:0004\n", r.out);
    EXPECT_RUN(brdctl("modem get m3"), 1);
    r = brdctl("--json modem find 1a2b:0004");
    EXPECT_RUN(r, 0);
    EXPECT_EQ("m1", r.doc()["modem_id"]);
    EXPECT_RUN(brdctl("modem find 1a2b:0005"), 1);

    EXPECT_RUN(brdctl("modem add-id m1 1111:2222"), 0);
    EXPECT_RUN(brdctl("modem remove-id m1 1a2b:0003"), 0);
    EXPECT_RUN(brdctl("modem remove-id m1 1a2b:0003"), 1);
    EXPECT_RUN(brdctl("modem add-id m9 1111:2222"), 1);
    r = brdctl("--json modem get m1");
    EXPECT_EQ((json{"1a2b:0004", "1111:2222"}), r.doc()["usb_ids"]);
    for (int i = 1; i <= 6; ++i) brdctl("modem add-id m1 2222:000" + std::to_string(i));
    r = brdctl("modem add-id m1 3333:0001");
    EXPECT_RUN(r, 3);
    EXPECT_EQ("brdctl: modem add-id: modem m1 already lists 8 USB ids\n", r.err);

    // store replaces the ids of an existing modem.
    EXPECT_RUN(brdctl("modem store m1 4444:0001"), 0);
    r = brdctl("--json modem list");
    EXPECT_RUN(r, 0);
    ASSERT_EQ(2u, r.doc().size());
    for (const auto &m : r.doc()) {
        if (m["modem_id"] == "m1") {
            EXPECT_EQ((json{"4444:0001"}), m["usb_ids"]);
        }
    }
    r = brdctl("modem list");
    EXPECT_EQ(0u, r.out.find("MODEM-ID  USB-IDS\n")) << r.out;

    EXPECT_RUN(brdctl("modem delete m1"), 0);
    EXPECT_RUN(brdctl("modem delete m1"), 1);
    EXPECT_EQ(1, brdctl("--json status").doc()["modem_configs"]);
}

TEST_F(Brdctl, ModeSwitchRecords) {
    EXPECT_RUN(brdctl("modeswitch store 1a2b:1f01"), 0);
    EXPECT_RUN(brdctl("modeswitch store 3c4d:2000"), 0);
    EXPECT_RUN(brdctl("modeswitch store 1a2b:1f01"), 0);
    Result r = brdctl("--json modeswitch list");
    EXPECT_RUN(r, 0);
    EXPECT_EQ(2u, r.doc().size());
    r = brdctl("modeswitch get 1a2b:1F01");
    EXPECT_RUN(r, 0);
    EXPECT_EQ("1a2b:1f01\n", r.out);
    EXPECT_RUN(brdctl("modeswitch delete 1a2b:1f01"), 0);
    EXPECT_RUN(brdctl("modeswitch delete 1a2b:1f01"), 1);
    EXPECT_RUN(brdctl("modeswitch get 1a2b:1f01"), 1);
    EXPECT_EQ(1, brdctl("--json status").doc()["modeswitch_records"]);
}

TEST_F(Brdctl, UsbBusThroughTheShellCommands) {
    ASSERT_EQ(0, std::system("mkdir -p /tmp/fakebin"));
    const std::string path = "PATH=/tmp/fakebin:$PATH";
    // lsusb's stderr reaches the caller's stdout ("2>&1 >"): it must not
    // end up in brdctl's output.
    write_script("/tmp/fakebin/lsusb",
                 "echo 'lsusb: noise' >&2\n"
                 "echo 'Bus 001 Device 001: ID 1d6b:0002 root hub'\n"
                 "[ -e /tmp/fakebin/modem ] && echo 'Bus 001 Device 004: ID 1a2b:1446 modem'\n"
                 "exit 0\n");
    write_script("/tmp/fakebin/usb_modeswitch",
                 "echo \"$*\" > /tmp/fakebin/switched\n"
                 "echo 'usb_modeswitch: chatter'\n"
                 "[ ! -e /tmp/fakebin/fail ]\n");

    Result r = brdctl("--json usb probe", path);
    EXPECT_RUN(r, 1);
    EXPECT_EQ((json{{"attached", false}, {"usb_id", nullptr}}), r.doc());
    EXPECT_EQ("", r.err);
    r = brdctl("usb switch 1a2b:1446 55534243", path);
    EXPECT_RUN(r, 3);
    EXPECT_EQ("brdctl: usb switch: no USB device attached\n", r.err);

    ASSERT_EQ(0, std::system("touch /tmp/fakebin/modem"));
    r = brdctl("--json usb probe", path);
    EXPECT_RUN(r, 0);
    EXPECT_EQ((json{{"attached", true}, {"usb_id", "1a2b:1446"}}), r.doc());
    EXPECT_EQ("1a2b:1446\n", brdctl("usb probe", path).out);

    r = brdctl("--json usb switch 1a2b:1446 55534243", path);
    EXPECT_RUN(r, 0);
    EXPECT_EQ(true, r.doc()["switched"]);
    EXPECT_EQ("-Q -v 0x1a2b -p 0x1446 -M 55534243\n", read_file("/tmp/fakebin/switched"));

    ASSERT_EQ(0, std::system("touch /tmp/fakebin/fail"));
    r = brdctl("usb switch 1a2b:1446 55534243", path);
    EXPECT_RUN(r, 3);
    EXPECT_EQ("brdctl: usb switch: usb_modeswitch failed for 1a2b:1446\n", r.err);
    EXPECT_EQ("", r.out);

    r = brdctl("--json usb tty-count");
    EXPECT_RUN(r, 0);
    EXPECT_GE(r.doc()["count"].get<int>(), 0);
}

}  // namespace
