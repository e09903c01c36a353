// Every row of every failure table, one table-driven test per subsystem:
// the broken dependency, the call, its exact result and its exact log
// lines. The list at the top of each test names the rows the table has.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../usb_modem/store_fixture.h"
#include "../usb_probe/fake_shell.h"
#include "common/list.h"
#include "ek_brd.h"
#include "fake_platform.h"
#include "harness.h"

namespace {

using fake::Channel;
using rel::faults;
using rel::lines;
using rel::Row;

const fake::Counters &calls() {
    return fake::state().calls;
}

long addr(const void *p) {
    return p == nullptr ? 0 : 1;
}

TEST(FailureRows, Segments) {
    const std::vector<std::string> listed = {
        "routing | ek_sem_create returns -1",
        "routing | ek_shm_create returns null",
        "cpe | ek_sem_create returns -1",
        "cpe | ek_shm_create returns null",
    };
    auto twice = [](void *(*get)()) {
        return [get] {
            long first = addr(get());
            EXPECT_EQ(get(), nullptr);
            return first;
        };
    };
    auto no_retry = [](int destroys) {
        return [destroys] {
            EXPECT_EQ(calls().sem_creates, 1);
            EXPECT_EQ(calls().sem_destroys, destroys);
            EXPECT_EQ(calls().shm_creates, destroys);
        };
    };
    rel::run_rows(
        listed,
        {
            {listed[0], [] { faults().sem_create_fail = true; }, twice(ek_brd_get_routing_shm_data),
             0, Channel::ek_err, lines({"ek brd create create routing sem failed!"}), no_retry(0),
             true},
            {listed[1], [] { faults().shm_create_fail = true; }, twice(ek_brd_get_routing_shm_data),
             0, Channel::ek_err, lines({"Init routing share memory failed."}), no_retry(1), true},
            {listed[2], [] { faults().sem_create_fail = true; }, twice(ek_brd_get_cpe_shm_data), 0,
             Channel::ek_err, lines({}), no_retry(0), true},
            {listed[3], [] { faults().shm_create_fail = true; }, twice(ek_brd_get_cpe_shm_data), 0,
             Channel::ek_err, lines({}), no_retry(1), true},
        });
}

// ------------------------------------------------------------ USB probing

const std::string kProbe = "ek_brd_lib_usb_modem_get_attached_dev";
const std::string kCount = "ek_brd_lib_usb_modem_get_ttydev_count";
const char kModem[] = "Bus 001 Device 003: ID 12d1:1446 modem\n";

std::string last_file() {
    return fake_shell::redirect_target(fake::state().commands.back());
}

void clear_temp_files() {
    for (const std::string &f : fake_shell::temp_files()) std::filesystem::remove(f);
}

TEST(FailureRows, UsbProbing) {
    const std::vector<std::string> listed = {
        "probe | allocation fails",
        "count | allocation fails",
        "probe | mkstemp negative",
        "count | mkstemp negative",
        "probe | snprintf below 0 or above 511",
        "count | snprintf below 0 or above 511",
        "probe | ek_system returns -1",
        "count | ek_system returns -1",
        "probe | fopen fails",
        "count | fopen fails",
        "probe | unlink non-zero",
        "count | unlink non-zero",
        "mode switch | probe returns 0",
        "mode switch | ek_system not 0",
    };
    static uint16_t vid, pid;
    auto probe = [] {
        vid = 0xaaaa;
        pid = 0xbbbb;
        return long{ek_brd_lib_usb_modem_get_attached_dev(&vid, &pid)};
    };
    auto count = [] { return long{ek_brd_lib_usb_modem_get_ttydev_count()}; };
    auto starving = [](std::function<long()> call) {
        return [call] {
            fake::arm_malloc(0);
            long r = call();
            fake::disarm_malloc();
            return r;
        };
    };
    auto shell = [](const std::string &output, std::function<void()> fault) {
        return [output, fault] {
            clear_temp_files();
            fake_shell::install({output});
            fault();
        };
    };
    auto kept_file = [](bool kept) {
        return [kept] {
            EXPECT_EQ(fake_shell::temp_files().size(), kept ? 1u : 0u);
            clear_temp_files();
        };
    };
    auto no_shell = [] { EXPECT_EQ(calls().systems, 0); };
    rel::run_rows(
        listed,
        {
            {listed[0], shell(kModem, [] {}), starving(probe), 0, Channel::ek_err,
             lines({"malloc failed"}), no_shell},
            {listed[1], shell("2\n", [] {}), starving(count), -1, Channel::ek_err,
             lines({"malloc failed"}), no_shell},
            {listed[2], shell(kModem, [] { faults().mkstemp_fail = true; }), probe, 0,
             Channel::ek_err,
             lines({kProbe + ": Failed to create temp file "
                             "[/tmp/ek_brd_lib_usb_modem_get_attached_dev.XXXXXX]"}),
             no_shell},
            {listed[3], shell("2\n", [] { faults().mkstemp_fail = true; }), count, -1,
             Channel::ek_err,
             lines({kCount + ": Failed to create temp file "
                             "[/tmp/ek_brd_lib_usb_modem_get_ttydev_count.XXXXXX]"}),
             no_shell},
            {listed[4], shell(kModem, [] { faults().snprintf_result = -1; }), probe, 0,
             Channel::ek_err, lines({kProbe + ": Failed to create cmd"}),
             [&] {
                 no_shell();
                 kept_file(true)();
             }},
            {listed[5], shell("2\n", [] { faults().snprintf_result = 512; }), count, -1,
             Channel::ek_err, lines({kCount + ": Failed to create cmd"}),
             [&] {
                 no_shell();
                 kept_file(true)();
             }},
            {listed[6],
             [] {
                 clear_temp_files();
                 fake::state().system = [](const char *) { return -1; };
             },
             probe, 0, Channel::ek_err,
             [] {
                 return std::vector<std::string>{kProbe + ": Failed to run cmd [lsusb 2>&1 > " +
                                                 last_file() + "]"};
             },
             kept_file(true)},
            {listed[7],
             [] {
                 clear_temp_files();
                 fake::state().system = [](const char *) { return -1; };
             },
             count, -1, Channel::ek_err,
             [] {
                 return std::vector<std::string>{
                     kCount +
                     ": Failed to run cmd [ls /sys/class/tty | grep -E \"ttyACM|ttyUSB\" "
                     "| wc -l > " +
                     last_file() + "]"};
             },
             kept_file(true)},
            {listed[8], shell(kModem, [] { faults().fopen_fail = true; }), probe, 0,
             Channel::ek_err,
             [] {
                 return std::vector<std::string>{kProbe + ": Unable to open temp file [" +
                                                 last_file() + "]"};
             },
             kept_file(true)},
            {listed[9], shell("2\n", [] { faults().fopen_fail = true; }), count, -1,
             Channel::ek_err,
             [] {
                 return std::vector<std::string>{kCount + ": Unable to open temp file [" +
                                                 last_file() + "]"};
             },
             kept_file(true)},
            {listed[10], shell(kModem, [] { faults().unlink_result = -1; }), probe, 1,
             Channel::ek_err,
             [] {
                 return std::vector<std::string>{kProbe + ": Unable to remove temp file [" +
                                                 last_file() + "]: rc=-1"};
             },
             [] {
                 EXPECT_EQ(vid, 0x12d1);
                 EXPECT_EQ(pid, 0x1446);
                 clear_temp_files();
             }},
            {listed[11], shell("2\n", [] { faults().unlink_result = 5; }), count, 2,
             Channel::ek_err,
             [] {
                 return std::vector<std::string>{kCount + ": Unable to remove temp file [" +
                                                 last_file() + "]: rc=5"};
             },
             clear_temp_files},
            {listed[12], shell("Bus 001 Device 001: ID 1d6b:0002 root hub\n", [] {}),
             [] { return long{ek_brd_lib_usb_modem_modeswitch(0x12d1, 0x1446, "55")}; }, -1,
             Channel::ek_err, lines({"usb_modem: failed to switch mode, no usb device attach."}),
             [] { EXPECT_EQ(calls().systems, 1); }},
            {listed[13],
             [] {
                 clear_temp_files();
                 fake_shell::install({kModem, 0, 3});
             },
             [] { return long{ek_brd_lib_usb_modem_modeswitch(0x12d1, 0x1446, "55")}; }, -1,
             Channel::ek_err,
             lines({"usb_modem: Got error 3 running usb_modeswitch: usb_modeswitch -Q -v 0x12d1 "
                    "-p 0x1446 -M \"55\""})},
        });
}

// -------------------------------------------------- USB modem segment, lock

TEST(FailureRows, UsbModemLock) {
    const std::vector<std::string> listed = {
        "initialisation when already initialised",
        "semaphore creation returns -1",
        "segment creation returns null",
        "lock or unlock without a semaphore",
        "segment address asked before initialisation",
    };
    auto uninitialised = [] {
        void *shm = &shm;
        EXPECT_EQ(ek_brd_lib_usb_modem_get_shm(&shm), 0);
        EXPECT_EQ(shm, nullptr);
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_lock(), -1);
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_unlock(), -1);
        EXPECT_EQ(calls().sem_waits, 0);
        EXPECT_EQ(calls().sem_signals, 0);
    };
    rel::run_rows(
        listed,
        {
            {listed[0], [] { EXPECT_EQ(ek_brd_lib_usb_modem_init(), 0); },
             [] { return long{ek_brd_lib_usb_modem_init()}; }, 0, Channel::ek_log,
             lines({"USB modem cfg shared mem already initialized\n"}),
             [] {
                 EXPECT_EQ(calls().sem_creates, 1);
                 EXPECT_EQ(calls().shm_creates, 1);
             },
             true},
            {listed[1], [] { faults().sem_create_fail = true; },
             [] { return long{ek_brd_lib_usb_modem_init()}; }, -1, Channel::ek_err,
             lines({"Failed to create sem id for USB modem shared mem cfg\n"}),
             [&] {
                 uninitialised();
                 EXPECT_EQ(calls().shm_creates, 0);
             },
             true},
            {listed[2], [] { faults().shm_create_fail = true; },
             [] { return long{ek_brd_lib_usb_modem_init()}; }, -1, Channel::ek_err, lines({}),
             [&] {
                 EXPECT_EQ(calls().sem_destroys, 1);
                 uninitialised();
                 faults().shm_create_fail = false;
                 EXPECT_EQ(ek_brd_lib_usb_modem_init(), 0);
                 EXPECT_EQ(calls().sem_creates, 2);
             },
             true},
            {listed[3], [] {},
             [] {
                 EXPECT_EQ(ek_brd_lib_usb_modem_cfg_unlock(), -1);
                 return long{ek_brd_lib_usb_modem_cfg_lock()};
             },
             -1, Channel::ek_err, lines({}), uninitialised, true},
            {listed[4], [] {},
             [] {
                 void *shm = &shm;
                 long r = ek_brd_lib_usb_modem_get_shm(&shm);
                 EXPECT_EQ(shm, nullptr);
                 return r;
             },
             0, Channel::ek_err, lines({}), [] {}, true},
        });
}

