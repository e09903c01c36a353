// The mode-switch store: its "%04x%04x" key, its messages and its fetch by
// record fields.
#include <gtest/gtest.h>
#include <string.h>

#include "common/list.h"
#include "ek_brd.h"
#include "fake_platform.h"
#include "store_fixture.h"

namespace {

using namespace usb_test;

class ModeswitchStore : public StoreTest {};

TEST_F(ModeswitchStore, StoreKeysByZeroPaddedLowercaseHexIds) {
    const auto m = modeswitch(0x1a2b, 0x0003, 4);
    ASSERT_EQ(ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry(&m), 0);
    const auto other = modeswitch(0xffff, 0x0000, 5);
    ASSERT_EQ(ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry(&other), 0);
    const auto again = modeswitch(0x1a2b, 0x0003, 6);  // same ids, same key
    ASSERT_EQ(ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry(&again), 0);

    const auto &recs = fake::db(kModeswitchDb).records;
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].key, "1a2b0003");
    EXPECT_EQ(recs[0].value, bytes(again));
    EXPECT_EQ(recs[1].key, "ffff0000");
    EXPECT_EQ(recs[1].value, bytes(other));
    expect_quiet();
}

TEST_F(ModeswitchStore, DeleteUsesTheSameKeyAndReportsWhatTheDatabaseSays) {
    fake::put(kModeswitchDb, "1a2b0003", modeswitch(0x1a2b, 0x0003));
    EXPECT_EQ(ek_brd_lib_usb_modem_db_delete_usb_modeswitch_entry(0x1a2b, 0x0003), 0);
    EXPECT_TRUE(fake::db(kModeswitchDb).records.empty());
    expect_quiet();
    // The fake's delete of an absent key fails, so the absent pair is logged.
    EXPECT_EQ(ek_brd_lib_usb_modem_db_delete_usb_modeswitch_entry(0x1a2b, 0x0003), -1);
    expect_errors(
        {"usb_modem: delete modeswitch entry (key=1a2b0003) [vid=0x1a2b, pid=0x3] failed!\n"});
}

TEST_F(ModeswitchStore, StoreFailureQuotesKeyAndUnpaddedIds) {
    fake::state().faults.store_fail = true;
    const auto m = modeswitch(0x0001, 0x00f0);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry(&m), -1);
    expect_errors(
        {"usb_modem: store modeswitch entry (key=000100f0) [vid=0x1, pid=0xf0] failed!\n"});
}

TEST_F(ModeswitchStore, OpenFailureIsLoggedWithThePathByEveryFunction) {
    fake::state().faults.open_fails.insert(kModeswitchDb);
    const auto m = modeswitch(1, 2);
    ek_usb_modeswitch_t out;
    fill(out, 9);
    const auto before = bytes(out);
    ek_list_head list;
    ek::list_init(&list);

    EXPECT_EQ(ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry(&m), -1);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_delete_usb_modeswitch_entry(1, 2), -1);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_getall_usb_modeswitch(&list), -1);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(1, 2, &out), -1);

    const std::string open_failed = "usb_modem: open DB failed : /tmp/db/usb_modem_mode_switch\n";
    expect_errors(
        {"usb_modem: open DB failed when store modeswitch entry: /tmp/db/usb_modem_mode_switch\n",
         open_failed, open_failed, open_failed, "usb_modem: failed to get modeswitch from db."});
    EXPECT_EQ(bytes(out), before);
    EXPECT_TRUE(ek::list_empty(&list));
    EXPECT_EQ(fake::state().calls.closes, 0);
}

TEST_F(ModeswitchStore, GetallAppendsAfterTheCallersNodesAndDropsWhatItCannotHold) {
    const auto mine = modeswitch(0, 0, 3);
    for (uint16_t i = 0; i < 4; i++) {
        char key[9];
        snprintf(key, sizeof key, "%04x%04x", 0x10u + i, 0x20u);
        fake::put(kModeswitchDb, key, modeswitch(static_cast<uint16_t>(0x10 + i), 0x20, 10 + i));
    }
    fake::state().faults.fetch_bykey_fail_at = {2};
    ek_list_head list;
    ek::list_init(&list);
    ek::list_add_tail(make_node(mine), &list);
    fake::arm_malloc(0);  // the node of the first record
    ASSERT_EQ(ek_brd_lib_usb_modem_db_getall_usb_modeswitch(&list), 0);
    fake::disarm_malloc();

    auto got = drain<ek_usb_modeswitch_t>(&list);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(bytes(got[0]), bytes(mine));
    EXPECT_EQ(bytes(got[1]), bytes(modeswitch(0x11, 0x20, 11)));
    EXPECT_EQ(bytes(got[2]), bytes(modeswitch(0x13, 0x20, 13)));
    expect_errors({"usb_modem: fail to create usb modem mode switch node.",
                   "usb_modem: get usb modem mode switch entry failed!\n"});
}

TEST_F(ModeswitchStore, FetchMatchesRecordFieldsNotKeysFirstInWalkOrder) {
    // Stored under keys that disagree with the ids the records carry.
    fake::put(kModeswitchDb, "00000000", modeswitch(0x05c6, 0x1000, 1));
    fake::put(kModeswitchDb, "12d11506", modeswitch(0x12d1, 0x1f01, 2));
    fake::put(kModeswitchDb, "12d11f01", modeswitch(0x12d1, 0x1f01, 3));
    ek_usb_modeswitch_t out;
    ASSERT_EQ(ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(0x12d1, 0x1f01, &out), 0);
    EXPECT_EQ(bytes(out), bytes(modeswitch(0x12d1, 0x1f01, 2)));
    ASSERT_EQ(ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(0x05c6, 0x1000, &out), 0);
    EXPECT_EQ(bytes(out), bytes(modeswitch(0x05c6, 0x1000, 1)));
    expect_quiet();
}

TEST_F(ModeswitchStore, FetchOfAnAbsentPairAnswersMinusOneQuietly) {
    ek_usb_modeswitch_t out;
    fill(out, 8);
    const auto before = bytes(out);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(1, 2, &out), -1);  // empty
    fake::put(kModeswitchDb, "00010002", modeswitch(2, 1));  // key matches, fields do not
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(1, 2, &out), -1);
    EXPECT_EQ(bytes(out), before);
    expect_quiet();
}

}  // namespace
