// USB probing and mode switching against a fake shell. Their command lines,
// failure paths and the tty count are rows of tests/unit/reliability.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_shell.h"

namespace {

const std::string kRootHub = "Bus 001 Device 001: ID 1d6b:0002 Linux Foundation 2.0 root hub\n";
const std::string kHubs = "Bus 002 Device 001: ID 1d6b:0002\nBus 001 Device 002: ID 05e3:0608\n";
// Longer than getline's first buffer of 512 bytes.
const std::string kLong = "Bus 001 Device 003: ID 12d1:1446 " + std::string(2000, 'd') + "\n";
const std::string k31(31, 'S'), k32(32, 'S');

struct ProbeRow {
    std::string listing;
    int attached;
    uint16_t vid = 0xaaaa, pid = 0xbbbb;  // the caller's values stay unless a device is taken
};

TEST(UsbProbe, ListingsGiveAttachedAndTheFirstDeviceThatIsNotAHub) {
    const ProbeRow rows[] = {
        {kRootHub + kHubs, 1},
        {kRootHub + kHubs + kLong + "Bus 001 Device 004: ID 19d2:0031\n", 1, 0x12d1, 0x1446},
        {k31 + " 0000002 " + k31 + " 000003: " + k31 + " 0abc:0def\n", 1, 0x0abc, 0x0def},
        // Too few words, ids not split at the colon, and words longer than
        // their fields, which would shift later words onto the wrong fields.
        {"Bus 001 Device 003: ID 12d1f:1446\n   \nBus 002 Device 003: ID 0abc:\n"
         "Bus 002 Device 003: ID ab:cdef\n" +
             k32 + " 002 Device 003: ID 0abc:0def\nBus 002000001 Dev 003: 0abc:0def ID 1111:2222\n",
         0},
    };
    for (const ProbeRow &row : rows) {
        SCOPED_TRACE(row.listing.substr(0, 80));
        fake::reset();
        fake_shell::install({row.listing});
        uint16_t vid = 0xaaaa, pid = 0xbbbb;
        EXPECT_EQ(ek_brd_lib_usb_modem_get_attached_dev(&vid, &pid), row.attached);
        EXPECT_EQ(vid, row.vid);
        EXPECT_EQ(pid, row.pid);
    }
}

// A message the shell could still interpret between the double quotes is
// refused before anything runs (the failure row has its log line); every
// other one lands unchanged, and the whole command is cut to 320 characters.
TEST(UsbProbe, ModeSwitchMessagesAreRefusedOrRunUnchanged) {
    const std::string head = "usb_modeswitch -Q -v 0x12d1 -p 0x1446 -M \"";
    const std::string harmless = "it's ;|&<>*?!~#(){}[]% \xc3\xa9";
    // the message, and the command run; none when it is refused
    std::vector<std::pair<std::string, std::string>> rows = {
        {harmless, head + harmless + "\""},
        {std::string(400, 'a'), (head + std::string(400, 'a')).substr(0, 320)},
    };
    for (const char *bad : {"\"", "\\", "$", "`", "\n", "\r", "\t", "\x01", "\x1f", "\x7f"})
        rows.emplace_back(std::string("55534243") + bad + "; reboot", "");
    for (const auto &[message, command] : rows) {
        SCOPED_TRACE(::testing::PrintToString(message));
        fake::reset();
        fake_shell::install({kRootHub + "Bus 001 Device 003: ID 12d1:1446 storage\n"});
        EXPECT_EQ(ek_brd_lib_usb_modem_modeswitch(0x12d1, 0x1446, message.c_str()),
                  command.empty() ? -1 : 0);
        const auto &commands = fake::state().commands;  // lsusb, then usb_modeswitch
        ASSERT_EQ(commands.size(), command.empty() ? 0u : 2u);
        EXPECT_EQ(commands.empty() ? std::string() : commands.back(), command);
    }
}

}  // namespace