// ------------------------------------------------------------- USB stores

using usb_test::kCfgDb;
using usb_test::kModeswitchDb;

ek_usb_modem_cfg_t seeded_cfg() {
    return usb_test::cfg("m1", {{0x12d1, 0x1446}});
}

ek_usb_modeswitch_t seeded_modeswitch() {
    return usb_test::modeswitch(0x1a2b, 0x0003);
}

// After any failure the database holds what it held before the call.
template <typename Record>
std::function<void()> unchanged(const char *path, Record (*seeded)()) {
    return [path, seeded] {
        const auto &records = fake::db(path).records;
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].value, usb_test::bytes(seeded()));
    };
}

// A listing into a caller's list that already holds one node of the
// caller's: that node must stay first, and nothing but the listed nodes may
// be left allocated. fail_at is the allocation to fail, -1 for none.
ek_list_head g_list;
long g_list_length;

std::function<long()> getall_counted(int (*getall)(ek_list_head *), long fail_at) {
    return [getall, fail_at] {
        static ek_list_head mine;
        ek::list_init(&g_list);
        ek::list_add_tail(&mine, &g_list);
        fake::arm_malloc(fail_at);
        long r = getall(&g_list);
        fake::disarm_malloc();
        g_list_length = rel::list_length(&g_list);
        EXPECT_EQ(fake::live_allocations(), g_list_length - 1);
        EXPECT_EQ(g_list.next, &mine);
        ek::list_for_each_safe(&g_list, [](ek_list_head *n) {
            if (n != &mine) free(n);
        });
        return r;
    };
}

