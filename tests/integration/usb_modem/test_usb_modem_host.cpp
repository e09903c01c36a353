// The USB modem lock and stores against the host platform, across processes,
// and the editing of a configuration's USB id slots.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <tuple>
#include <vector>

#include "common/db_session.h"
#include "ek_brd.h"
#include "host/child.h"
#include "platform/ek_db.h"
#include "store_fixture.h"

namespace {

using namespace hosttest;
using usb_test::bytes;
using usb_test::modeswitch;
using usb_test::Pair;
const Pair kNinth{0x0909, 0x0909};

// A ninth pair lies just past slot 7.
ek_usb_modem_cfg_t cfg(const std::vector<Pair> &pairs, uint32_t num) {
    auto c = usb_test::cfg("m1", pairs);
    c.usbid_num = num;
    memcpy(c.rest, &kNinth, sizeof kNinth);
    return c;
}

TEST(UsbModemHost, LockExcludesOtherProcessesUntilItsHolderIsKilled) {
    StartGate locked;
    pid_t holder = spawn([&locked] {
        void *shm = nullptr;
        if (ek_brd_lib_usb_modem_init() != 0 || ek_brd_lib_usb_modem_get_shm(&shm) != 0) return 1;
        strcpy(static_cast<char *>(shm), "held");
        if (ek_brd_lib_usb_modem_cfg_lock() != 0) return 1;
        locked.release();
        pause();
        return 0;
    });
    locked.wait();
    // Other processes attach the segment by its key and size.
    const int shm_id = shmget(EK_USB_MODEM_SHM_KEY, EK_USB_MODEM_SHM_SIZE, 0);
    ASSERT_GE(shm_id, 0);
    EXPECT_STREQ(static_cast<const char *>(shmat(shm_id, nullptr, SHM_RDONLY)), "held");

    unsigned patience = 2;  // seconds a taker may wait for the lock
    auto taker = [&patience] {
        alarm(patience);
        if (ek_brd_lib_usb_modem_init() != 0 || ek_brd_lib_usb_modem_cfg_lock() != 0 ||
            ek_brd_lib_usb_modem_cfg_unlock() != 0 || ek_brd_lib_usb_modem_cfg_lock() != 0 ||
            ek_brd_lib_usb_modem_cfg_unlock() != 0)
            return 1;
        // Once the semaphore is gone, its failure is the lock's answer.
        semctl(semget(EK_USB_MODEM_SEM_KEY, 1, 0), 0, IPC_RMID);
        return ek_brd_lib_usb_modem_cfg_lock() == -1 && ek_brd_lib_usb_modem_cfg_unlock() == -1 ? 0
                                                                                                : 2;
    };
    EXPECT_EQ(wait_child(spawn(taker)), 128 + SIGALRM);
    ASSERT_EQ(kill(holder, SIGKILL), 0);
    EXPECT_EQ(wait_child(holder), 128 + SIGKILL);
    patience = 30;
    EXPECT_EQ(wait_child(spawn(taker)), 0);
}

TEST(UsbModemHost, StoresHandRecordsToOtherProcesses) {
    const Pair last{0x1234, 0xabcd};
    const ek_usb_modem_cfg_t cfgs[] = {
        usb_test::cfg("m1", {{1, 1}, {2, 2}}, 11),
        usb_test::cfg("m2", {{9, 9}, {1, 1}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, last}, 22),
        usb_test::cfg("m3", {last}, 33)};
    const ek_usb_modeswitch_t ms[] = {modeswitch(0x1a2b, 0x0003, 4), modeswitch(0xffff, 0, 5),
                                      modeswitch(0x1a2b, 0x0004, 6)};
    ASSERT_EQ(wait_child(spawn([&] {
                  int rc = 0;
                  for (const auto &m : ms)
                      rc |= ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry(&m);
                  for (const auto &c : cfgs) rc |= ek_brd_lib_usb_modem_db_store_entry(&c);
                  return rc;
              })),
              0);
    // Other processes look a mode-switch record up by its ids in lowercase hex.
    ek_usb_modem_cfg_t out;
    ek_usb_modeswitch_t m;
    ek_db_handle_t db = ek_db_open_ex(usb_test::kModeswitchDb, EK_DB_MODE);
    EXPECT_EQ(ek_db_fetch(db, "ffff0000", 8, &m), 0);
    EXPECT_EQ(bytes(m), bytes(ms[1]));
    // A record under a key that disagrees with its ids is found by its ids.
    const auto odd = modeswitch(0x05c6, 0x1000, 7);
    EXPECT_EQ(ek_db_store(db, "1a2b0003", 8, &odd, sizeof odd), 0);
    ek_db_close(db);
    // The longest database path fits the buffer every path is formatted into.
    EXPECT_GT(ek::kDbPathSize, strlen(usb_test::kModeswitchDb));

    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_num(), 3);
    ASSERT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_modem_id("m3", &out), 0);
    EXPECT_EQ(bytes(out), bytes(cfgs[2]));
    // The first record in the file's order that lists the pair in a used slot.
    ASSERT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_usb_id(last.first, last.second, &out), 0);
    EXPECT_EQ(bytes(out), bytes(cfgs[1]));
    const ek_usb_modem_usbid_t &unused = cfgs[0].usbid[2];
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_usb_id(unused.vid, unused.pid, &out), -1);
    ASSERT_EQ(ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(0x05c6, 0x1000, &m), 0);
    EXPECT_EQ(bytes(m), bytes(odd));
    ASSERT_EQ(ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(0x1a2b, 0x0004, &m), 0);
    EXPECT_EQ(bytes(m), bytes(ms[2]));
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(0x1a2b, 0x0003, &m), -1);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_delete_entry_by_modem_id("m2"), 0);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_delete_usb_modeswitch_entry(0x1a2b, 0x0004), 0);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_num(), 2);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(0x1a2b, 0x0004, &m), -1);
}

