// The NAT policy table: 128 slots in the CPE segment, id = slot index + 1.
//
// Every process of the platform reads and writes the slots in place and
// nobody takes a lock; callers serialise among themselves. Each operation
// asks ek_brd_get_cpe_shm_data() afresh, so the first call of a process
// attaches the segment whatever its arguments are.
#include "cpe/nat_policy.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include <span>
#include <string_view>

#include "ek_brd.h"

namespace {

constexpr int kSlots = EK_BRD_CPE_NAT_POLICY_MAX;
constexpr int32_t kTypeTunnel = 1;
constexpr int32_t kTypeOther = 2;
constexpr size_t kNameMax = sizeof(ek_nat_policy_t::name) - 1;  // 32 characters
constexpr char kTunnelPrefix[] = "tunnel";

static_assert(EK_BRD_CPE_NAT_TABLE_OFFSET % alignof(ek_nat_policy_t) == 0,
              "the slots are viewed in place");

using Table = std::span<ek_nat_policy_t, kSlots>;

// An empty span when the segment could not be attached.
std::span<ek_nat_policy_t> table() {
    void *cpe = ek_brd_get_cpe_shm_data();
    if (cpe == nullptr) return {};
    void *at = static_cast<uint8_t *>(cpe) + EK_BRD_CPE_NAT_TABLE_OFFSET;
    return Table(static_cast<ek_nat_policy_t *>(at), kSlots);
}

bool used(const ek_nat_policy_t &slot) {
    return slot.name[0] != '\0';
}

// Other writers of the segment are not bound to terminate the name, so it
// is never read beyond its 33 bytes.
std::string_view name_of(const ek_nat_policy_t &slot) {
    return {slot.name, strnlen(slot.name, sizeof slot.name)};
}

// Index of the lowest used slot named exactly `name`, or -1.
int find(std::span<ek_nat_policy_t> slots, const char *name) {
    if (name == nullptr) return -1;
    const std::string_view wanted(name);
    for (int i = 0; i < static_cast<int>(slots.size()); i++) {
        if (used(slots[i]) && name_of(slots[i]) == wanted) return i;
    }
    return -1;
}

bool valid_id(int id) {
    return id >= 1 && id <= kSlots;
}

}  // namespace

extern "C" {

int ek_brd_cpe_shm_request_nat_policy_id(void) {
    std::span<ek_nat_policy_t> slots = table();
    // Nothing is reserved: the slot stays free until a save fills it.
    for (int i = 0; i < static_cast<int>(slots.size()); i++) {
        if (!used(slots[i])) return i + 1;
    }
    return 0;
}

void ek_brd_cpe_shm_save_nat_policy(int id, const char *name, int type) {
    std::span<ek_nat_policy_t> slots = table();
    if (slots.empty() || !valid_id(id) || name == nullptr) return;
    ek_nat_policy_t &slot = slots[id - 1];
    // Pads a short name with NULs; bytes 33..35 keep whatever they held.
    strncpy(slot.name, name, sizeof slot.name);
    slot.name[kNameMax] = '\0';
    slot.type = type;
}

void ek_brd_cpe_shm_delete_nat_policy(int id) {
    std::span<ek_nat_policy_t> slots = table();
    if (slots.empty()) return;
    if (!valid_id(id)) {
        syslog(LOG_ERR, "WANIF: %s: id %d is out or range (1-%d)", __func__, id, kSlots);
        return;
    }
    memset(&slots[id - 1], 0, sizeof(ek_nat_policy_t));
}

int ek_brd_cpe_shm_get_nat_policy_id(const char *name) {
    int i = find(table(), name);
    return i < 0 ? 0 : i + 1;
}

int ek_brd_cpe_shm_get_nat_policy_type(const char *name) {
    std::span<ek_nat_policy_t> slots = table();
    int i = find(slots, name);
    return i < 0 ? -1 : slots[i].type;
}

int ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface(const char *policy_name,
                                                             const char *ifname) {
    int32_t type = ek_brd_cpe_shm_get_nat_policy_type(policy_name);
    if (ifname == nullptr) return 0;
    // Not string_view::starts_with: its substr may throw, which an
    // unoptimised build leaves as an import from the C++ runtime.
    bool tunnel = strncmp(ifname, kTunnelPrefix, sizeof kTunnelPrefix - 1) == 0;
    return type == (tunnel ? kTypeTunnel : kTypeOther) ? 1 : 0;
}

char *ek_brd_cpe_shm_get_nat_policy_name(int id) {
    std::span<ek_nat_policy_t> slots = table();
    if (slots.empty()) return nullptr;
    if (id > kSlots) {
        syslog(LOG_ERR, "WANIF: %s: id %d exceeds the max range %d", __func__, id, kSlots);
        return nullptr;
    }
    if (id < 1) return nullptr;
    return slots[id - 1].name;  // in the segment: a free slot gives ""
}

void ek_brd_cpe_shm_get_nat_policy_output(int index, char *buf) {
    std::span<ek_nat_policy_t> slots = table();
    if (slots.empty() || buf == nullptr || index < 0 || index >= kSlots) return;
    const ek_nat_policy_t &slot = slots[index];
    if (!used(slot)) return;
    // The precision keeps the line within the 75 characters callers make
    // room for, even if another writer left the name unterminated.
    sprintf(buf + strlen(buf), "\tnat_policy_id|name|type: %d|%.*s|%d\n", index + 1,
            static_cast<int>(kNameMax), slot.name, slot.type);
}

}  // extern "C"
