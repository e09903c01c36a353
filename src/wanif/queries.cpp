// The WAN-interface queries: each is an initial result and a test on one
// snapshot slot. A failed load answers like a scan without a match.
#include <stdint.h>
#include <string.h>

#include "ek_brd.h"
#include "wanif/snapshot.h"

using ek::wanif::ifname_equals;
using ek::wanif::load_snapshot;

namespace {

constexpr char kTunnelPrefix[] = "tunnel";

bool is_tunnel(const ek_wanif_entry_t &slot) {
    return strncmp(slot.ifname, kTunnelPrefix, sizeof kTunnelPrefix - 1) == 0;
}

}  // namespace

extern "C" {

// Tunnel interfaces live in the same table but are no WAN of their own.
// Zero-filled slots (failed fetches) are counted like any other non-tunnel.
int ek_brd_get_wanif_count(void) {
    return load_snapshot(0, [](const ek_wanif_entry_t &slot, int32_t &count) {
        if (!is_tunnel(slot)) count++;
        return false;
    });
}

int ek_brd_check_intf_active_dft_wan(const char *ifname) {
    return load_snapshot(0, [ifname](const ek_wanif_entry_t &slot, int32_t &found) {
        if (slot.is_active_dft_wan == 0 || !ifname_equals(slot, ifname)) return false;
        found = 1;
        return true;
    });
}

int ek_brd_check_intf_wanif(const char *ifname) {
    return load_snapshot(0, [ifname](const ek_wanif_entry_t &slot, int32_t &found) {
        if (!ifname_equals(slot, ifname) || slot.is_wanif == 0) return false;
        found = 1;
        return true;
    });
}

// A slot without an interface name never owns an address, so the address 0
// does not match the zero-filled slot of a failed fetch.
int ek_brd_cpe_shm_check_wan_intf_ip(uint32_t ip_addr) {
    return load_snapshot(0, [ip_addr](const ek_wanif_entry_t &slot, int32_t &found) {
        if (slot.ifname[0] == '\0' || slot.ip_addr != ip_addr) return false;
        found = 1;
        return true;
    });
}

// The first match decides, even when its index is 0.
int ek_brd_get_pppoe_ethnet_kifidx(const char *ifname) {
    return load_snapshot(0, [ifname](const ek_wanif_entry_t &slot, int32_t &kifidx) {
        if (!ifname_equals(slot, ifname) || slot.is_pppoe == 0) return false;
        kifidx = slot.pppoe_ethnet_kifidx;
        return true;
    });
}

}  // extern "C"