TEST(UsbModemHost, ValidityNeedsAnIdACountAndBothIdsOfSlotZero) {
    EXPECT_EQ(ek_brd_lib_usb_modem_cfg_is_entry_valid(nullptr), 0);
    const std::tuple<const char *, Pair, uint32_t, int> rows[] = {
        {"m1", {1, 2}, 1, 1}, {"", {1, 2}, 1, 0},   {"m1", {1, 2}, 0, 0},
        {"m1", {0, 2}, 2, 0}, {"m1", {1, 0}, 2, 0}, {"m1", {1, 2}, 0xFFFFFFFFu, 1}};
    for (const auto &[id, pair, num, valid] : rows) {
        auto c = cfg({pair, {3, 4}}, num);
        strcpy(c.modem_id, id);
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_is_entry_valid(&c), valid) << id << " " << num;
    }
}

// Adding fills the next slot unless the pair is listed or 8 slots are used;
// removing moves the later pairs up and clears the vacated last slot. No
// other byte changes. A record claiming more than 8 slots (other processes
// write the same file) is walked as a full one: nothing past slot 7 is read.
TEST(UsbModemHost, EditingChangesOnlyTheCountAndTheSlotsIds) {
    auto *add = ek_brd_lib_usb_modem_cfg_entry_add_vid_pid;
    auto *remove = ek_brd_lib_usb_modem_cfg_entry_remove_vid_pid;
    const Pair A{0x1111, 1}, B{0x2222, 2}, C{0x3333, 3}, X{0x0a0a, 0x0a0a};
    const std::vector<Pair> full = {{1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}, {1, 7}, {1, 8}};
    const std::vector<Pair> seven(full.begin() + 1, full.end());
    // the edit, the pairs, their count, the pair added or removed, the pairs after
    const std::tuple<decltype(add), std::vector<Pair>, uint32_t, Pair, std::vector<Pair>> rows[] = {
        {add, {}, 0, A, {A}},
        {add, {A}, 1, {A.first, 2}, {A, {A.first, 2}}},
        {add, {A, B}, 2, B, {A, B}},
        {add, full, 8, X, full},
        {add, full, 0xFFFFFFFFu, X, full},
        {remove, {A, B, C}, 3, A, {B, C}},
        {remove, {A, B, C}, 3, {B.first, C.second}, {A, B, C}},
        {remove, {A, B, A, C}, 4, A, {B, A, C}},
        {remove, full, 0xFFFFFFFFu, kNinth, full},
        {remove, full, 9, {1, 1}, seven},
    };
    for (size_t i = 0; i < std::size(rows); i++) {
        const auto &[edit, before, num, pair, after] = rows[i];
        auto c = cfg(before, num);
        auto want = c;
        edit(pair.first, pair.second, &c);
        if (after != before) {
            want = cfg(after, static_cast<uint32_t>(after.size()));
            if (edit == remove) want.usbid[after.size()].vid = want.usbid[after.size()].pid = 0;
        }
        EXPECT_EQ(bytes(c), bytes(want)) << "row " << i;
    }
}

}  // namespace
