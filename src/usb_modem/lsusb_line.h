// One line of the lsusb listing, scanned into fixed fields.
#pragma once

namespace ek::usb {

struct LsusbLine {
    int conversions = 0;  // sscanf's count: 7 when every word was found
    bool cut = false;     // a word before the ids was longer than its field
    char bus[8] = {};
    char device[8] = {};   // keeps the trailing colon, as in "003:"
    char vendor[8] = {};   // at most 4 characters
    char product[8] = {};  // at most 4 characters
    bool usable() const { return conversions == 7 && !cut; }
};

// Scans "Bus 002 Device 003: ID 0abc:0def description" as
// "%31s %7s %31s %7s %31s %4s:%4s" (the first, third and fifth word share a
// 32-byte scratch field). Every field is filled with a width bound, so no
// line, however long, writes outside them.
//
// A word before the ids that is longer than its field (31 characters for
// the scratch words, 7 for bus and device) makes the line unusable, just
// like a line with fewer than 7 words: splitting it would shift the later
// words onto the wrong fields and could accept a device the listing never
// named. The ids keep the listing's own rule: a vendor word of 5 or more
// characters leaves the colon unmatched (6 conversions, unusable), and a
// longer product word is cut to its first 4 characters.
LsusbLine parse_lsusb_line(const char *line);

}  // namespace ek::usb
