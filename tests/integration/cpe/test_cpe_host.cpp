// The CPE tables on the host platform: the NAT policy table in the SysV
// segment that separate processes share, and the sorted lookups.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ek_brd.h"
#include "host/child.h"

namespace {

// Every use of the segment runs in a child with its own attach (the test
// process never attaches, so none inherits one); it prints its own failures.
bool in_child(const std::function<void(ek_nat_policy_t *)> &body) {
    return hosttest::wait_child(hosttest::spawn([&] {
               void *cpe = ek_brd_get_cpe_shm_data();
               body(static_cast<ek_nat_policy_t *>(
                   static_cast<void *>(static_cast<uint8_t *>(cpe) + EK_BRD_CPE_NAT_TABLE_OFFSET)));
               fflush(stdout);
               return ::testing::Test::HasFailure() ? 1 : 0;
           })) == 0;
}

TEST(CpeHost, NatPoliciesSavedByOneProcessAreFoundByAnother) {
    const std::string longest(32, 'q');
    ASSERT_TRUE(in_child([&](ek_nat_policy_t *slots) {
        ek_brd_cpe_shm_save_nat_policy(1, "gone", 2);
        memset(slots[0].rsv_33, 0x5A, sizeof slots[0].rsv_33);
        ek_brd_cpe_shm_delete_nat_policy(1);
        const ek_nat_policy_t zero{};
        EXPECT_EQ(memcmp(&slots[0], &zero, sizeof zero), 0);  // the whole slot cleared
        EXPECT_EQ(ek_brd_cpe_shm_request_nat_policy_id(), 1);
        EXPECT_EQ(ek_brd_cpe_shm_request_nat_policy_id(), 1);  // nothing is reserved
        ek_brd_cpe_shm_save_nat_policy(1, "wan_nat", 2);
        ek_brd_cpe_shm_save_nat_policy(2, "", 2);  // leaves the slot free
        ek_brd_cpe_shm_save_nat_policy(3, "dup", 2);
        ek_brd_cpe_shm_save_nat_policy(4, "Dup", 1);
        ek_brd_cpe_shm_save_nat_policy(5, "dup", 1);
        memset(slots[5].name, 'n', sizeof slots[5].name);  // another writer's, unterminated
        slots[5].type = 2;
        for (int i : {5, 6}) memset(slots[i].rsv_33, 0xAB, sizeof slots[i].rsv_33);
        ek_brd_cpe_shm_save_nat_policy(7, "a much longer name", 1);
        ek_brd_cpe_shm_save_nat_policy(7, "ab", -3);
        ek_brd_cpe_shm_save_nat_policy(128, (longest + "cut").c_str(), INT_MIN);
        auto *cpe = static_cast<uint8_t *>(ek_brd_get_cpe_shm_data());
        const std::vector<uint8_t> before(cpe, cpe + EK_BRD_CPE_SHM_SIZE);
        for (int id : {0, -1, 129, INT_MAX, INT_MIN}) ek_brd_cpe_shm_save_nat_policy(id, "x", 2);
        EXPECT_TRUE(std::equal(before.begin(), before.end(), cpe));
    }));
    ASSERT_TRUE(in_child([&](const ek_nat_policy_t *slots) {
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id("wan_nat"), 1);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id("dup"), 3);  // the lowest id of the name
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id(""), 0);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id(std::string(33, 'n').c_str()), 6);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id(longest.c_str()), 128);
        EXPECT_EQ(ek_brd_cpe_shm_request_nat_policy_id(), 2);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_name(1), slots[0].name);  // not a copy
        EXPECT_STREQ(ek_brd_cpe_shm_get_nat_policy_name(128), longest.c_str());
        EXPECT_STREQ(ek_brd_cpe_shm_get_nat_policy_name(2), "");
        for (int id : {0, -5}) EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_name(id), nullptr);
        // A shorter name leaves no tail behind, and the pad bytes alone.
        EXPECT_EQ(std::string(slots[6].name, 33), "ab" + std::string(31, '\0'));
        EXPECT_EQ(std::string(slots[6].rsv_33, slots[6].rsv_33 + 3), std::string(3, '\xAB'));
        char buf[1024] = "head\n";
        for (int i = -1; i <= EK_BRD_CPE_NAT_POLICY_MAX; i++)
            ek_brd_cpe_shm_get_nat_policy_output(i, buf);
        const std::string at = "\tnat_policy_id|name|type: ";
        EXPECT_EQ(buf, "head\n" + at + "1|wan_nat|2\n" + at + "3|dup|2\n" + at + "4|Dup|1\n" + at +
                           "5|dup|1\n" + at + "6|" + std::string(32, 'n') + "|2\n" + at +
                           "7|ab|-3\n" + at + "128|" + longest + "|-2147483648\n");
        const auto valid = ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface;
        for (const char *ifname : {"tunnel0", "tunnel", "tunnelX9"})
            EXPECT_EQ(valid("Dup", ifname) - valid("dup", ifname), 1) << ifname;  // type 1 only
        for (const char *ifname : {"Tunnel0", "tunne", "eth0", ""})
            EXPECT_EQ(valid("dup", ifname) - valid("Dup", ifname), 1) << ifname;  // type 2 only
        EXPECT_EQ(valid("ab", "eth0") + valid("ab", "tunnel0") + valid("no", "eth0"), 0);
        ek_brd_cpe_shm_delete_nat_policy(3);
    }));
    ASSERT_TRUE(
        in_child([](ek_nat_policy_t *) { EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id("dup"), 5); }));
}

