// The mode-switch store over /tmp/db/usb_modem_mode_switch: one record per
// USB device, keyed by its vendor and product id as 8 hex digits.
#include <stdint.h>

#include <array>

#include "ek_brd.h"
#include "platform/ek_db.h"
#include "platform/ek_platform.h"
#include "usb_modem/record_list.h"

namespace {

using ek::usb_modem::key_length;
using ek::usb_modem::with_db;

struct ModeswitchStore {
    using Record = ek_usb_modeswitch_t;
    static constexpr char kPath[] = "/tmp/db/usb_modem_mode_switch";
    static constexpr char kStoreOpenFailed[] =
        "usb_modem: open DB failed when store modeswitch entry: %s\n";
    static constexpr char kNodeAllocFailed[] =
        "usb_modem: fail to create usb modem mode switch node.";
    static constexpr char kFetchFailed[] = "usb_modem: get usb modem mode switch entry failed!\n";
    static constexpr char kGetallFailed[] = "usb_modem: failed to get modeswitch from db.";
    static constexpr ek_db_foreach_cb_t kCallback =
        ek_brd_lib_usb_modem_db_getall_usb_modeswitch_entry;
};

// "%04x%04x": vendor then product, each exactly 4 lowercase digits since
// both are 16-bit.
struct ModeswitchKey {
    std::array<char, 16> text{};
    ModeswitchKey(uint16_t vid, uint16_t pid) {
        ek_sprintf(text.data(), "%04x%04x", unsigned{vid}, unsigned{pid});
    }
    const char *c_str() const { return text.data(); }
};

}  // namespace

extern "C" {

int ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry(const ek_usb_modeswitch_t *entry) {
    const ModeswitchKey key(entry->vid, entry->pid);
    return with_db<ModeswitchStore, ModeswitchStore::kStoreOpenFailed>(
        [entry, &key](ek_db_handle_t db) {
            if (ek_db_store(db, key.c_str(), key_length(key.c_str()), entry, sizeof *entry) < 0) {
                EK_ERR("usb_modem: store modeswitch entry (key=%s) [vid=0x%x, pid=0x%x] failed!\n",
                       key.c_str(), unsigned{entry->vid}, unsigned{entry->pid});
                return -1;
            }
            return 0;
        });
}

int ek_brd_lib_usb_modem_db_delete_usb_modeswitch_entry(uint16_t vid, uint16_t pid) {
    const ModeswitchKey key(vid, pid);
    return with_db<ModeswitchStore>([vid, pid, &key](ek_db_handle_t db) {
        if (ek_db_delete_ex(db, key.c_str(), key_length(key.c_str()), EK_DB_MODE) < 0) {
            EK_ERR("usb_modem: delete modeswitch entry (key=%s) [vid=0x%x, pid=0x%x] failed!\n",
                   key.c_str(), unsigned{vid}, unsigned{pid});
            return -1;
        }
        return 0;
    });
}

// Matches on the record's own fields, not its key: a record stored under a
// key that disagrees with its ids is still found by its ids.
int ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(uint16_t vid, uint16_t pid,
                                                     ek_usb_modeswitch_t *out) {
    return ek::usb_modem::fetch_first<ModeswitchStore>(
        out, [vid, pid](const ek_usb_modeswitch_t &entry) {
            return entry.vid == vid && entry.pid == pid;
        });
}

int ek_brd_lib_usb_modem_db_getall_usb_modeswitch(struct ek_list_head *list) {
    return ek::usb_modem::getall<ModeswitchStore>(list);
}

void ek_brd_lib_usb_modem_db_getall_usb_modeswitch_entry(ek_db_handle_t db, ek_db_key_desc_t key,
                                                         void *list) {
    ek::usb_modem::collect_one<ModeswitchStore>(db, key, list);
}

}  // extern "C"
