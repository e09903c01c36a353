#include "common/escape.h"

namespace ek::host {

namespace {

// The length of the valid UTF-8 sequence of a printable character at text
// (len bytes left), or 0.
size_t utf8_length(const unsigned char *text, size_t len) {
    unsigned char c = text[0];
    size_t n = c >= 0xC2 && c <= 0xDF   ? 2
               : c >= 0xE0 && c <= 0xEF ? 3
               : c >= 0xF0 && c <= 0xF4 ? 4
                                        : 0;
    if (n == 0 || n > len) return 0;
    // The second byte's range excludes overlong forms, surrogates and code
    // points past U+10FFFF; C2 80..9F are the C1 controls.
    unsigned char lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : c == 0xC2 ? 0xA0 : 0x80;
    unsigned char hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if (text[1] < lo || text[1] > hi) return 0;
    for (size_t i = 2; i < n; ++i) {
        if (text[i] < 0x80 || text[i] > 0xBF) return 0;
    }
    return n;
}

}  // namespace

void escape_text(const unsigned char *text, size_t len, char *out) {
    static const char kHex[] = "0123456789abcdef";
    size_t at = 0;
    for (size_t i = 0; i < len;) {
        unsigned char c = text[i];
        if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
            out[at++] = static_cast<char>(c);
            ++i;
            continue;
        }
        size_t n = utf8_length(text + i, len - i);
        if (n > 0) {
            for (size_t k = 0; k < n; ++k) out[at++] = static_cast<char>(text[i + k]);
            i += n;
            continue;
        }
        out[at++] = '\\';
        out[at++] = 'x';
        out[at++] = kHex[c >> 4];
        out[at++] = kHex[c & 0xF];
        ++i;
    }
    out[at] = '\0';
}

}  // namespace ek::host
