// Binary searches of the static-route (16-byte) and VPN internal-subnet
// (36-byte) tables.
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <utility>
#include <vector>

#include "ek_brd.h"

namespace {

using Key = std::pair<uint32_t, uint32_t>;  // compares like the tables' keys

using SearchFn = void (*)(const void *, uint32_t, uint32_t, int, int, int *, int *);

struct Flavour {
    const char *name;
    SearchFn fn;
    size_t stride;
};

void PrintTo(const Flavour &f, std::ostream *os) {
    *os << f.name;
}

const Flavour kRoutes{"static_routes", ek_brd_find_static_route_index_in_brd_static_routes_local,
                      16};
const Flavour kSubnets{"vpn_subnets", ek_brd_find_subnet_index_in_vpn_internal_subnets_local, 36};

// A count word, then records whose first eight bytes are the key; the
// remaining bytes hold a pattern the search must not care about.
std::vector<uint32_t> build(const Flavour &f, const std::vector<Key> &keys, int32_t count) {
    const size_t words = f.stride / 4;
    std::vector<uint32_t> t(1 + words * keys.size(), 0xDEADBEEFu);
    memcpy(t.data(), &count, sizeof count);
    for (size_t i = 0; i < keys.size(); i++) {
        t[1 + words * i] = keys[i].first;
        t[2 + words * i] = keys[i].second;
    }
    return t;
}

std::vector<uint32_t> build(const Flavour &f, const std::vector<Key> &keys) {
    return build(f, keys, static_cast<int32_t>(keys.size()));
}

struct Result {
    int index;
    int found;
};

Result search(const Flavour &f, const std::vector<uint32_t> &t, Key key, int lo, int hi) {
    Result r{-12345, -12345};  // both must be overwritten on every path
    f.fn(t.data(), key.first, key.second, lo, hi, &r.index, &r.found);
    return r;
}

class SortedLookup : public ::testing::TestWithParam<Flavour> {};

TEST_P(SortedLookup, FindsKeysAndInsertionPoints) {
    const Flavour &f = GetParam();
    const auto t = build(f, {{10, 0}, {20, 0}, {30, 0}});
    struct Case {
        Key key;
        int index, found;
    } cases[] = {
        {{20, 0}, 1, 1}, {{10, 0}, 0, 1}, {{30, 0}, 2, 1}, {{5, 0}, 0, 0},
        {{25, 0}, 2, 0}, {{35, 0}, 3, 0}, {{20, 1}, 2, 0}, {{19, 0xFFFFFFFF}, 1, 0},
    };
    for (const Case &c : cases) {
        Result r = search(f, t, c.key, 0, 2);
        EXPECT_EQ(r.index, c.index) << c.key.first << "," << c.key.second;
        EXPECT_EQ(r.found, c.found) << c.key.first << "," << c.key.second;
    }
}

TEST_P(SortedLookup, InvertedBoundsAnswerTheCountWord) {
    const Flavour &f = GetParam();
    Result r = search(f, build(f, {}), {1, 1}, 0, -1);
    EXPECT_EQ(r.index, 0);
    EXPECT_EQ(r.found, 0);

    const auto t = build(f, {{10, 0}, {20, 0}, {30, 0}});
    for (auto [lo, hi] : {std::pair{2, 1}, {3, 0}, {0, -1}, {INT_MAX, INT_MIN}}) {
        r = search(f, t, {20, 0}, lo, hi);
        EXPECT_EQ(r.index, 3) << lo << ".." << hi;
        EXPECT_EQ(r.found, 0);
    }
    // Whatever the count word says, even a value no table could have.
    r = search(f, build(f, {{10, 0}}, -7), {10, 0}, 1, 0);
    EXPECT_EQ(r.index, -7);
}

TEST_P(SortedLookup, KeyWordsCompareUnsigned) {
    const Flavour &f = GetParam();
    const auto t = build(f, {{20, 0},
                             {20, 1},
                             {20, 0x7FFFFFFF},
                             {20, 0x80000000},
                             {20, 0xFFFFFFFF},
                             {0x7FFFFFFF, 0},
                             {0x80000000, 0},
                             {0xFFFFFFFF, 0xFFFFFFFF}});
    for (int i = 0; i < 8; i++) {
        uint32_t k0 = t[1 + f.stride / 4 * i], k1 = t[2 + f.stride / 4 * i];
        Result r = search(f, t, {k0, k1}, 0, 7);
        EXPECT_EQ(r.index, i);
        EXPECT_EQ(r.found, 1);
    }
    Result r = search(f, t, {0x80000000, 1}, 0, 7);
    EXPECT_EQ(r.index, 7);
    EXPECT_EQ(r.found, 0);
    r = search(f, t, {21, 0}, 0, 7);
    EXPECT_EQ(r.index, 5);
    EXPECT_EQ(r.found, 0);
}

// Random sorted tables, with few distinct words so that duplicates and the
// sign-bit corners turn up, searched over random sub-ranges and checked
// against std::lower_bound / std::equal_range on the same sub-range.
TEST_P(SortedLookup, AgreesWithLowerBoundOnRandomTables) {
    const Flavour &f = GetParam();
    const uint32_t words[] = {0,          1,          2,          0x7FFFFFFE, 0x7FFFFFFF,
                              0x80000000, 0x80000001, 0xFFFFFFFE, 0xFFFFFFFF};
    std::mt19937 rng(20240611u);
    auto pick = [&] { return words[rng() % std::size(words)]; };
    for (int round = 0; round < 3000; round++) {
        std::vector<Key> keys(rng() % 24);
        for (Key &k : keys) k = {pick(), pick()};
        std::sort(keys.begin(), keys.end());
        const auto t = build(f, keys);
        const int n = static_cast<int>(keys.size());
        int lo = 0, hi = n - 1;
        if (n > 0 && rng() % 2 == 0) {
            lo = static_cast<int>(rng() % n);
            hi = lo + static_cast<int>(rng() % (n - lo));
        }
        const Key key = (n > 0 && rng() % 2 == 0) ? keys[rng() % n] : Key{pick(), pick()};
        const Result r = search(f, t, key, lo, hi);

        auto first = keys.begin(), last = keys.begin();
        if (n > 0) {
            first += lo;
            last += hi + 1;
        }
        auto [eq_lo, eq_hi] = std::equal_range(first, last, key);
        SCOPED_TRACE(::testing::Message()
                     << "round " << round << " n " << n << " lo " << lo << " hi " << hi << " key "
                     << key.first << "," << key.second);
        if (eq_lo != eq_hi) {
            ASSERT_EQ(r.found, 1);
            ASSERT_GE(r.index, eq_lo - keys.begin());  // any one of the equal records
            ASSERT_LT(r.index, eq_hi - keys.begin());
        } else {
            ASSERT_EQ(r.found, 0);
            ASSERT_EQ(r.index, std::lower_bound(first, last, key) - keys.begin());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothStrides, SortedLookup, ::testing::Values(kRoutes, kSubnets),
                         [](const auto &p) { return std::string(p.param.name); });

}  // namespace
