#include "usb_modem/lsusb_line.h"

#include <ctype.h>
#include <stdio.h>

namespace ek::usb {

LsusbLine parse_lsusb_line(const char *line) {
    LsusbLine out;
    char scratch[32];
    // Offset just past each word before the ids: a bounded %s stops there
    // either at the word's end (a blank follows) or inside a longer word.
    int end[5] = {};
    out.conversions =
        sscanf(line, "%31s%n %7s%n %31s%n %7s%n %31s%n %4s:%4s", scratch, &end[0], out.bus, &end[1],
               scratch, &end[2], out.device, &end[3], scratch, &end[4], out.vendor, out.product);
    if (out.conversions != 7) return out;
    for (int e : end) {
        if (isspace(static_cast<unsigned char>(line[e])) == 0) out.cut = true;
    }
    return out;
}

}  // namespace ek::usb
