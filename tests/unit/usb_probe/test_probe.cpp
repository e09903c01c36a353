// The USB probe, the mode switch and the serial device count against a fake
// shell that writes canned command output into the command's redirect
// target.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ek_brd.h"
#include "fake_platform.h"
#include "fake_shell.h"

namespace {

using fake::Channel;
using fake_shell::install;
using fake_shell::redirect_target;
using fake_shell::temp_files;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

const std::string kProbe = "ek_brd_lib_usb_modem_get_attached_dev";
const std::string kCount = "ek_brd_lib_usb_modem_get_ttydev_count";
const std::string kCountCmd = "ls /sys/class/tty | grep -E \"ttyACM|ttyUSB\" | wc -l > ";

const char kRootHub[] = "Bus 001 Device 001: ID 1d6b:0002 Linux Foundation 2.0 root hub\n";

std::vector<std::string> errors() {
    return fake::texts(Channel::ek_err);
}

std::vector<std::string> commands() {
    return fake::state().commands;
}

class UsbProbe : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        for (const std::string &f : temp_files()) std::filesystem::remove(f);
    }

    int probe(const std::string &listing) {
        install({listing});
        return ek_brd_lib_usb_modem_get_attached_dev(&vid, &pid);
    }

    uint16_t vid = 0xaaaa;  // untouched unless a device is accepted
    uint16_t pid = 0xbbbb;
};

// ------------------------------------------------------------------- probe

TEST_F(UsbProbe, RootHubOfBusOneAloneIsNoDevice) {
    EXPECT_EQ(probe(kRootHub), 0);
    EXPECT_EQ(vid, 0xaaaa);
    EXPECT_EQ(pid, 0xbbbb);
    ASSERT_EQ(commands().size(), 1u);
    std::string path = redirect_target(commands()[0]);
    EXPECT_THAT(path, MatchesRegex("/tmp/ek_brd_lib_usb_modem_get_attached_dev\\.[A-Za-z0-9]{6}"));
    EXPECT_EQ(commands()[0], "lsusb 2>&1 > " + path);
    EXPECT_THAT(temp_files(), IsEmpty());
    EXPECT_THAT(errors(), IsEmpty());
}

TEST_F(UsbProbe, KnownHubsCountAsAttachedButLeaveIdsUntouched) {
    EXPECT_EQ(probe(std::string(kRootHub) + "Bus 002 Device 001: ID 1d6b:0002 hub\n" +
                    "Bus 001 Device 002: ID 05e3:0608 Genesys hub\n"),
              1);
    EXPECT_EQ(vid, 0xaaaa);
    EXPECT_EQ(pid, 0xbbbb);
}

TEST_F(UsbProbe, DeviceOneOfAnotherBusIsAccepted) {
    EXPECT_EQ(probe("Bus 002 Device 001: ID 1d6b:0003 Linux Foundation 3.0 root hub\n"), 1);
    EXPECT_EQ(vid, 0x1d6b);
    EXPECT_EQ(pid, 0x0003);
}

TEST_F(UsbProbe, FirstAcceptedLineWins) {
    // A description longer than the 512-byte buffer makes getline grow it.
    std::string listing = std::string(kRootHub) + "Bus 001 Device 002: ID 05e3:0608 " +
                          std::string(2000, 'd') + "\n" +
                          "Bus 001 Device 003: ID 12d1:1446 modem\n" +
                          "Bus 001 Device 004: ID 19d2:0031 another modem\n";
    EXPECT_EQ(probe(listing), 1);
    EXPECT_EQ(vid, 0x12d1);
    EXPECT_EQ(pid, 0x1446);
    EXPECT_THAT(temp_files(), IsEmpty());
}

TEST_F(UsbProbe, MalformedLinesAreSkippedAndLongProductsCut) {
    EXPECT_EQ(probe("Bus 001 Device 003: ID 12d1f:1446 five-character vendor\n"
                    "Bus 002000001 Dev 003: 0abc:0def split bus word\n"),
              0);
    EXPECT_EQ(vid, 0xaaaa);

    EXPECT_EQ(probe("Bus 001 Device 003: ID 12d1f:1446 five-character vendor\n"
                    "Bus 001 Device 004: ID 19d2:003199 long product\n"),
              1);
    EXPECT_EQ(vid, 0x19d2);
    EXPECT_EQ(pid, 0x0031);
}

TEST_F(UsbProbe, UnstartableLsusbIsNoDeviceAndTheFileIsRemoved) {
    install({"", 127});
    EXPECT_EQ(ek_brd_lib_usb_modem_get_attached_dev(&vid, &pid), 0);
    EXPECT_EQ(vid, 0xaaaa);
    EXPECT_THAT(temp_files(), IsEmpty());
    EXPECT_THAT(errors(), IsEmpty());
}

