// The lsusb line scanner: fields of normal lines, and bounded reads of
// lines no lsusb would print.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "usb_modem/lsusb_line.h"

namespace {

using ek::usb::parse_lsusb_line;

TEST(LsusbLine, NormalLineFillsEveryField) {
    auto l = parse_lsusb_line("Bus 002 Device 003: ID 0abc:0def Some Modem Inc.\n");
    EXPECT_TRUE(l.usable());
    EXPECT_STREQ(l.bus, "002");
    EXPECT_STREQ(l.device, "003:");
    EXPECT_STREQ(l.vendor, "0abc");
    EXPECT_STREQ(l.product, "0def");

    // No description, leading blanks and tabs between words are all fine.
    l = parse_lsusb_line("  Bus\t001 Device 001: ID 1d6b:0002");
    EXPECT_TRUE(l.usable());
    EXPECT_STREQ(l.bus, "001");
    EXPECT_STREQ(l.product, "0002");
}

TEST(LsusbLine, IdWordsFollowTheListingsRule) {
    // A 5-character vendor word leaves the colon unmatched.
    auto l = parse_lsusb_line("Bus 002 Device 003: ID 0abcd:0def x\n");
    EXPECT_EQ(l.conversions, 6);
    EXPECT_FALSE(l.usable());

    // A longer product word is cut to its first 4 characters.
    l = parse_lsusb_line("Bus 002 Device 003: ID 12d1:14dc99 x\n");
    EXPECT_TRUE(l.usable());
    EXPECT_STREQ(l.product, "14dc");

    // A short vendor word swallows the colon and the line does not match.
    EXPECT_FALSE(parse_lsusb_line("Bus 002 Device 003: ID ab:cdef\n").usable());
}

TEST(LsusbLine, ShortOrEmptyLinesAreUnusable) {
    for (const char *line : {"", "\n", "   \n", "Bus 002 Device 003: ID\n",
                             "Bus 002 Device 003: ID 0abc\n", "Bus 002 Device 003: ID 0abc:\n"}) {
        SCOPED_TRACE(line);
        EXPECT_FALSE(parse_lsusb_line(line).usable());
    }
}

TEST(LsusbLine, WordsThatExactlyFitAreKept) {
    std::string scratch(31, 'S');
    std::string line = scratch + " 0000002 " + scratch + " 000003: " + scratch + " 0abc:0def\n";
    auto l = parse_lsusb_line(line.c_str());
    EXPECT_TRUE(l.usable());
    EXPECT_STREQ(l.bus, "0000002");
    EXPECT_STREQ(l.device, "000003:");
}

TEST(LsusbLine, OverlongWordsMakeTheLineUnusableAndStayInTheirFields) {
    const std::string s32(32, 'S');
    const std::string huge(4000, '9');
    const std::string lines[] = {
        "Bus 00200000 Device 003: ID 0abc:0def\n",      // bus word of 8
        "Bus 002000000 Device 003: ID 0abc:0def\n",     // would shift into the fields
        "Bus 002 Device 0030000: ID 0abc:0def\n",       // device word of 8
        s32 + " 002 Device 003: ID 0abc:0def\n",        // first word
        "Bus 002 " + s32 + " 003: ID 0abc:0def\n",      // third word
        "Bus 002 Device 003: " + s32 + " 0abc:0def\n",  // fifth word
        "Bus " + huge + " Device 003: ID 0abc:0def\n",
        huge + " " + huge + " " + huge + " " + huge + " " + huge + " " + huge + ":" + huge,
        "Bus 002 Device 003: ID " + huge + ":" + huge,
    };
    for (const std::string &line : lines) {
        SCOPED_TRACE(line.substr(0, 60));
        auto l = parse_lsusb_line(line.c_str());
        EXPECT_FALSE(l.usable());
        for (const char *field : {l.bus, l.device, l.vendor, l.product})
            EXPECT_LT(strnlen(field, 8), 8u);
    }
}

TEST(LsusbLine, SplitWordWouldOtherwiseAcceptAnUnlistedDevice) {
    // Split after 7 characters, the bus word would shift every later word:
    // bus "0020000", device "Dev", ids 0abc:0def. The line is refused instead.
    auto l = parse_lsusb_line("Bus 002000001 Dev 003: 0abc:0def ID 1111:2222\n");
    EXPECT_FALSE(l.usable());
    EXPECT_TRUE(l.cut);
}

}  // namespace