// Random sorted tables with few distinct words, so that equal keys and the
// sign-bit corners turn up, searched over random ranges (empty ones too)
// against std::equal_range; the words behind each key must not matter.
TEST(CpeHost, SortedLookupsAgreeWithEqualRange) {
    using Key = std::pair<uint32_t, uint32_t>;
    using Search = void (*)(const void *, uint32_t, uint32_t, int, int, int *, int *);
    const std::pair<Search, size_t> searches[] = {
        {ek_brd_find_static_route_index_in_brd_static_routes_local, 4},
        {ek_brd_find_subnet_index_in_vpn_internal_subnets_local, 9}};
    const uint32_t words[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    std::mt19937 rng(20240611u);
    auto pick = [&] { return words[rng() % std::size(words)]; };
    for (auto [search, stride] : searches) {
        for (int round = 0; round < 3000; round++) {
            std::vector<Key> keys(rng() % 24);
            for (Key &k : keys) k = {pick(), pick()};
            std::sort(keys.begin(), keys.end());
            const int n = static_cast<int>(keys.size());
            std::vector<uint32_t> table(1 + stride * keys.size(), 0xDEADBEEFu);
            table[0] = static_cast<uint32_t>(n);
            for (size_t i = 0; i < keys.size(); i++)
                std::tie(table[1 + stride * i], table[2 + stride * i]) = keys[i];
            const int lo = static_cast<int>(rng() % (n + 1));
            const int hi = lo - 1 + static_cast<int>(rng() % (n - lo + 1));
            const Key key = n > 0 && rng() % 2 == 0 ? keys[rng() % n] : Key{pick(), pick()};
            int index = -12345, found = -12345;
            search(table.data(), key.first, key.second, lo, hi, &index, &found);
            SCOPED_TRACE(::testing::Message() << "stride " << stride << " round " << round);
            const auto [eq_lo, eq_hi] =
                std::equal_range(keys.begin() + lo, keys.begin() + (hi + 1), key);
            const long first = eq_lo - keys.begin(), last = eq_hi - keys.begin();
            ASSERT_EQ(found, last > first ? 1 : 0);
            // Any one of equal keys; an empty range answers the count word.
            ASSERT_GE(index, hi < lo ? n : first);
            ASSERT_LE(index, hi < lo ? n : std::max(first, last - 1));
        }
    }
}

}  // namespace