TEST_F(UsbProbe, ShellThatCannotRunLeavesTheFile) {
    fake::state().system = [](const char *) { return -1; };
    EXPECT_EQ(ek_brd_lib_usb_modem_get_attached_dev(&vid, &pid), 0);
    ASSERT_EQ(commands().size(), 1u);
    std::string path = redirect_target(commands()[0]);
    EXPECT_THAT(errors(), ElementsAre(kProbe + ": Failed to run cmd [lsusb 2>&1 > " + path + "]"));
    EXPECT_THAT(temp_files(), ElementsAre(path));
    auto logs = fake::logs(Channel::ek_err);
    EXPECT_EQ(logs[0].tag, " ");
    EXPECT_GT(logs[0].line, 0);
}

TEST_F(UsbProbe, ResourceFailuresAreLoggedWithTheProbesName) {
    install({"Bus 001 Device 003: ID 12d1:1446 modem\n"});

    fake::arm_malloc(0);
    EXPECT_EQ(ek_brd_lib_usb_modem_get_attached_dev(&vid, &pid), 0);
    fake::disarm_malloc();
    EXPECT_THAT(errors(), ElementsAre("malloc failed"));
    EXPECT_EQ(fake::state().calls.systems, 0);
    fake::state().logs.clear();

    fake::state().faults.mkstemp_fail = true;
    EXPECT_EQ(ek_brd_lib_usb_modem_get_attached_dev(&vid, &pid), 0);
    EXPECT_THAT(errors(),
                ElementsAre(kProbe + ": Failed to create temp file "
                                     "[/tmp/ek_brd_lib_usb_modem_get_attached_dev.XXXXXX]"));
    EXPECT_EQ(fake::state().calls.systems, 0);
    EXPECT_THAT(temp_files(), IsEmpty());
    fake::state().faults.mkstemp_fail = false;
    fake::state().logs.clear();

    fake::state().faults.fopen_fail = true;
    EXPECT_EQ(ek_brd_lib_usb_modem_get_attached_dev(&vid, &pid), 0);
    std::string path = redirect_target(commands().back());
    EXPECT_THAT(errors(), ElementsAre(kProbe + ": Unable to open temp file [" + path + "]"));
    EXPECT_THAT(temp_files(), ElementsAre(path));
    EXPECT_EQ(vid, 0xaaaa);
}

TEST_F(UsbProbe, UnlinkFailureIsLoggedAndTheAnswerKept) {
    fake::state().faults.unlink_result = -1;
    EXPECT_EQ(probe("Bus 001 Device 003: ID 12d1:1446 modem\n"), 1);
    EXPECT_EQ(vid, 0x12d1);
    std::string path = redirect_target(commands()[0]);
    EXPECT_THAT(errors(),
                ElementsAre(kProbe + ": Unable to remove temp file [" + path + "]: rc=-1"));
}

// ------------------------------------------------------------- tty count

TEST_F(UsbProbe, CountReadsTheFirstNumber) {
    install({"3\n"});
    EXPECT_EQ(ek_brd_lib_usb_modem_get_ttydev_count(), 3);
    ASSERT_EQ(commands().size(), 1u);
    std::string path = redirect_target(commands()[0]);
    EXPECT_THAT(path, MatchesRegex("/tmp/ek_brd_lib_usb_modem_get_ttydev_count\\.[A-Za-z0-9]{6}"));
    EXPECT_EQ(commands()[0], kCountCmd + path);
    EXPECT_THAT(temp_files(), IsEmpty());

    install({"      7 padded\n4\n"});
    EXPECT_EQ(ek_brd_lib_usb_modem_get_ttydev_count(), 7);
    install({"0\n"});
    EXPECT_EQ(ek_brd_lib_usb_modem_get_ttydev_count(), 0);
    EXPECT_THAT(errors(), IsEmpty());
}

TEST_F(UsbProbe, EmptyCountOutputIsMinusOne) {
    install({""});
    EXPECT_EQ(ek_brd_lib_usb_modem_get_ttydev_count(), -1);
    EXPECT_THAT(temp_files(), IsEmpty());
    EXPECT_THAT(errors(), IsEmpty());
}

TEST_F(UsbProbe, CountFailuresAreLoggedWithTheCountersName) {
    fake::arm_malloc(0);
    EXPECT_EQ(ek_brd_lib_usb_modem_get_ttydev_count(), -1);
    fake::disarm_malloc();
    EXPECT_THAT(errors(), ElementsAre("malloc failed"));
    fake::state().logs.clear();

    fake::state().faults.mkstemp_fail = true;
    EXPECT_EQ(ek_brd_lib_usb_modem_get_ttydev_count(), -1);
    EXPECT_THAT(errors(),
                ElementsAre(kCount + ": Failed to create temp file "
                                     "[/tmp/ek_brd_lib_usb_modem_get_ttydev_count.XXXXXX]"));
    fake::state().faults.mkstemp_fail = false;
    fake::state().logs.clear();

    fake::state().system = [](const char *) { return -1; };
    EXPECT_EQ(ek_brd_lib_usb_modem_get_ttydev_count(), -1);
    std::string path = redirect_target(commands().back());
    EXPECT_THAT(errors(), ElementsAre(kCount + ": Failed to run cmd [" + kCountCmd + path + "]"));
    EXPECT_THAT(temp_files(), ElementsAre(path));
    std::filesystem::remove(path);
    fake::state().logs.clear();

    install({"2\n"});
    fake::state().faults.unlink_result = 1;
    EXPECT_EQ(ek_brd_lib_usb_modem_get_ttydev_count(), 2);
    path = redirect_target(commands().back());
    EXPECT_THAT(errors(),
                ElementsAre(kCount + ": Unable to remove temp file [" + path + "]: rc=1"));
}

