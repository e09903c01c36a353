// The scanner against a plain re-reading of "%31s %7s %31s %7s %31s %4s:%4s",
// unusable exactly when a word before the ids is cut.
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "usb_modem/lsusb_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line(reinterpret_cast<const char *>(data), size);
    const char *p = line.c_str();
    auto blank = [](char c) { return isspace(static_cast<unsigned char>(c)) != 0; };
    std::string words[7];
    const size_t widths[7] = {31, 7, 31, 7, 31, 4, 4};
    int conversions = 0;
    bool cut = false;
    for (int i = 0; i < 7; i++) {
        if (i == 6 && *p++ != ':') break;
        while (blank(*p)) p++;
        if (*p == '\0') {
            conversions = conversions == 0 ? -1 : conversions;
            break;
        }
        const char *start = p;
        while (*p != '\0' && !blank(*p) && static_cast<size_t>(p - start) < widths[i]) p++;
        words[i].assign(start, p);
        cut = cut || (i < 5 && !blank(*p));
        conversions++;
    }
    ek::usb::LsusbLine got = ek::usb::parse_lsusb_line(line.c_str());
    auto field = [](const char(&f)[8]) { return std::string(f, strnlen(f, sizeof f)); };
    if (got.conversions != conversions || got.usable() != (conversions == 7 && !cut) ||
        (conversions == 7 && (words[1] != field(got.bus) || words[3] != field(got.device) ||
                              words[5] != field(got.vendor) || words[6] != field(got.product)))) {
        abort();
    }
    return 0;
}
