// The lsusb line scanner against a plain re-reading of its format: the
// same conversion count, the same fields, and an unusable line exactly
// when a word before the ids overflows its field.
#include <ctype.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "usb_modem/lsusb_line.h"

namespace {

struct Reference {
    int conversions = 0;
    bool cut = false;
    std::string bus, device, vendor, product;
};

bool space(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

// "%31s %7s %31s %7s %31s %4s:%4s": each %s skips white space, then takes
// up to its width of non-blank characters.
Reference reread(const char *p) {
    Reference r;
    auto word = [&p](size_t width, std::string *out) {
        while (*p != '\0' && space(*p)) p++;
        if (*p == '\0') return false;
        const char *start = p;
        while (*p != '\0' && !space(*p) && static_cast<size_t>(p - start) < width) p++;
        *out = std::string(start, p);
        return true;
    };
    const size_t widths[5] = {31, 7, 31, 7, 31};
    std::string *fields[5] = {nullptr, &r.bus, nullptr, &r.device, nullptr};
    std::string scratch;
    for (int i = 0; i < 5; i++) {
        if (!word(widths[i], fields[i] != nullptr ? fields[i] : &scratch)) {
            r.conversions = r.conversions == 0 ? -1 : r.conversions;
            return r;
        }
        r.conversions++;
        if (!space(*p)) r.cut = true;
    }
    if (!word(4, &r.vendor)) return r;
    r.conversions++;
    if (*p != ':') return r;
    p++;
    if (!word(4, &r.product)) return r;
    r.conversions++;
    return r;
}

void check(bool ok) {
    if (!ok) abort();
}

bool field_is(const char (&field)[8], const std::string &want) {
    return strnlen(field, sizeof field) < sizeof field && want == field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line(reinterpret_cast<const char *>(data), size);
    ek::usb::LsusbLine got = ek::usb::parse_lsusb_line(line.c_str());
    Reference want = reread(line.c_str());

    check(got.conversions == want.conversions);
    if (got.conversions != 7) {
        check(!got.usable());
        return 0;
    }
    check(got.cut == want.cut);
    check(got.usable() == !want.cut);
    check(field_is(got.bus, want.bus));
    check(field_is(got.device, want.device));
    check(field_is(got.vendor, want.vendor) && want.vendor.size() <= 4);
    check(field_is(got.product, want.product) && want.product.size() <= 4);
    return 0;
}
