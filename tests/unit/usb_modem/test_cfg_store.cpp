// The USB modem configuration store and the editing of USB id slots.
#include <gtest/gtest.h>
#include <string.h>

#include <ostream>

#include "common/list.h"
#include "ek_brd.h"
#include "fake_platform.h"
#include "store_fixture.h"

namespace {

using namespace usb_test;

class CfgStore : public StoreTest {};

// ------------------------------------------------------------ validity

TEST_F(CfgStore, ValidityNeedsIdCountAndBothIdsOfSlotZero) {
    EXPECT_EQ(ek_brd_lib_usb_modem_cfg_is_entry_valid(nullptr), 0);
    auto c = cfg("m1", {{1, 2}});
    EXPECT_EQ(ek_brd_lib_usb_modem_cfg_is_entry_valid(&c), 1);
    c = cfg("", {{1, 2}});
    EXPECT_EQ(ek_brd_lib_usb_modem_cfg_is_entry_valid(&c), 0);
    c = cfg("m1", {});
    c.usbid[0].vid = 1;  // a pair in slot 0 does not help a count of 0
    c.usbid[0].pid = 2;
    EXPECT_EQ(ek_brd_lib_usb_modem_cfg_is_entry_valid(&c), 0);
    c = cfg("m1", {{0, 2}, {3, 4}});  // later slots do not help either
    EXPECT_EQ(ek_brd_lib_usb_modem_cfg_is_entry_valid(&c), 0);
    c = cfg("m1", {{1, 0}, {3, 4}});
    EXPECT_EQ(ek_brd_lib_usb_modem_cfg_is_entry_valid(&c), 0);
    c = cfg("m1", {{1, 2}});
    c.usbid_num = 0xFFFFFFFFu;  // the count is not checked against 8
    EXPECT_EQ(ek_brd_lib_usb_modem_cfg_is_entry_valid(&c), 1);
    expect_quiet();
}

// ------------------------------------------------------------ add / remove

TEST_F(CfgStore, AddFillsTheNextSlotAndLeavesTheRestOfItAlone) {
    auto c = cfg("m1", {});
    const auto before = bytes(c);
    ek_brd_lib_usb_modem_cfg_entry_add_vid_pid(0x12d1, 0x1506, &c);
    EXPECT_EQ(c.usbid_num, 1u);
    EXPECT_EQ(c.usbid[0].vid, 0x12d1);
    EXPECT_EQ(c.usbid[0].pid, 0x1506);
    auto after = bytes(c);
    // Only the count and slot 0's vid/pid (offsets 40..47) may differ.
    for (size_t i = 0; i < after.size(); i++) {
        if (i >= 40 && i < 48) continue;
        ASSERT_EQ(after[i], before[i]) << "byte " << i;
    }
    ek_brd_lib_usb_modem_cfg_entry_add_vid_pid(0x12d1, 0x1507, &c);  // same vid, other pid
    EXPECT_EQ(c.usbid_num, 2u);
    EXPECT_EQ(c.usbid[1].pid, 0x1507);
}

TEST_F(CfgStore, AddOfPresentPairOrToFullRecordChangesNoByte) {
    auto c = cfg("m1", {{1, 2}, {0xffff, 0xffff}});
    auto before = bytes(c);
    ek_brd_lib_usb_modem_cfg_entry_add_vid_pid(0xffff, 0xffff, &c);
    EXPECT_EQ(bytes(c), before);

    c = cfg("m1", {{1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}, {1, 7}, {1, 8}});
    before = bytes(c);
    ek_brd_lib_usb_modem_cfg_entry_add_vid_pid(9, 9, &c);
    EXPECT_EQ(bytes(c), before);
    expect_quiet();
}

TEST_F(CfgStore, EightAddsFillTheRecordAndTheNinthIsRefused) {
    auto c = cfg("m1", {});
    for (uint16_t i = 1; i <= 9; i++) ek_brd_lib_usb_modem_cfg_entry_add_vid_pid(i, 0x100 + i, &c);
    ASSERT_EQ(c.usbid_num, 8u);
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(c.usbid[i].vid, i + 1);
        EXPECT_EQ(c.usbid[i].pid, 0x100 + i + 1);
    }
    EXPECT_EQ(ek_brd_lib_usb_modem_cfg_is_entry_valid(&c), 1);
}

