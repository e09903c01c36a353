// The device configuration service's queries and the interface-name
// classes (documented in ek_host.h).
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <string_view>

#include "common/db_session.h"
#include "common/unique_fd.h"
#include "ek_host.h"
#include "platform/ek_db.h"
#include "platform/ek_platform.h"

namespace {

using ek::host::UniqueFd;

// prefix followed by one or more digits and nothing else.
bool is_prefix_digits(const char *ifname, std::string_view prefix) {
    if (ifname == nullptr) return false;
    std::string_view name(ifname, strnlen(ifname, IFNAMSIZ));
    if (name.size() >= IFNAMSIZ || name.size() <= prefix.size() || !name.starts_with(prefix)) {
        return false;
    }
    for (char c : name.substr(prefix.size())) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

struct ModeCfg {
    const char *db;
    int32_t size;
    size_t priority_offset;
};

constexpr ModeCfg kEthCfg{EK_HOST_DCD_ETH_DB, EK_HOST_DCD_ETH_CFG_SIZE,
                          EK_HOST_DCD_ETH_PRIORITY_OFFSET};
constexpr ModeCfg kUsbnetCfg{EK_HOST_DCD_USBNET_DB, EK_HOST_DCD_USBNET_CFG_SIZE,
                             EK_HOST_DCD_USBNET_PRIORITY_OFFSET};

int32_t key_len(const char *ifname) {
    return ifname != nullptr ? static_cast<int32_t>(strnlen(ifname, IFNAMSIZ)) : 0;
}

int32_t get_cfg(const ModeCfg &cfg, const char *ifname, void *out) {
    int32_t len = key_len(ifname);
    if (len == 0 || len >= IFNAMSIZ || out == nullptr) return -1;
    ek::DbSession db{ek::DbPath(cfg.db)};
    // The database refuses a record of another size, and says so.
    return db && ek_db_fetch(db.get(), ifname, len, out) == 0 ? 0 : -1;
}

int32_t set_priority(const ModeCfg &cfg, const char *ifname, int32_t priority) {
    int32_t len = key_len(ifname);
    ek::DbSession db{ek::DbPath(cfg.db)};
    if (!db) return -1;
    unsigned char record[96] = {};
    if (ek_host_db_value_size(db.get(), ifname, len) == cfg.size) {
        ek_db_fetch(db.get(), ifname, len, record);
    }
    memcpy(record + cfg.priority_offset, &priority, sizeof priority);
    return ek_db_store(db.get(), ifname, len, record, cfg.size) < 0 ? -1 : 0;
}

}  // namespace

extern "C" {

int32_t ek_is_eth_ifname(const char *ifname) {
    return is_prefix_digits(ifname, "eth");
}

int32_t ek_is_p_ifname(const char *ifname) {
    return is_prefix_digits(ifname, "p");
}

int32_t ek_is_usbnet_ppp_ifname(const char *ifname) {
    return is_prefix_digits(ifname, "usbnet") || is_prefix_digits(ifname, "ppp");
}

int32_t ek_is_usb_ifname(const char *ifname) {
    return is_prefix_digits(ifname, "usb");
}

int32_t ek_dcd_get_eth_mode_cfg(uint32_t kifidx, void *cfg80) {
    char name[IF_NAMESIZE];
    if (kifidx == 0 || if_indextoname(kifidx, name) == nullptr) return -1;
    return get_cfg(kEthCfg, name, cfg80);
}

int32_t ek_dcd_get_usbnet_mode_cfg(const char *ifname, void *cfg96) {
    return get_cfg(kUsbnetCfg, ifname, cfg96);
}

int32_t ek_dcd_get_addr_byname(const char *ifname, uint32_t *addr, uint32_t *mask) {
    int32_t len = key_len(ifname);
    if (len == 0 || len >= IFNAMSIZ || addr == nullptr || mask == nullptr) return -1;
    UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) return -1;
    ifreq req;
    memset(&req, 0, sizeof req);
    memcpy(req.ifr_name, ifname, static_cast<size_t>(len));
    sockaddr_in in;
    if (ioctl(sock.get(), SIOCGIFADDR, &req) != 0) return -1;
    memcpy(&in, &req.ifr_addr, sizeof in);
    uint32_t address = in.sin_addr.s_addr;
    if (ioctl(sock.get(), SIOCGIFNETMASK, &req) != 0) return -1;
    memcpy(&in, &req.ifr_netmask, sizeof in);
    *addr = address;
    *mask = in.sin_addr.s_addr;
    return 0;
}

int32_t ek_host_dcd_set_wan_priority(const char *ifname, int32_t priority) {
    if (ek_is_eth_ifname(ifname) || ek_is_p_ifname(ifname)) {
        return set_priority(kEthCfg, ifname, priority);
    }
    if (ek_is_usbnet_ppp_ifname(ifname) || ek_is_usb_ifname(ifname)) {
        return set_priority(kUsbnetCfg, ifname, priority);
    }
    return -1;
}
}
