// The USB modem configuration store over /tmp/db/usb_modem_cfg, keyed by
// modem id, and the editing of a record's USB id slots in caller memory.
//
// A record read from the database may claim more than 8 used slots (the add
// below never produces one, but other processes write the same file). Every
// slot walk treats such a record as holding 8 slots, so no byte past the
// eighth slot is ever read or written.
#include <stdint.h>
#include <string.h>

#include <algorithm>

#include "ek_brd.h"
#include "platform/ek_db.h"
#include "platform/ek_platform.h"
#include "usb_modem/record_list.h"

namespace {

using ek::usb_modem::key_length;
using ek::usb_modem::with_db;

struct CfgStore {
    using Record = ek_usb_modem_cfg_t;
    static constexpr char kPath[] = "/tmp/db/usb_modem_cfg";
    static constexpr char kStoreOpenFailed[] = "usb_modem: open DB failed when store entry: %s\n";
    static constexpr char kNodeAllocFailed[] = "usb_modem: fail to create usb modem config node.";
    static constexpr char kFetchFailed[] = "usb_modem: get usb modem config entry failed!\n";
    static constexpr char kGetallFailed[] = "usb_modem: failed to get config from db.";
    static constexpr ek_db_foreach_cb_t kCallback = ek_brd_lib_usb_modem_db_getall_cfg;
};

uint32_t used_slots(const ek_usb_modem_cfg_t &entry) {
    return std::min<uint32_t>(entry.usbid_num, EK_USB_MODEM_USBID_MAX);
}

bool holds(const ek_usb_modem_usbid_t &slot, uint16_t vid, uint16_t pid) {
    return slot.vid == vid && slot.pid == pid;
}

bool lists_pair(const ek_usb_modem_cfg_t &entry, uint16_t vid, uint16_t pid) {
    const uint32_t n = used_slots(entry);
    for (uint32_t i = 0; i < n; i++) {
        if (holds(entry.usbid[i], vid, pid)) return true;
    }
    return false;
}

}  // namespace

extern "C" {

int ek_brd_lib_usb_modem_cfg_is_entry_valid(const ek_usb_modem_cfg_t *entry) {
    if (entry == nullptr) return 0;
    if (entry->modem_id[0] == '\0') return 0;
    if (entry->usbid_num == 0) return 0;
    if (entry->usbid[0].vid == 0) return 0;
    if (entry->usbid[0].pid == 0) return 0;
    return 1;
}

int ek_brd_lib_usb_modem_db_store_entry(const ek_usb_modem_cfg_t *entry) {
    return with_db<CfgStore, CfgStore::kStoreOpenFailed>([entry](ek_db_handle_t db) {
        const char *key = entry->modem_id;
        if (ek_db_store(db, key, key_length(key), entry, sizeof *entry) < 0) {
            EK_ERR("usb_modem: store usbmodem cfg entry [key=%s] failed!\n", key);
            return -1;
        }
        return 0;
    });
}

int ek_brd_lib_usb_modem_db_delete_entry_by_modem_id(const char *modem_id) {
    return with_db<CfgStore>([modem_id](ek_db_handle_t db) {
        if (ek_db_delete_ex(db, modem_id, key_length(modem_id), EK_DB_MODE) < 0) {
            EK_ERR("usb_modem: delete usbmodem cfg entry [modem_id=%s] failed!\n", modem_id);
            return -1;
        }
        return 0;
    });
}

int ek_brd_lib_usb_modem_db_get_entry_by_modem_id(const char *modem_id, ek_usb_modem_cfg_t *out) {
    return with_db<CfgStore>([modem_id, out](ek_db_handle_t db) {
        return ek_db_fetch(db, modem_id, key_length(modem_id), out) == 0 ? 0 : -1;
    });
}

int ek_brd_lib_usb_modem_db_get_num(void) {
    return with_db<CfgStore>([](ek_db_handle_t db) { return ek_db_count(db); });
}

int ek_brd_lib_usb_modem_db_getall(struct ek_list_head *list) {
    return ek::usb_modem::getall<CfgStore>(list);
}

void ek_brd_lib_usb_modem_db_getall_cfg(ek_db_handle_t db, ek_db_key_desc_t key, void *list) {
    ek::usb_modem::collect_one<CfgStore>(db, key, list);
}

int ek_brd_lib_usb_modem_db_get_entry_by_usb_id(uint16_t vid, uint16_t pid,
                                                ek_usb_modem_cfg_t *out) {
    return ek::usb_modem::fetch_first<CfgStore>(
        out, [vid, pid](const ek_usb_modem_cfg_t &entry) { return lists_pair(entry, vid, pid); });
}

void ek_brd_lib_usb_modem_cfg_entry_add_vid_pid(uint16_t vid, uint16_t pid,
                                                ek_usb_modem_cfg_t *entry) {
    if (lists_pair(*entry, vid, pid)) return;
    // A full record is refused. Counting from the clamped value refuses any
    // usbid_num of 8 or more, including counts such as 0xFFFFFFFF that a
    // signed "> 7" test would take for -1 and write through.
    const uint32_t n = used_slots(*entry);
    if (n >= EK_USB_MODEM_USBID_MAX) return;
    entry->usbid[n].vid = vid;
    entry->usbid[n].pid = pid;
    entry->usbid_num = n + 1;
}

void ek_brd_lib_usb_modem_cfg_entry_remove_vid_pid(uint16_t vid, uint16_t pid,
                                                   ek_usb_modem_cfg_t *entry) {
    // Only the 4 bytes of vid and pid move up; the rest of every slot belongs
    // to the caller and stays where it is.
    const uint32_t n = used_slots(*entry);
    bool found = false;
    for (uint32_t i = 0; i < n; i++) {
        if (found) {
            entry->usbid[i - 1].vid = entry->usbid[i].vid;
            entry->usbid[i - 1].pid = entry->usbid[i].pid;
        }
        if (holds(entry->usbid[i], vid, pid)) found = true;
    }
    if (!found) return;
    entry->usbid[n - 1].vid = 0;
    entry->usbid[n - 1].pid = 0;
    // A record that claimed more than 8 slots leaves with 7: it was walked
    // as a full one.
    entry->usbid_num = n - 1;
}

}  // extern "C"