struct RemoveCase {
    std::vector<Pair> pairs;
    Pair removed;
    std::vector<Pair> left;
};

void PrintTo(const RemoveCase &rc, std::ostream *os) {
    *os << rc.pairs.size() << " pairs, remove " << std::hex << rc.removed.first << ":"
        << rc.removed.second;
}

class CfgRemove : public CfgStore, public ::testing::WithParamInterface<RemoveCase> {};

TEST_P(CfgRemove, MovesLaterPairsUpAndKeepsEverySlotsOwnBytes) {
    const RemoveCase &rc = GetParam();
    auto c = cfg("m1", rc.pairs);
    const auto before = c;
    ek_brd_lib_usb_modem_cfg_entry_remove_vid_pid(rc.removed.first, rc.removed.second, &c);

    if (rc.left == rc.pairs) {
        EXPECT_EQ(bytes(c), bytes(before));
        return;
    }
    ASSERT_EQ(c.usbid_num, rc.left.size());
    for (size_t i = 0; i < rc.left.size(); i++) {
        EXPECT_EQ(c.usbid[i].vid, rc.left[i].first) << "slot " << i;
        EXPECT_EQ(c.usbid[i].pid, rc.left[i].second) << "slot " << i;
    }
    EXPECT_EQ(c.usbid[rc.left.size()].vid, 0);  // the vacated last slot
    EXPECT_EQ(c.usbid[rc.left.size()].pid, 0);
    for (int i = 0; i < EK_USB_MODEM_USBID_MAX; i++) {
        EXPECT_EQ(0, memcmp(c.usbid[i].rest, before.usbid[i].rest, 32)) << "slot " << i;
    }
    for (size_t i = rc.pairs.size(); i < EK_USB_MODEM_USBID_MAX; i++) {
        EXPECT_EQ(bytes(c.usbid[i]), bytes(before.usbid[i])) << "unused slot " << i;
    }
    EXPECT_EQ(0, memcmp(c.modem_id, before.modem_id, sizeof c.modem_id));
    EXPECT_EQ(0, memcmp(c.rest, before.rest, sizeof c.rest));
}

const Pair A{0x1111, 0x0001}, B{0x2222, 0x0002}, C{0x3333, 0x0003};

INSTANTIATE_TEST_SUITE_P(
    Pairs, CfgRemove,
    ::testing::Values(RemoveCase{{A, B, C}, A, {B, C}}, RemoveCase{{A, B, C}, B, {A, C}},
                      RemoveCase{{A, B, C}, C, {A, B}}, RemoveCase{{A}, A, {}},
                      RemoveCase{{A, B, C}, Pair{0x2222, 0x0003}, {A, B, C}}, RemoveCase{{}, A, {}},
                      // A duplicate the add never makes: only the first goes.
                      RemoveCase{{A, B, A, C}, A, {B, A, C}},
                      RemoveCase{{A, B, C, A, B, C, A, B}, B, {A, C, A, B, C, A, B}}));

