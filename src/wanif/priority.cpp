// WAN priority validation, the USB network status and the priority that the
// device configuration service holds for an interface.
#include <net/if.h>
#include <stdint.h>
#include <string.h>
#include <syslog.h>

#include <array>

#include "common/db_session.h"
#include "ek_brd.h"
#include "platform/ek_db.h"
#include "platform/ek_platform.h"
#include "wanif/snapshot.h"

using ek::wanif::LoadFailure;

namespace {

constexpr int32_t kPriorityMin = 1;
constexpr int32_t kPriorityMax = 9999;
// The kind code of the callers that may not take the USB network out of
// primary-WAN mode by configuring a priority.
constexpr int32_t kKindPrimaryWanCheck = 45;

// The USB network record: key and name "usbnet0"; the key has no NUL.
constexpr char kUsbnetName[] = "usbnet0";
constexpr int32_t kUsbnetNameLen = sizeof kUsbnetName - 1;
constexpr int32_t kUsbnetPrimaryWan = 0;  // its priority in primary-WAN mode
constexpr int32_t kUsbnetStatusMin = 1;
constexpr int32_t kUsbnetStatusMax = 4;

constexpr size_t kEthCfgSize = 80;
constexpr size_t kEthCfgPriorityOffset = 12;
constexpr size_t kUsbnetCfgSize = 96;
constexpr size_t kUsbnetCfgPriorityOffset = 20;

template <size_t N>
int32_t word_at(const std::array<uint8_t, N> &buf, size_t offset) {
    static_assert(N >= sizeof(int32_t));
    int32_t v;
    memcpy(&v, buf.data() + offset, sizeof v);
    return v;
}

}  // namespace

extern "C" {

// msg is written only on a refusal, and after a failed allocation of the
// snapshot's array, which lets the priority through: the check cannot be
// made, and refusing would block configuration on a transient shortage.
int ek_brd_check_cfg_priority_valid(int kind, int priority, char *msg) {
    if (priority < kPriorityMin || priority > kPriorityMax) {
        if (msg != nullptr) ek_sprintf(msg, "WAN priority can only be a value within 1 - 9999\n");
        return 0;
    }

    auto on_failure = [msg](LoadFailure what, const char *path, int32_t result) -> int32_t {
        switch (what) {
            case LoadFailure::open:
                if (msg != nullptr) ek_sprintf(msg, "brd: open DB failed : %s\n", path);
                return 0;
            case LoadFailure::empty:
                if (msg != nullptr) ek_sprintf(msg, "brd db is empty\n");
                return 0;
            case LoadFailure::array_alloc:
                if (msg != nullptr) ek_sprintf(msg, "brd: malloc failed for all_entry\n");
                return result;
            case LoadFailure::record_alloc:
                return result;
        }
        return result;
    };
    auto test = [kind, priority, msg](const ek_wanif_entry_t &slot, int32_t &valid) {
        if (kind == kKindPrimaryWanCheck && strncmp(slot.name, kUsbnetName, kUsbnetNameLen) == 0 &&
            slot.priority == kUsbnetPrimaryWan) {
            if (msg != nullptr) {
                ek_sprintf(msg,
                           "Usbmode mode is primary-wan. Please change it to always-connected or "
                           "on-demand first\n");
            }
            valid = 0;
            return true;
        }
        if (slot.priority == priority) {
            if (msg != nullptr) {
                ek_sprintf(msg,
                           "Please use a different priority value since priority %d is in already "
                           "configured\n",
                           priority);
            }
            valid = 0;
            return true;
        }
        return false;
    };
    return ek::wanif::load_snapshot(1, test, on_failure);
}

// Reads one record by key; takes no mutex and leaves the snapshot's cursor
// alone, so it may run while a load is in progress.
int ek_brd_lib_get_usbnet_status(int *status) {
    ek_wanif_entry_t rec{};
    {
        ek::DbPath path(ek::wanif::kDbName);
        ek::DbSession db(path);
        if (!db) {
            EK_ERR("brd: open DB failed : %s\n", path.c_str());
            return -1;
        }
        if (ek_db_fetch(db.get(), kUsbnetName, kUsbnetNameLen, &rec) != 0) return -1;
    }
    if (rec.usbnet_status < kUsbnetStatusMin || rec.usbnet_status > kUsbnetStatusMax) return -1;
    if (status == nullptr) return -1;
    *status = rec.usbnet_status;
    return 0;
}

// -1 also for a name of no known class; a configured -1 looks the same.
int ek_wanif_get_wan_priority_from_dcd_shm(const char *ifname) {
    if (ifname == nullptr) return -1;
    if (ek_is_eth_ifname(ifname) != 0 || ek_is_p_ifname(ifname) != 0) {
        std::array<uint8_t, kEthCfgSize> cfg{};
        if (ek_dcd_get_eth_mode_cfg(if_nametoindex(ifname), cfg.data()) < 0) {
            syslog(LOG_ERR, "WANIF: ek_dcd_get_eth_mode_cfg failed %s", ifname);
            return -1;
        }
        return word_at(cfg, kEthCfgPriorityOffset);
    }
    if (ek_is_usbnet_ppp_ifname(ifname) != 0 || ek_is_usb_ifname(ifname) != 0) {
        std::array<uint8_t, kUsbnetCfgSize> cfg{};
        if (ek_dcd_get_usbnet_mode_cfg(ifname, cfg.data()) < 0) {
            syslog(LOG_ERR, "WANIF: ek_dcd_get_usbnet_mode_cfg failed %s", ifname);
            return -1;
        }
        return word_at(cfg, kUsbnetCfgPriorityOffset);
    }
    return -1;
}

}  // extern "C"
