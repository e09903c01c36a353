// The one copy of the wanif_db snapshot load.
//
// g_wanif_db_mutex serialises the loads of a process: the fetch callback
// fills the array through the single process-wide cursor db_wanif_idx, so
// two loads at once would interleave their slots.
#include "wanif/snapshot.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "common/db_session.h"
#include "common/raii.h"
#include "ek_brd.h"
#include "platform/ek_db.h"

namespace {

// The number of slots of the array being filled, kept next to the cursor
// rather than passed with it: ek_db_foreach hands the callback exactly the
// array as its user argument, as every database library of the platform
// expects, and a context struct in its place would change that value. Like
// the cursor it is only touched under g_wanif_db_mutex.
int32_t wanif_slots = 0;

// The caller's array of n slot pointers and the records they own. Frees
// every non-null slot, then the array, before the database is closed.
class Slots {
public:
    Slots() = default;
    Slots(const Slots &) = delete;
    Slots &operator=(const Slots &) = delete;
    ~Slots() {
        if (all_entry_ == nullptr) return;
        for (int32_t i = 0; i < n_; i++) free(all_entry_[i]);
        free(all_entry_);
    }

    // False when the array cannot be had; n is positive.
    bool alloc_array(int32_t n) {
        // n pointers overflow size_t only on a 32-bit target and only for
        // absurd counts, which could not be allocated anyway.
        if (static_cast<uint32_t>(n) > SIZE_MAX / sizeof(ek_wanif_entry_t *)) return false;
        size_t bytes = static_cast<size_t>(n) * sizeof(ek_wanif_entry_t *);
        all_entry_ = static_cast<ek_wanif_entry_t **>(malloc(bytes));
        if (all_entry_ == nullptr) return false;
        memset(all_entry_, 0, bytes);
        n_ = n;
        return true;
    }

    bool alloc_record(int32_t i) {
        void *rec = malloc(sizeof(ek_wanif_entry_t));
        if (rec == nullptr) return false;
        memset(rec, 0, sizeof(ek_wanif_entry_t));
        all_entry_[i] = static_cast<ek_wanif_entry_t *>(rec);
        return true;
    }

    ek_wanif_entry_t **array() const { return all_entry_; }
    int32_t size() const { return n_; }
    const ek_wanif_entry_t &operator[](int32_t i) const { return *all_entry_[i]; }

private:
    ek_wanif_entry_t **all_entry_ = nullptr;
    int32_t n_ = 0;
};

// The five queries answer every failure with their initial result.
constexpr auto keep_result = [](ek::wanif::LoadFailure, const char *, int32_t result) {
    return result;
};

}  // namespace

extern "C" {

// Called by ek_db_foreach once per record. The cursor moves on whatever the
// fetch gives, so slot i holds the i-th record delivered. A record beyond
// the counted slots (stored by another process between the count and the
// walk) is dropped rather than written past the array.
static void ek_brd_wanif_db_getall_entry(ek_db_handle_t db, ek_db_key_desc_t key, void *arg) {
    auto **all_entry = static_cast<ek_wanif_entry_t **>(arg);
    int32_t i = db_wanif_idx;
    db_wanif_idx = i + 1;
    if (i < 0 || i >= wanif_slots) return;
    if (ek_db_fetch_bykey(db, key, all_entry[i]) < 0) {
        syslog(LOG_ERR, "WANIF: pbr: get routing policy entry failed!\n");
    }
}

}  // extern "C"

namespace ek::wanif {

int32_t load_snapshot(int32_t initial, SlotTest test, FailureHook on_failure) {
    int32_t result = initial;
    MutexGuard guard(g_wanif_db_mutex);

    DbPath path(kDbName);
    DbSession db(path);
    if (!db) {
        syslog(LOG_ERR, "WANIF: brd: open DB failed : %s\n", path.c_str());
        return on_failure(LoadFailure::open, path.c_str(), result);
    }

    int32_t n = ek_db_count(db.get());
    // A negative count is no better than none: nothing to allocate or scan.
    if (n <= 0) return on_failure(LoadFailure::empty, path.c_str(), result);

    // Declared after the session so the records are freed before it closes.
    Slots slots;
    if (!slots.alloc_array(n)) {
        syslog(LOG_ERR, "WANIF: malloc failed for all_entry");
        return on_failure(LoadFailure::array_alloc, path.c_str(), result);
    }
    for (int32_t i = 0; i < n; i++) {
        if (!slots.alloc_record(i)) {
            syslog(LOG_ERR, "WANIF: malloc failed for all_entry[%d]", i);
            return on_failure(LoadFailure::record_alloc, path.c_str(), result);
        }
    }

    wanif_slots = n;
    db_wanif_idx = 0;
    ek_db_foreach(db.get(), ek_brd_wanif_db_getall_entry, slots.array());
    wanif_slots = 0;

    for (int32_t i = 0; i < slots.size(); i++) {
        if (test(slots[i], result)) break;
    }
    return result;
}

int32_t load_snapshot(int32_t initial, SlotTest test) {
    return load_snapshot(initial, test, keep_result);
}

}  // namespace ek::wanif
