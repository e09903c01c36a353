// Binary search of the sorted route and subnet tables: a count word, then
// fixed-size records that begin with a two-word key.
//
// The step order is part of the contract: the bounds are tested before the
// midpoint, hi < lo answers the table's count (not lo), and the caller gets
// both results on every path. Keys sort by the first word, then the second,
// both unsigned, which is exactly the order of the 64-bit value first:second.
#include <stdint.h>
#include <string.h>

#include "ek_brd.h"

namespace {

constexpr uint32_t kRecordsOffset = 4;  // behind the count word

struct Table {
    const uint8_t *base;

    // The table belongs to the caller; memcpy keeps the reads free of any
    // alignment assumption about it.
    int32_t count() const {
        int32_t n;
        memcpy(&n, base, sizeof n);
        return n;
    }
};

template <uint32_t Stride>
uint64_t key_at(Table t, int64_t j) {
    const uint8_t *rec = t.base + kRecordsOffset + static_cast<ptrdiff_t>(Stride) * j;
    uint32_t w[2];
    memcpy(w, rec, sizeof w);
    return (static_cast<uint64_t>(w[0]) << 32) | w[1];
}

// On a sorted table the bound tests keep the key between record[lo] and
// record[hi], so only the caller's bounds can give hi < lo; the test stays
// in the loop so that an unsorted table is searched the same way too.
template <uint32_t Stride>
void search(const void *table, uint32_t key0, uint32_t key1, int32_t lo32, int32_t hi32, int *index,
            int *found) {
    const Table t{static_cast<const uint8_t *>(table)};
    const uint64_t key = (static_cast<uint64_t>(key0) << 32) | key1;
    // Widened so that lo + hi, mid - 1 and hi + 1 cannot overflow whatever
    // the caller passes; the halving truncates toward zero like the 32-bit
    // division does.
    int64_t lo = lo32;
    int64_t hi = hi32;
    *found = 0;
    for (;;) {
        if (hi < lo) {
            *index = t.count();
            return;
        }
        if (key_at<Stride>(t, lo) > key) {
            *index = static_cast<int32_t>(lo);
            return;
        }
        if (key_at<Stride>(t, hi) < key) {
            *index = static_cast<int32_t>(hi + 1);
            return;
        }
        const int64_t mid = (lo + hi) / 2;
        const uint64_t at_mid = key_at<Stride>(t, mid);
        if (at_mid == key) {
            *index = static_cast<int32_t>(mid);
            *found = 1;
            return;
        }
        if (at_mid > key) {
            hi = mid - 1;
        } else {
            lo = mid + 1;
        }
    }
}

}  // namespace

extern "C" {

void ek_brd_find_static_route_index_in_brd_static_routes_local(const void *table, uint32_t key0,
                                                               uint32_t key1, int lo, int hi,
                                                               int *index, int *found) {
    search<16>(table, key0, key1, lo, hi, index, found);
}

void ek_brd_find_subnet_index_in_vpn_internal_subnets_local(const void *table, uint32_t key0,
                                                            uint32_t key1, int lo, int hi,
                                                            int *index, int *found) {
    search<36>(table, key0, key1, lo, hi, index, found);
}

}  // extern "C"