std::function<void()> listed_nodes(long n) {
    return [n] { EXPECT_EQ(g_list_length, n); };
}

const std::string kCfgOpen = std::string("usb_modem: open DB failed : ") + kCfgDb + "\n";
const std::string kMsOpen = std::string("usb_modem: open DB failed : ") + kModeswitchDb + "\n";

TEST(FailureRows, UsbModemCfgStore) {
    const std::vector<std::string> listed = {
        "store | open failed",
        "store | ek_db_store negative",
        "delete by modem id | open failed",
        "delete by modem id | ek_db_delete_ex negative",
        "get by modem id | open failed",
        "get by modem id | ek_db_fetch non-zero",
        "get number | open failed",
        "getall | open failed",
        "getall callback | node allocation failed",
        "getall callback | ek_db_fetch_bykey negative",
        "get by USB id | getall failed",
        "get by USB id | no slot matches",
    };
    static ek_usb_modem_cfg_t out;
    auto with = [](std::function<void()> fault) {
        return [fault] {
            fake::put(kCfgDb, "m1", seeded_cfg());
            usb_test::fill(out, 0xee);
            fault();
        };
    };
    auto open_fails = [] { faults().open_fails.insert(kCfgDb); };
    auto out_untouched = [] {
        ek_usb_modem_cfg_t fresh;
        usb_test::fill(fresh, 0xee);
        EXPECT_EQ(usb_test::bytes(out), usb_test::bytes(fresh));
    };
    auto store = [] {
        auto c = usb_test::cfg("m2", {{1, 2}});
        return long{ek_brd_lib_usb_modem_db_store_entry(&c)};
    };
    auto del = [] { return long{ek_brd_lib_usb_modem_db_delete_entry_by_modem_id("m1")}; };
    auto get = [] { return long{ek_brd_lib_usb_modem_db_get_entry_by_modem_id("m1", &out)}; };
    auto by_usb_id = [] {
        return long{ek_brd_lib_usb_modem_db_get_entry_by_usb_id(0x12d1, 0x1446, &out)};
    };
    rel::run_rows(
        listed,
        {
            {listed[0], with(open_fails), store, -1, Channel::ek_err,
             lines({std::string("usb_modem: open DB failed when store entry: ") + kCfgDb + "\n"}),
             unchanged(kCfgDb, seeded_cfg)},
            {listed[1], with([] { faults().store_fail = true; }), store, -1, Channel::ek_err,
             lines({"usb_modem: store usbmodem cfg entry [key=m2] failed!\n"}),
             unchanged(kCfgDb, seeded_cfg)},
            {listed[2], with(open_fails), del, -1, Channel::ek_err, lines({kCfgOpen}),
             unchanged(kCfgDb, seeded_cfg)},
            {listed[3], with([] { faults().delete_fail = true; }), del, -1, Channel::ek_err,
             lines({"usb_modem: delete usbmodem cfg entry [modem_id=m1] failed!\n"}),
             unchanged(kCfgDb, seeded_cfg)},
            {listed[4], with(open_fails), get, -1, Channel::ek_err, lines({kCfgOpen}),
             out_untouched},
            {listed[5], with([] { faults().fetch_fail = true; }), get, -1, Channel::ek_err,
             lines({})},
            {listed[6], with(open_fails), [] { return long{ek_brd_lib_usb_modem_db_get_num()}; },
             -1, Channel::ek_err, lines({kCfgOpen})},
            {listed[7], with(open_fails), getall_counted(ek_brd_lib_usb_modem_db_getall, -1), -1,
             Channel::ek_err, lines({kCfgOpen}), listed_nodes(1)},
            {listed[8], with([] {}), getall_counted(ek_brd_lib_usb_modem_db_getall, 0), 0,
             Channel::ek_err, lines({"usb_modem: fail to create usb modem config node."}),
             listed_nodes(1)},
            {listed[9], with([] { faults().fetch_bykey_fail_at.insert(0); }),
             getall_counted(ek_brd_lib_usb_modem_db_getall, -1), 0, Channel::ek_err,
             lines({"usb_modem: get usb modem config entry failed!\n"}), listed_nodes(1)},
            {listed[10], with(open_fails), by_usb_id, -1, Channel::ek_err,
             lines({kCfgOpen, "usb_modem: failed to get config from db."}), out_untouched},
            {listed[11], with([] {}),
             [] { return long{ek_brd_lib_usb_modem_db_get_entry_by_usb_id(0x12d1, 1, &out)}; }, -1,
             Channel::ek_err, lines({}), out_untouched},
        });
}

