// Every row of every failure table, one table-driven test per subsystem:
// the broken dependency, the call, its exact result and its exact log
// lines. The list at the top of each test names the rows the table has.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../usb_probe/fake_shell.h"
#include "ek_brd.h"
#include "fake_platform.h"
#include "harness.h"

namespace {

using fake::Channel;
using rel::lines;
using rel::Row;

fake::Faults &faults() {
    return fake::state().faults;
}
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

}  // namespace