// A record claiming more than 8 slots is walked as a full one: nothing past
// slot 7 (offset 332 on) is read as a pair or written.
TEST_F(CfgStore, OvercountedRecordsAreWalkedAsEightSlots) {
    for (uint32_t num : {9u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(num);
        auto c = cfg("m1", {{1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}, {1, 7}, {1, 8}});
        c.usbid_num = num;
        // What a ninth slot would hold, planted in the bytes after slot 7.
        const uint16_t ninth[2] = {0x0909, 0x0909};
        memcpy(c.rest, ninth, sizeof ninth);
        const auto before = bytes(c);

        ek_brd_lib_usb_modem_cfg_entry_add_vid_pid(0x0a0a, 0x0a0a, &c);
        EXPECT_EQ(bytes(c), before);
        ek_brd_lib_usb_modem_cfg_entry_remove_vid_pid(0x0909, 0x0909, &c);
        EXPECT_EQ(bytes(c), before);

        ek_brd_lib_usb_modem_cfg_entry_remove_vid_pid(1, 1, &c);
        EXPECT_EQ(c.usbid_num, 7u);
        EXPECT_EQ(c.usbid[6].pid, 8);
        EXPECT_EQ(c.usbid[7].vid, 0);
        EXPECT_EQ(c.usbid[7].pid, 0);
        EXPECT_EQ(0, memcmp(c.rest, before.data() + 332, sizeof c.rest));
    }
}

// ------------------------------------------------------------ store / fetch / delete / count

TEST_F(CfgStore, StoreKeysByModemIdAndFetchReturnsTheWholeRecord) {
    auto c = cfg("modem-7", {{0x12d1, 0x1506}}, 3);
    ASSERT_EQ(ek_brd_lib_usb_modem_db_store_entry(&c), 0);
    auto &recs = fake::db(kCfgDb).records;
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].key, "modem-7");
    EXPECT_EQ(recs[0].value, bytes(c));

    ek_usb_modem_cfg_t out;
    fill(out, 99);
    ASSERT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_modem_id("modem-7", &out), 0);
    EXPECT_EQ(bytes(out), bytes(c));
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_num(), 1);

    // An empty modem id is not refused: it becomes a key of length 0.
    auto unnamed = cfg("", {});
    ASSERT_EQ(ek_brd_lib_usb_modem_db_store_entry(&unnamed), 0);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[1].key, "");
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_num(), 2);

    ASSERT_EQ(ek_brd_lib_usb_modem_db_delete_entry_by_modem_id("modem-7"), 0);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_num(), 1);
    expect_quiet();
    EXPECT_EQ(fake::state().calls.opens, 7);
}

TEST_F(CfgStore, FailedFetchIsSilentAndLeavesOutAlone) {
    fake::put(kCfgDb, "m1", cfg("m1", {{1, 2}}));
    ek_usb_modem_cfg_t out;
    fill(out, 42);
    const auto before = bytes(out);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_modem_id("m2", &out), -1);
    fake::state().faults.fetch_fail = true;
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_modem_id("m1", &out), -1);
    EXPECT_EQ(bytes(out), before);
    expect_quiet();
}

TEST_F(CfgStore, CountIsPassedThroughUnchanged) {
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_num(), 0);
    fake::state().faults.count_result = -7;
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_num(), -7);
}

TEST_F(CfgStore, StoreAndDeleteFailuresAreLoggedWithTheModemId) {
    auto c = cfg("m1", {{1, 2}});
    fake::state().faults.store_fail = true;
    EXPECT_EQ(ek_brd_lib_usb_modem_db_store_entry(&c), -1);
    fake::state().faults.delete_fail = true;
    EXPECT_EQ(ek_brd_lib_usb_modem_db_delete_entry_by_modem_id("m1"), -1);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_delete_entry_by_modem_id(""), -1);
    expect_errors({"usb_modem: store usbmodem cfg entry [key=m1] failed!\n",
                   "usb_modem: delete usbmodem cfg entry [modem_id=m1] failed!\n",
                   "usb_modem: delete usbmodem cfg entry [modem_id=] failed!\n"});
    EXPECT_TRUE(fake::db(kCfgDb).records.empty());
}

TEST_F(CfgStore, OpenFailureIsLoggedWithThePathByEveryFunction) {
    fake::put(kCfgDb, "m1", cfg("m1", {{1, 2}}));
    fake::state().faults.open_fails.insert(kCfgDb);
    auto c = cfg("m2", {{1, 2}});
    ek_usb_modem_cfg_t out;
    fill(out, 5);
    const auto before = bytes(out);
    ek_list_head list;
    ek::list_init(&list);

    EXPECT_EQ(ek_brd_lib_usb_modem_db_store_entry(&c), -1);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_delete_entry_by_modem_id("m1"), -1);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_modem_id("m1", &out), -1);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_num(), -1);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_getall(&list), -1);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_usb_id(1, 2, &out), -1);

    const std::string open_failed = "usb_modem: open DB failed : /tmp/db/usb_modem_cfg\n";
    expect_errors({"usb_modem: open DB failed when store entry: /tmp/db/usb_modem_cfg\n",
                   open_failed, open_failed, open_failed, open_failed, open_failed,
                   "usb_modem: failed to get config from db."});
    EXPECT_EQ(bytes(out), before);
    EXPECT_TRUE(ek::list_empty(&list));
    EXPECT_EQ(list.prev, &list);
    EXPECT_EQ(fake::state().calls.closes, 0);
    EXPECT_EQ(fake::db(kCfgDb).records.size(), 1u);
}

