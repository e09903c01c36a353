// The snapshot load of wanif_db that every multi-record query runs: lock,
// open, copy every record into zero-filled buffers, scan the copies, free,
// close, unlock.
#pragma once

#include <stdint.h>
#include <string.h>

#include <memory>
#include <type_traits>

#include "ek_brd.h"

namespace ek::wanif {

inline constexpr const char *kDbName = "/tmp/db/wanif_db";

// Interface names agree when they agree over at most the 16 bytes of the
// record's ifname, which is not terminated when it fills them.
inline constexpr size_t kIfnameLen = sizeof(ek_wanif_entry_t::ifname);

inline bool ifname_equals(const ek_wanif_entry_t &rec, const char *name) {
    return name != nullptr && strncmp(rec.ifname, name, kIfnameLen) == 0;
}

// A non-owning reference to a callable, so that the load is compiled once
// and each query passes its test without a heap-allocated wrapper. Only
// valid while the referenced callable lives: pass temporaries as arguments.
template <typename Sig>
class FunctionRef;

template <typename R, typename... A>
class FunctionRef<R(A...)> {
public:
    template <typename F,
              typename = std::enable_if_t<!std::is_same_v<std::remove_cvref_t<F>, FunctionRef>>>
    FunctionRef(F &&f)  // NOLINT: implicit, like a function pointer
        : obj_(const_cast<void *>(static_cast<const void *>(std::addressof(f)))),
          call_([](void *obj, A... args) -> R {
              return (*static_cast<std::remove_reference_t<F> *>(obj))(static_cast<A>(args)...);
          }) {}
    R operator()(A... args) const { return call_(obj_, static_cast<A>(args)...); }

private:
    void *obj_;
    R (*call_)(void *, A...);
};

// The points where the load gives up before or without scanning.
enum class LoadFailure {
    open,          // the database could not be opened
    empty,         // it holds no records
    array_alloc,   // the pointer array could not be allocated
    record_alloc,  // one record buffer could not be allocated
};

// Visits one slot; sets result and returns true to end the visit.
using SlotTest = FunctionRef<bool(const ek_wanif_entry_t &slot, int32_t &result)>;
// Told of a failure point after its log line, with the path and the result
// so far; returns the result the load answers with.
using FailureHook = FunctionRef<int32_t(LoadFailure what, const char *path, int32_t result)>;

// The queries' answer to every failure is their initial result.
int32_t load_snapshot(int32_t initial, SlotTest test);
int32_t load_snapshot(int32_t initial, SlotTest test, FailureHook on_failure);

}  // namespace ek::wanif
