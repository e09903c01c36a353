// The failure rows of the WAN interface table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "../wanif/wanif_records.h"
#include "ek_brd.h"
#include "fake_platform.h"
#include "harness.h"

namespace {

using fake::Channel;
using rel::faults;
using rel::lines;
using rel::starved;
using wanif_test::Wan;

const std::string kWanDb = "/tmp/db/wanif_db";
const std::string kOpenLog = "WANIF: brd: open DB failed : " + kWanDb + "\n";
const std::string kFetchLog = "WANIF: pbr: get routing policy entry failed!\n";

void put_wan_records() {
    wanif_test::put(Wan("eth0").wan().active().ip(0x0a000001).prio(11));
    wanif_test::put(Wan("ppp0").wan().pppoe(7).ip(0x0a000002).prio(12));
}

// The five queries of one load each; a failed load answers 0 in every one.
long all_five() {
    return ek_brd_get_wanif_count() + ek_brd_check_intf_active_dft_wan("eth0") +
           ek_brd_check_intf_wanif("ppp0") + ek_brd_cpe_shm_check_wan_intf_ip(0x0a000002) +
           ek_brd_get_pppoe_ethnet_kifidx("ppp0");
}

TEST(FailureRows, WanQueries) {
    const std::vector<std::string> listed = {
        "ek_db_open_ex returns 0",
        "the database holds no records",
        "the all_entry array cannot be allocated",
        "the record of index i cannot be allocated",
        "one record cannot be fetched",
    };
    auto nothing_fetched = [] { EXPECT_EQ(fake::state().calls.fetches, 0); };
    rel::run_rows(
        listed,
        {
            {listed[0], [] { faults().open_fail_all = true; }, all_five, 0, Channel::syslog,
             lines(std::vector<std::string>(5, kOpenLog))},
            {listed[1], [] {}, all_five, 0, Channel::syslog, lines({}), nothing_fetched},
            {listed[2], put_wan_records, starved(0, ek_brd_get_wanif_count), 0, Channel::syslog,
             lines({"WANIF: malloc failed for all_entry"}), nothing_fetched},
            {listed[3], put_wan_records, starved(2, ek_brd_get_wanif_count), 0, Channel::syslog,
             lines({"WANIF: malloc failed for all_entry[1]"}), nothing_fetched},
            {listed[4],
             [] {
                 put_wan_records();
                 faults().fetch_bykey_fail_at.insert(0);
             },
             [] {
                 return long{ek_brd_check_intf_wanif("eth0") * 10 +
                             ek_brd_check_intf_wanif("ppp0")};
             },
             1, Channel::syslog, lines({kFetchLog, kFetchLog})},
        });
}

TEST(FailureRows, WanPriority) {
    const std::vector<std::string> listed = {
        "validation | priority below 1 or above 9999",
        "validation | ek_db_open_ex returns 0",
        "validation | the database holds no records",
        "validation | the all_entry array cannot be allocated",
        "validation | a record cannot be allocated",
        "validation | one record cannot be fetched",
        "status | open fails",
        "status | fetch fails",
        "status | code outside 1 to 4",
        "configured priority | Ethernet query fails",
        "configured priority | USB network query fails",
        "configured priority | no predicate accepts the name",
    };
    static char msg[128];
    static int status;
    auto validate = [](int priority) {
        return [priority] {
            memset(msg, '#', sizeof msg);
            msg[sizeof msg - 1] = '\0';
            return long{ek_brd_check_cfg_priority_valid(45, priority, msg)};
        };
    };
    auto buffer = [](std::string want) { return [want] { EXPECT_EQ(msg, want); }; };
    const std::string untouched(127, '#');
    auto read_status = [] {
        status = 77;
        return long{ek_brd_lib_get_usbnet_status(&status)};
    };
    auto status_kept = [] { EXPECT_EQ(status, 77); };
    auto usbnet = [](int32_t code) {
        return [code] { wanif_test::put(Wan("usb0").name("usbnet0").status(code)); };
    };
    auto dcd_fails = [] {
        fake::state().dcd_eth = [](uint32_t, void *) { return -1; };
        fake::state().dcd_usbnet = [](const char *, void *) { return -1; };
        fake::state().if_nametoindex = [](const char *) { return 3u; };
    };
    auto priority_of = [](const char *ifname) {
        return [ifname] { return long{ek_wanif_get_wan_priority_from_dcd_shm(ifname)}; };
    };
    rel::run_rows(
        listed,
        {
            {listed[0], put_wan_records, validate(10000), 0, Channel::syslog, lines({}),
             [&] {
                 buffer("WAN priority can only be a value within 1 - 9999\n")();
                 EXPECT_EQ(fake::state().calls.opens, 0);
             }},
            {listed[1], [] { faults().open_fail_all = true; }, validate(5), 0, Channel::syslog,
             lines({kOpenLog}), buffer("brd: open DB failed : " + kWanDb + "\n")},
            {listed[2], [] {}, validate(5), 0, Channel::syslog, lines({}),
             buffer("brd db is empty\n")},
            {listed[3], put_wan_records, starved(0, validate(11)), 1, Channel::syslog,
             lines({"WANIF: malloc failed for all_entry"}),
             buffer("brd: malloc failed for all_entry\n")},
            {listed[4], put_wan_records, starved(1, validate(11)), 1, Channel::syslog,
             lines({"WANIF: malloc failed for all_entry[0]"}), buffer(untouched)},
            {listed[5],
             [] {
                 put_wan_records();
                 faults().fetch_bykey_fail_at.insert(0);
             },
             validate(11), 1, Channel::syslog, lines({kFetchLog}), buffer(untouched)},
            {listed[6], [] { faults().open_fail_all = true; }, read_status, -1, Channel::ek_err,
             lines({"brd: open DB failed : " + kWanDb + "\n"}), status_kept},
            {listed[7], put_wan_records, read_status, -1, Channel::ek_err, lines({}), status_kept},
            {listed[8], usbnet(5), read_status, -1, Channel::ek_err, lines({}), status_kept},
            {listed[9],
             [&] {
                 dcd_fails();
                 fake::state().is_eth = [](const char *) { return 1; };
             },
             priority_of("eth0"), -1, Channel::syslog,
             lines({"WANIF: ek_dcd_get_eth_mode_cfg failed eth0"})},
            {listed[10],
             [&] {
                 dcd_fails();
                 fake::state().is_usb = [](const char *) { return 1; };
             },
             priority_of("usbnet0"), -1, Channel::syslog,
             lines({"WANIF: ek_dcd_get_usbnet_mode_cfg failed usbnet0"})},
            {listed[11],
             [&] {
                 dcd_fails();
                 fake::state().dcd_eth = [](uint32_t, void *) -> int32_t {
                     ADD_FAILURE() << "the configuration service was asked";
                     return -1;
                 };
             },
             priority_of("wlan0"), -1, Channel::syslog, lines({}),
             [] { EXPECT_EQ(fake::state().predicate_calls.size(), 4u); }},
        });
}

}  // namespace