// ------------------------------------------------------------ getall

TEST_F(CfgStore, GetallAppendsInWalkOrderAfterTheCallersNodes) {
    const auto mine = cfg("callers", {}, 7);
    const auto r1 = cfg("m1", {{1, 1}}, 11), r2 = cfg("m2", {{2, 2}}, 22);
    fake::put(kCfgDb, "m1", r1);
    fake::put(kCfgDb, "m2", r2);
    ek_list_head list;
    ek::list_init(&list);
    ek::list_add_tail(make_node(mine), &list);

    ASSERT_EQ(ek_brd_lib_usb_modem_db_getall(&list), 0);
    auto got = drain<ek_usb_modem_cfg_t>(&list);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(bytes(got[0]), bytes(mine));
    EXPECT_EQ(bytes(got[1]), bytes(r1));
    EXPECT_EQ(bytes(got[2]), bytes(r2));
    expect_quiet();
}

TEST_F(CfgStore, GetallDropsRecordsThatCannotBeFetchedOrHeld) {
    for (int i = 0; i < 4; i++) {
        const std::string id = "m" + std::to_string(i);
        fake::put(kCfgDb, id, cfg(id, {{1, static_cast<uint16_t>(i)}}));
    }
    fake::state().faults.fetch_bykey_fail_at = {1};
    ek_list_head list;
    ek::list_init(&list);
    fake::arm_malloc(2);  // the node of the third record
    ASSERT_EQ(ek_brd_lib_usb_modem_db_getall(&list), 0);
    fake::disarm_malloc();
    auto got = drain<ek_usb_modem_cfg_t>(&list);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_STREQ(got[0].modem_id, "m0");
    EXPECT_STREQ(got[1].modem_id, "m3");
    expect_errors({"usb_modem: get usb modem config entry failed!\n",
                   "usb_modem: fail to create usb modem config node."});
}

// ------------------------------------------------------------ lookup by USB id

TEST_F(CfgStore, LookupByUsbIdReturnsTheFirstRecordListingThePair) {
    fake::put(kCfgDb, "m1", cfg("m1", {{1, 1}, {2, 2}}, 11));
    fake::put(
        kCfgDb, "m2",
        cfg("m2", {{9, 9}, {1, 1}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, {0x1234, 0xabcd}}, 22));
    fake::put(kCfgDb, "m3", cfg("m3", {{0x1234, 0xabcd}}, 33));
    ek_usb_modem_cfg_t out;

    ASSERT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_usb_id(1, 1, &out), 0);
    EXPECT_STREQ(out.modem_id, "m1");
    ASSERT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_usb_id(0x1234, 0xabcd, &out), 0);
    EXPECT_EQ(bytes(out), fake::db(kCfgDb).records[1].value);  // slot 7 of m2, not m3
    expect_quiet();
}

TEST_F(CfgStore, LookupWithoutAMatchAnswersMinusOneQuietly) {
    ek_usb_modem_cfg_t out;
    fill(out, 77);
    const auto before = bytes(out);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_usb_id(1, 1, &out), -1);  // empty database

    auto unused = cfg("m1", {{1, 2}});
    unused.usbid[1].vid = 3;  // past usbid_num: not a listed pair
    unused.usbid[1].pid = 4;
    fake::put(kCfgDb, "m1", unused);
    fake::put(kCfgDb, "m2", cfg("m2", {{2, 1}}));
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_usb_id(3, 4, &out), -1);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_usb_id(1, 1, &out), -1);
    EXPECT_EQ(bytes(out), before);
    expect_quiet();
}

TEST_F(CfgStore, LookupSkipsRecordsThatCannotBeLoaded) {
    fake::put(kCfgDb, "m1", cfg("m1", {{1, 1}}, 11));
    fake::put(kCfgDb, "m2", cfg("m2", {{1, 1}}, 22));
    fake::state().faults.fetch_bykey_fail_at = {0};
    ek_usb_modem_cfg_t out;
    ASSERT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_usb_id(1, 1, &out), 0);
    EXPECT_STREQ(out.modem_id, "m2");
    EXPECT_EQ(errors(),
              std::vector<std::string>{"usb_modem: get usb modem config entry failed!\n"});
}

}  // namespace