// ------------------------------------------------------------ mode switch

TEST_F(UsbProbe, ModeSwitchNeedsAnAttachedDevice) {
    install({kRootHub});
    EXPECT_EQ(ek_brd_lib_usb_modem_modeswitch(0x12d1, 0x1446, "55534243"), -1);
    EXPECT_THAT(errors(), ElementsAre("usb_modem: failed to switch mode, no usb device attach."));
    EXPECT_EQ(commands().size(), 1u);
}

TEST_F(UsbProbe, ModeSwitchRunsWithTheCallersIds) {
    install({"Bus 001 Device 003: ID 12d1:1446 modem in storage mode\n"});
    EXPECT_EQ(ek_brd_lib_usb_modem_modeswitch(0x19d2, 0x2000, "5553424312345678"), 0);
    ASSERT_EQ(commands().size(), 2u);
    EXPECT_EQ(commands()[1], "usb_modeswitch -Q -v 0x19d2 -p 0x2000 -M \"5553424312345678\"");
    EXPECT_THAT(errors(), IsEmpty());
    EXPECT_THAT(temp_files(), IsEmpty());

    // Only hubs attached still counts; ids print without leading zeros.
    install({std::string(kRootHub) + "Bus 001 Device 002: ID 05e3:0608 hub\n"});
    EXPECT_EQ(ek_brd_lib_usb_modem_modeswitch(0x5e3, 0x8, "m"), 0);
    EXPECT_EQ(commands().back(), "usb_modeswitch -Q -v 0x5e3 -p 0x8 -M \"m\"");
}

TEST_F(UsbProbe, ModeSwitchFailureStatusIsLogged) {
    const std::string cmd = "usb_modeswitch -Q -v 0x12d1 -p 0x1446 -M \"55\"";
    for (int32_t status : {1, -1, 256}) {
        SCOPED_TRACE(status);
        fake::reset();
        install({"Bus 001 Device 003: ID 12d1:1446 modem\n", 0, status});
        EXPECT_EQ(ek_brd_lib_usb_modem_modeswitch(0x12d1, 0x1446, "55"), -1);
        EXPECT_THAT(errors(), ElementsAre("usb_modem: Got error " + std::to_string(status) +
                                          " running usb_modeswitch: " + cmd));
    }
}

TEST_F(UsbProbe, HostileMessagesNeverReachTheShell) {
    for (const std::string &bad :
         std::vector<std::string>{"\"", "\\", "$", "`", "\n", "\r", "\t", std::string(1, '\x01'),
                                  std::string(1, '\x1f'), std::string(1, '\x7f')}) {
        SCOPED_TRACE(testing::PrintToString(bad));
        fake::reset();
        install({"Bus 001 Device 003: ID 12d1:1446 modem\n"});
        std::string message = "5553424312345678" + bad + "; reboot";
        EXPECT_EQ(ek_brd_lib_usb_modem_modeswitch(0x12d1, 0x1446, message.c_str()), -1);
        EXPECT_EQ(fake::state().calls.systems, 0);
        EXPECT_THAT(errors(), ElementsAre("usb_modem: refusing unsafe mode switch message"));
    }
}

TEST_F(UsbProbe, OtherMessagesLandUnchangedAndLongCommandsAreCut) {
    install({"Bus 001 Device 003: ID 12d1:1446 modem\n"});
    const std::string harmless = "it's ;|&<>*?!~#(){}[]% \xc3\xa9";
    EXPECT_EQ(ek_brd_lib_usb_modem_modeswitch(0x12d1, 0x1446, harmless.c_str()), 0);
    EXPECT_EQ(commands().back(), "usb_modeswitch -Q -v 0x12d1 -p 0x1446 -M \"" + harmless + "\"");

    const std::string long_message(400, 'a');
    EXPECT_EQ(ek_brd_lib_usb_modem_modeswitch(0x12d1, 0x1446, long_message.c_str()), 0);
    std::string full = "usb_modeswitch -Q -v 0x12d1 -p 0x1446 -M \"" + long_message + "\"";
    EXPECT_EQ(commands().back(), full.substr(0, 320));
}

}  // namespace
