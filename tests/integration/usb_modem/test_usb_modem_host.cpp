// The USB modem lock and stores against the host platform, across processes,
// and the editing of a configuration's USB id slots.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <tuple>
#include <utility>
#include <vector>

#include "ek_brd.h"
#include "host/child.h"
#include "platform/ek_db.h"

namespace {

using namespace hosttest;
using Pair = std::pair<uint16_t, uint16_t>;
const Pair kNinth{0x0909, 0x0909};

// Position-dependent bytes: a stray write anywhere shows in a whole-record compare.
template <typename T>
T filled(uint8_t seed) {
    T v;
    for (size_t i = 0; i < sizeof v; i++)
        reinterpret_cast<uint8_t *>(&v)[i] = uint8_t(i * 7 + seed);
    return v;
}

// The count defaults to the number of pairs; a ninth pair lies just past slot 7.
ek_usb_modem_cfg_t cfg(const char *id, const std::vector<Pair> &pairs, int64_t num = -1,
                       uint8_t seed = 1) {
    auto c = filled<ek_usb_modem_cfg_t>(seed);
    strcpy(c.modem_id, id);
    c.usbid_num = static_cast<uint32_t>(num < 0 ? pairs.size() : num);
    memcpy(c.rest, &kNinth, sizeof kNinth);
    for (size_t i = 0; i < pairs.size(); i++) {
        c.usbid[i].vid = pairs[i].first;
        c.usbid[i].pid = pairs[i].second;
    }
    return c;
}

ek_usb_modeswitch_t modeswitch(uint16_t vid, uint16_t pid, uint8_t seed = 1) {
    auto m = filled<ek_usb_modeswitch_t>(seed);
    m.vid = vid;
    m.pid = pid;
    return m;
}

template <typename T>
bool same(const T &a, const T &b) {
    return memcmp(&a, &b, sizeof a) == 0;
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

// Lists a store twice into one list, the second listing after the first.
template <typename Record>
std::vector<Record> listed(int (*getall)(ek_list_head *)) {
    ek_list_head head{&head, &head};
    EXPECT_EQ(getall(&head), 0);
    EXPECT_EQ(getall(&head), 0);
    std::vector<Record> out;
    for (ek_list_head *link = head.next, *next; link != &head; link = next) {
        EXPECT_EQ(link->next->prev, link);
        next = link->next;
        memcpy(&out.emplace_back(), link + 1, sizeof(Record));
        free(link);
    }
    return out;
}

TEST(UsbModemHost, StoresHandRecordsToOtherProcesses) {
    const Pair last{0x1234, 0xabcd};
    const ek_usb_modem_cfg_t cfgs[] = {
        cfg("m1", {{1, 1}, {2, 2}}, -1, 11),
        cfg("m2", {{9, 9}, {1, 1}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, last}, -1, 22),
        cfg("m3", {last}, -1, 33)};
    const ek_usb_modeswitch_t ms[] = {modeswitch(0x1a2b, 0x0003, 4), modeswitch(0xffff, 0, 5),
                                      modeswitch(0x1a2b, 0x0004, 6)};
    const pid_t writer = spawn([&] {
        int rc = 0;
        for (const auto &m : ms) rc |= ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry(&m);
        for (const auto &c : cfgs) rc |= ek_brd_lib_usb_modem_db_store_entry(&c);
        return rc;
    });
    ASSERT_EQ(wait_child(writer), 0);
    // Other processes look a mode-switch record up by its ids in lowercase hex.
    ek_usb_modem_cfg_t out;
    ek_usb_modeswitch_t m;
    ek_db_handle_t db = ek_db_open_ex("/tmp/db/usb_modem_mode_switch", EK_DB_MODE);
    EXPECT_EQ(ek_db_fetch(db, "ffff0000", 8, &m), 0);
    EXPECT_TRUE(same(m, ms[1]));
    // A record under a key that disagrees with its ids is found by its ids.
    const auto odd = modeswitch(0x05c6, 0x1000, 7);
    EXPECT_EQ(ek_db_store(db, "1a2b0003", 8, &odd, sizeof odd), 0);
    ek_db_close(db);

    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_num(), 3);
    ASSERT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_modem_id("m3", &out), 0);
    EXPECT_TRUE(same(out, cfgs[2]));
    // The first record in the file's order that lists the pair in a used slot.
    ASSERT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_usb_id(last.first, last.second, &out), 0);
    EXPECT_TRUE(same(out, cfgs[1]));
    const ek_usb_modem_usbid_t &unused = cfgs[0].usbid[2];
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_usb_id(unused.vid, unused.pid, &out), -1);
    ASSERT_EQ(ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(0x05c6, 0x1000, &m), 0);
    EXPECT_TRUE(same(m, odd));
    ASSERT_EQ(ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(0x1a2b, 0x0004, &m), 0);
    EXPECT_TRUE(same(m, ms[2]));
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(0x1a2b, 0x0003, &m), -1);

    const auto all = listed<ek_usb_modem_cfg_t>(ek_brd_lib_usb_modem_db_getall);
    ASSERT_EQ(all.size(), 6u);
    for (size_t i = 0; i < 6; i++) EXPECT_TRUE(same(all[i], cfgs[i % 3])) << i;
    const auto all_ms = listed<ek_usb_modeswitch_t>(ek_brd_lib_usb_modem_db_getall_usb_modeswitch);
    ASSERT_EQ(all_ms.size(), 6u);
    EXPECT_TRUE(same(all_ms[3], odd));
    EXPECT_TRUE(same(all_ms[5], ms[2]));

    EXPECT_EQ(ek_brd_lib_usb_modem_db_delete_entry_by_modem_id("m2"), 0);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_delete_usb_modeswitch_entry(0x1a2b, 0x0004), 0);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_num(), 2);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(0x1a2b, 0x0004, &m), -1);
}

TEST(UsbModemHost, ValidityNeedsAnIdACountAndBothIdsOfSlotZero) {
    EXPECT_EQ(ek_brd_lib_usb_modem_cfg_is_entry_valid(nullptr), 0);
    const std::tuple<const char *, std::vector<Pair>, uint32_t, int> rows[] = {
        {"m1", {{1, 2}}, 1, 1},         {"", {{1, 2}}, 1, 0},
        {"m1", {{1, 2}}, 0, 0},         {"m1", {{0, 2}, {3, 4}}, 2, 0},
        {"m1", {{1, 0}, {3, 4}}, 2, 0}, {"m1", {{1, 2}}, 0xFFFFFFFFu, 1}};
    for (const auto &[id, pairs, num, valid] : rows) {
        auto c = cfg(id, pairs, num);
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
        {remove, {A, B, C}, 3, B, {A, C}},
        {remove, {A}, 1, A, {}},
        {remove, {A, B, C}, 3, {B.first, C.second}, {A, B, C}},
        {remove, {A, B, A, C}, 4, A, {B, A, C}},
        {remove, full, 0xFFFFFFFFu, kNinth, full},
        {remove, full, 9, {1, 1}, seven},
    };
    for (size_t i = 0; i < std::size(rows); i++) {
        const auto &[edit, before, num, pair, after] = rows[i];
        auto c = cfg("m1", before, num);
        auto want = c;
        edit(pair.first, pair.second, &c);
        if (after != before) {
            want = cfg("m1", after);
            if (edit == remove) want.usbid[after.size()].vid = want.usbid[after.size()].pid = 0;
        }
        EXPECT_TRUE(same(c, want)) << "row " << i;
    }
}

}  // namespace
