// Is an address/mask pair a subnet of the device itself?
//
// First the subnets of the management interfaces (names beginning "mgt0"),
// compared by network part with equal masks, so any address inside such a
// subnet matches; then, only if none matched, the exact pair in the VPN
// internal-subnet table of the CPE segment, where it must be marked local.
#include <ctype.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>

#include <algorithm>

#include "common/raii.h"
#include "common/shm_word.h"
#include "ek_brd.h"
#include "platform/ek_platform.h"

namespace {

constexpr size_t kLineBufferSize = 512;
constexpr const char kNetDev[] = "/proc/net/dev";
constexpr const char kMgmtPrefix[] = "mgt0";
constexpr size_t kMgmtPrefixLen = sizeof kMgmtPrefix - 1;

// VPN internal-subnet table: count word, then 36-byte records whose local
// flag sits at record offset 24. Its writers keep it in front of the
// save-report flag, which bounds how many records can be real.
constexpr uint32_t kSubnetRecordsOffset = EK_BRD_CPE_VPN_SUBNETS_OFFSET + 4;
constexpr uint32_t kSubnetStride = 36;
constexpr uint32_t kLocalFlagOffset = 24;
constexpr int32_t kSubnetCapacity =
    (EK_BRD_CPE_SAVE_REPORT_OFFSET - kSubnetRecordsOffset) / kSubnetStride;

enum class IfStage { match, no_match, unreadable };

IfStage match_interfaces(const uint32_t *addr, const uint32_t *mask) {
    auto line = ek::MallocPtr<char>::alloc(kLineBufferSize);
    if (!line) {
        EK_ERR("malloc failed");
        return IfStage::unreadable;
    }
    memset(line.get(), 0, kLineBufferSize);
    // Declared after the buffer, so the file is closed before it is freed.
    ek::File dev(fopen(kNetDev, "r"));
    if (!dev) {
        EK_ERR("can't open %s\n", kNetDev);
        return IfStage::unreadable;
    }
    // getline may move and grow the buffer; the owner frees what it left.
    size_t cap = kLineBufferSize;
    for (int header = 0; header < 2; header++) {
        if (getline(line.out(), &cap, dev.get()) == -1) return IfStage::no_match;
    }
    while (getline(line.out(), &cap, dev.get()) != -1) {
        char *name = line.get();
        while (isspace(static_cast<unsigned char>(*name))) name++;
        char *colon = strchr(name, ':');
        if (colon == nullptr) continue;
        *colon = '\0';
        if (strncmp(name, kMgmtPrefix, kMgmtPrefixLen) != 0) continue;
        uint32_t if_addr = 0;
        uint32_t if_mask = 0;
        if (ek_dcd_get_addr_byname(name, &if_addr, &if_mask) != 0) continue;
        if ((if_addr & if_mask) == (*addr & *mask) && if_mask == *mask) return IfStage::match;
    }
    return IfStage::no_match;
}

bool marked_local(uint8_t *cpe, const uint32_t *addr, const uint32_t *mask) {
    // Only threads of this process that lock the same mutex are kept out;
    // other processes are not.
    ek::MutexGuard guard(internal_subnet_mutex);
    const void *table = cpe + EK_BRD_CPE_VPN_SUBNETS_OFFSET;
    const int32_t count = ek::shm_word(cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET);
    // A count outside the table's room is damage; the search stays inside it.
    const int32_t hi = std::clamp(count, 0, kSubnetCapacity) - 1;
    int index = 0;
    int found = 0;
    ek_brd_find_subnet_index_in_vpn_internal_subnets_local(table, *addr, *mask, 0, hi, &index,
                                                           &found);
    if (found == 0) return false;
    return ek::shm_word(cpe, kSubnetRecordsOffset + kSubnetStride * static_cast<uint32_t>(index) +
                                 kLocalFlagOffset) != 0;
}

}  // namespace

extern "C" {

int ek_brd_lib_is_cpe_local_subnet(const uint32_t *addr, const uint32_t *mask) {
    // Attaches the segment on the first call, whatever follows.
    uint8_t *cpe = static_cast<uint8_t *>(ek_brd_get_cpe_shm_data());
    if (addr == nullptr || mask == nullptr) return 0;
    switch (match_interfaces(addr, mask)) {
        case IfStage::match:
            return 1;
        case IfStage::unreadable:
            return 0;  // the table is not consulted either
        case IfStage::no_match:
            break;
    }
    return cpe != nullptr && marked_local(cpe, addr, mask) ? 1 : 0;
}

}  // extern "C"