TEST(FailureRows, UsbModeswitchStore) {
    const std::vector<std::string> listed = {
        "store | open failed",
        "store | ek_db_store negative",
        "delete | open failed",
        "delete | ek_db_delete_ex negative",
        "getall | open failed",
        "getall callback | node allocation failed",
        "getall callback | ek_db_fetch_bykey negative",
        "fetch | getall failed",
        "fetch | no record matches",
    };
    static ek_usb_modeswitch_t out;
    auto with = [](std::function<void()> fault) {
        return [fault] {
            fake::put(kModeswitchDb, "1a2b0003", seeded_modeswitch());
            usb_test::fill(out, 0xee);
            fault();
        };
    };
    auto open_fails = [] { faults().open_fails.insert(kModeswitchDb); };
    auto out_untouched = [] {
        ek_usb_modeswitch_t fresh;
        usb_test::fill(fresh, 0xee);
        EXPECT_EQ(usb_test::bytes(out), usb_test::bytes(fresh));
    };
    auto store = [] {
        auto m = usb_test::modeswitch(0x1a2b, 0x0003, 9);
        return long{ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry(&m)};
    };
    auto del = [] { return long{ek_brd_lib_usb_modem_db_delete_usb_modeswitch_entry(0x1a2b, 3)}; };
    auto fetch = [](uint16_t pid) {
        return [pid] {
            return long{ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(0x1a2b, pid, &out)};
        };
    };
    auto getall = [](long fail_at) {
        return getall_counted(ek_brd_lib_usb_modem_db_getall_usb_modeswitch, fail_at);
    };
    rel::run_rows(
        listed,
        {
            {listed[0], with(open_fails), store, -1, Channel::ek_err,
             lines({std::string("usb_modem: open DB failed when store modeswitch entry: ") +
                    kModeswitchDb + "\n"}),
             unchanged(kModeswitchDb, seeded_modeswitch)},
            {listed[1], with([] { faults().store_fail = true; }), store, -1, Channel::ek_err,
             lines({"usb_modem: store modeswitch entry (key=1a2b0003) [vid=0x1a2b, pid=0x3] "
                    "failed!\n"}),
             unchanged(kModeswitchDb, seeded_modeswitch)},
            {listed[2], with(open_fails), del, -1, Channel::ek_err, lines({kMsOpen}),
             unchanged(kModeswitchDb, seeded_modeswitch)},
            {listed[3], with([] { faults().delete_fail = true; }), del, -1, Channel::ek_err,
             lines({"usb_modem: delete modeswitch entry (key=1a2b0003) [vid=0x1a2b, pid=0x3] "
                    "failed!\n"}),
             unchanged(kModeswitchDb, seeded_modeswitch)},
            {listed[4], with(open_fails), getall(-1), -1, Channel::ek_err, lines({kMsOpen}),
             listed_nodes(1)},
            {listed[5], with([] {}), getall(0), 0, Channel::ek_err,
             lines({"usb_modem: fail to create usb modem mode switch node."}), listed_nodes(1)},
            {listed[6], with([] { faults().fetch_bykey_fail_at.insert(0); }), getall(-1), 0,
             Channel::ek_err, lines({"usb_modem: get usb modem mode switch entry failed!\n"}),
             listed_nodes(1)},
            {listed[7], with(open_fails), fetch(3), -1, Channel::ek_err,
             lines({kMsOpen, "usb_modem: failed to get modeswitch from db."}), out_untouched},
            {listed[8], with([] {}), fetch(4), -1, Channel::ek_err, lines({}), out_untouched},
        });
}

}  // namespace
