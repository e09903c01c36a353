// Builds wanif_db records for the fake store.
#pragma once

#include <string.h>

#include <algorithm>
#include <string>

#include "fake_platform.h"

namespace wanif_test {

inline const std::string kPath = "/tmp/db/wanif_db";

struct Wan {
    ek_wanif_entry_t r{};
    explicit Wan(const std::string &ifname) {
        memcpy(r.ifname, ifname.data(), std::min(ifname.size(), sizeof r.ifname));
    }
    Wan &name(const std::string &n) {
        memcpy(r.name, n.data(), std::min(n.size(), sizeof r.name - 1));
        return *this;
    }
    Wan &wan() { return r.is_wanif = 1, *this; }
    Wan &active() { return r.is_active_dft_wan = 1, *this; }
    Wan &ip(uint32_t a) { return r.ip_addr = a, *this; }
    Wan &pppoe(int32_t kifidx) { return r.is_pppoe = 1, r.pppoe_ethnet_kifidx = kifidx, *this; }
    Wan &prio(int32_t p) { return r.priority = p, *this; }
    Wan &status(int32_t s) { return r.usbnet_status = s, *this; }
};

inline void put(const Wan &w) {
    const std::string ifname(w.r.ifname, strnlen(w.r.ifname, sizeof w.r.ifname));
    fake::put(kPath, w.r.name[0] != '\0' ? w.r.name : ifname, w.r);
}

}  // namespace wanif_test
