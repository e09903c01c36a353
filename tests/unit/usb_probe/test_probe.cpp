// USB probing and mode switching against a fake shell. Their command lines,
// failure paths and the tty count are rows of tests/unit/reliability.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "ek_brd.h"
#include "fake_platform.h"
#include "fake_shell.h"

namespace {

const std::string kRootHub = "Bus 001 Device 001: ID 1d6b:0002 Linux Foundation 2.0 root hub\n";
const std::string kHubs = "Bus 002 Device 001: ID 1d6b:0002\nBus 001 Device 002: ID 05e3:0608\n";
// Longer than getline's first buffer of 512 bytes.
const std::string kLong = "Bus 001 Device 003: ID 12d1:1446 " + std::string(2000, 'd') + "\n";
const std::string k31(31, 'S'), k32(32, 'S');

void expect_clean() {
    EXPECT_TRUE(fake_shell::temp_files().empty());
    EXPECT_TRUE(fake::texts(fake::Channel::ek_err).empty());
}

struct ProbeRow {
    fake_shell::Shell shell;
    int attached;
    uint16_t vid = 0xaaaa, pid = 0xbbbb;  // the caller's values stay unless a device is taken
};

TEST(UsbProbe, ListingsGiveAttachedAndTheFirstDeviceThatIsNotAHub) {
    const std::string bad_ids = "Bus 001 Device 003: ID 12d1f:1446 five-character vendor\n";
    const ProbeRow rows[] = {
        {{kRootHub}, 0},
        {{kRootHub + kHubs}, 1},
        {{"Bus 002 Device 001: ID 1d6b:0003 3.0 root hub\n"}, 1, 0x1d6b, 0x0003},
        {{kRootHub + kHubs + kLong + "Bus 001 Device 004: ID 19d2:0031\n"}, 1, 0x12d1, 0x1446},
        {{bad_ids + "Bus 001 Device 004: ID 19d2:003199 long product\n", 1}, 1, 0x19d2, 0x0031},
        {{"  Bus\t002 Device 003: ID 12d1:1446", 127}, 1, 0x12d1, 0x1446},
        {{k31 + " 0000002 " + k31 + " 000003: " + k31 + " 0abc:0def\n"}, 1, 0x0abc, 0x0def},
        // Too few words, ids not split at the colon, and words longer than
        // their fields, which would shift later words onto the wrong fields.
        {{bad_ids + "\n   \nBus 002 Device 003: ID 0abc:\nBus 002 Device 003: ID ab:cdef\n" + k32 +
          " 002 Device 003: ID 0abc:0def\nBus 002000001 Dev 003: 0abc:0def ID 1111:2222\n"},
         0},
    };
    for (const ProbeRow &row : rows) {
        SCOPED_TRACE(row.shell.output.substr(0, 80));
        fake::reset();
        fake_shell::install(row.shell);
        uint16_t vid = 0xaaaa, pid = 0xbbbb;
        EXPECT_EQ(ek_brd_lib_usb_modem_get_attached_dev(&vid, &pid), row.attached);
        EXPECT_EQ(vid, row.vid);
        EXPECT_EQ(pid, row.pid);
        expect_clean();
    }
}

// A message the shell could still interpret between the double quotes is
// refused before anything runs (the failure row has its log line); every
// other one lands unchanged, and the whole command is cut to 320 characters.
TEST(UsbProbe, ModeSwitchMessagesAreRefusedOrRunUnchanged) {
    const std::string head = "usb_modeswitch -Q -v 0x12d1 -p 0x1446 -M \"";
    const std::string harmless = "it's ;|&<>*?!~#(){}[]% \xc3\xa9";
    // the ids and the message, and the command run; none when it is refused
    std::vector<std::tuple<uint16_t, uint16_t, std::string, std::string>> rows = {
        {0x5e3, 0x8, "m", "usb_modeswitch -Q -v 0x5e3 -p 0x8 -M \"m\""},
        {0x12d1, 0x1446, harmless, head + harmless + "\""},
        {0x12d1, 0x1446, std::string(400, 'a'), (head + std::string(400, 'a')).substr(0, 320)},
    };
    for (const char *bad : {"\"", "\\", "$", "`", "\n", "\r", "\t", "\x01", "\x1f", "\x7f"})
        rows.emplace_back(0x12d1, 0x1446, std::string("55534243") + bad + "; reboot", "");
    for (const auto &[vid, pid, message, command] : rows) {
        SCOPED_TRACE(::testing::PrintToString(message));
        fake::reset();
        fake_shell::install({kRootHub + "Bus 001 Device 003: ID 12d1:1446 storage\n"});
        EXPECT_EQ(ek_brd_lib_usb_modem_modeswitch(vid, pid, message.c_str()),
                  command.empty() ? -1 : 0);
        if (command.empty()) {
            EXPECT_EQ(fake::state().calls.systems, 0);
        } else {
            ASSERT_EQ(fake::state().commands.size(), 2u);
            EXPECT_EQ(fake::state().commands.back(), command);
            expect_clean();
        }
    }
}

}  // namespace
