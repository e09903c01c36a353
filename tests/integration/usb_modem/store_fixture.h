// Records of the USB modem stores with a position-dependent value in every
// byte, so that a stray write anywhere shows in a whole-record compare.
#pragma once

#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "ek_brd.h"

namespace usb_test {

inline constexpr char kModeswitchDb[] = "/tmp/db/usb_modem_mode_switch";

using Pair = std::pair<uint16_t, uint16_t>;

template <typename T>
std::vector<uint8_t> bytes(const T &v) {
    const auto *b = reinterpret_cast<const uint8_t *>(&v);
    return std::vector<uint8_t>(b, b + sizeof v);
}

template <typename T>
void fill(T &v, uint8_t seed) {
    auto *b = reinterpret_cast<uint8_t *>(&v);
    for (size_t i = 0; i < sizeof v; i++) b[i] = static_cast<uint8_t>(i * 7 + seed);
}

inline ek_usb_modem_cfg_t cfg(const std::string &id, const std::vector<Pair> &pairs,
                              uint8_t seed = 1) {
    ek_usb_modem_cfg_t c;
    fill(c, seed);
    memcpy(c.modem_id, id.c_str(), id.size() + 1);
    c.usbid_num = static_cast<uint32_t>(pairs.size());
    for (size_t i = 0; i < pairs.size(); i++) {
        c.usbid[i].vid = pairs[i].first;
        c.usbid[i].pid = pairs[i].second;
    }
    return c;
}

inline ek_usb_modeswitch_t modeswitch(uint16_t vid, uint16_t pid, uint8_t seed = 1) {
    ek_usb_modeswitch_t m;
    fill(m, seed);
    m.vid = vid;
    m.pid = pid;
    return m;
}

}  // namespace usb_test
