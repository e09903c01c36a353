// What the USB modem stores share: one database open per call, and handing
// records to callers as list nodes.
//
// A store is described by a traits struct:
//   using Record = ...;                      the fixed-size database value
//   static constexpr char kPath[];           the database file
//   static constexpr char kNodeAllocFailed[], kFetchFailed[], kGetallFailed[];
//   static constexpr ek_db_foreach_cb_t kCallback;   its exported getall callback
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "common/db_session.h"
#include "common/list.h"
#include "common/raii.h"
#include "ek_brd.h"
#include "platform/ek_db.h"
#include "platform/ek_platform.h"

namespace ek::usb_modem {

inline constexpr char kOpenFailed[] = "usb_modem: open DB failed : %s\n";

// A node is one malloc: the link followed directly by the record, with no
// padding (3388 bytes for a configuration on the 32-bit target). The node
// structs of the header may carry tail padding on 64-bit hosts, so the size
// and the record's place are computed here rather than taken from them.
template <typename Record>
inline constexpr size_t kNodeSize = sizeof(ek_list_head) + sizeof(Record);
static_assert(sizeof(void *) != 4 || kNodeSize<ek_usb_modem_cfg_t> == 3388);
static_assert(sizeof(void *) != 4 || kNodeSize<ek_usb_modeswitch_t> == 308);

template <typename Record>
inline Record *record_of(ek_list_head *link) {
    void *at = reinterpret_cast<uint8_t *>(link) + sizeof(ek_list_head);
    return static_cast<Record *>(at);
}

inline int32_t key_length(const char *key) {
    return static_cast<int32_t>(strlen(key));
}

// Opens the store's database, runs body(handle) and closes it again; an open
// failure is logged with the path and answered -1 without running body.
template <typename Traits, const char *OpenFailed = kOpenFailed, typename Body>
int with_db(Body &&body) {
    DbPath path(Traits::kPath);
    DbSession db(path);
    if (!db) {
        EK_ERR(OpenFailed, path.c_str());
        return -1;
    }
    return body(db.get());
}

// The foreach callback: one record into a new node at the tail of the
// caller's list. A record that cannot be listed is logged and left out.
template <typename Traits>
void collect_one(ek_db_handle_t db, ek_db_key_desc_t key, void *list) {
    using Record = typename Traits::Record;
    auto node = MallocPtr<ek_list_head>::alloc(kNodeSize<Record>);
    if (!node) {
        EK_ERR(Traits::kNodeAllocFailed);
        return;
    }
    if (ek_db_fetch_bykey(db, key, record_of<Record>(node.get())) < 0) {
        EK_ERR(Traits::kFetchFailed);
        return;
    }
    list_add_tail(node.release(), static_cast<ek_list_head *>(list));
}

// Appends every record after whatever the caller's list already holds; the
// nodes become the caller's, to be released with free().
template <typename Traits>
int getall(ek_list_head *list) {
    return with_db<Traits>([list](ek_db_handle_t db) {
        ek_db_foreach(db, Traits::kCallback, list);
        return 0;
    });
}

// A list whose nodes belong to this call: all are freed on scope exit.
class LocalList {
public:
    LocalList() { list_init(&head_); }
    LocalList(const LocalList &) = delete;
    LocalList &operator=(const LocalList &) = delete;
    ~LocalList() {
        list_for_each_safe(&head_, [](ek_list_head *link) { free(link); });
        list_init(&head_);
    }
    ek_list_head *head() { return &head_; }

private:
    ek_list_head head_;
};

// Loads the whole store and copies the first record, in the database's
// visiting order, for which match(record) holds. -1 with `out` untouched when
// none does; only a failed load is logged.
template <typename Traits, typename Match>
int fetch_first(typename Traits::Record *out, Match &&match) {
    using Record = typename Traits::Record;
    LocalList local;
    if (getall<Traits>(local.head()) != 0) {
        EK_ERR(Traits::kGetallFailed);
        return -1;
    }
    for (ek_list_head *link = local.head()->next; link != local.head(); link = link->next) {
        const Record *record = record_of<Record>(link);
        if (match(*record)) {
            memcpy(out, record, sizeof(Record));
            return 0;
        }
    }
    return -1;
}

}  // namespace ek::usb_modem
