// The WAN-interface table over the fake wanif_db: what each query matches,
// the priority checks, the configured priority and the snapshot's slots.
// Failure paths are rows of tests/unit/reliability/failure_rows.cpp.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <tuple>

#include "ek_brd.h"
#include "fake_platform.h"
#include "wanif_records.h"

namespace {

using wanif_test::put;
using wanif_test::Wan;

TEST(Wanif, QueriesNeedBothConditionsOnOneRecordAndTheFirstMatchDecides) {
    fake::reset();
    put(Wan("eth0").wan());
    put(Wan("eth1").active().pppoe(0), "k1");
    put(Wan("eth1").pppoe(9), "k2");
    put(Wan("eth2").active().pppoe(12), "k3");
    put(Wan("eth2").wan().pppoe(13), "k5");
    put(Wan("").ip(0x0a000009));
    put(Wan("abcdefghijklmnop").wan().active().pppoe(5));  // fills ifname, no NUL
    put(Wan("usb0").name("usbnet0").status(4));            // codes outside 1-4 are failure rows
    for (const char *n : {"tunnel0", "tunnel", "tunne", "Tunnel0", "ppp0tunnel"}) put(Wan(n));

    EXPECT_EQ(ek_brd_get_wanif_count(), 11);                 // all but "tunnel0" and "tunnel"
    EXPECT_EQ(ek_brd_check_intf_active_dft_wan("eth0"), 0);  // a WAN, not active
    EXPECT_EQ(ek_brd_check_intf_active_dft_wan("eth1"), 1);
    EXPECT_EQ(ek_brd_check_intf_wanif("eth1"), 0);  // active, not a WAN
    EXPECT_EQ(ek_brd_check_intf_wanif("eth2"), 1);  // the second eth2 record
    EXPECT_EQ(ek_brd_check_intf_wanif(nullptr), 0);
    EXPECT_EQ(ek_brd_cpe_shm_check_wan_intf_ip(0x0a000009), 0);  // owner has no ifname
    EXPECT_EQ(ek_brd_get_pppoe_ethnet_kifidx("eth1"), 0);        // the first match's index
    EXPECT_EQ(ek_brd_get_pppoe_ethnet_kifidx("eth2"), 12);
    EXPECT_EQ(ek_brd_get_pppoe_ethnet_kifidx("eth0"), 0);          // not PPPoE
    EXPECT_EQ(ek_brd_check_intf_wanif("abcdefghijklmnopXYZ"), 1);  // 16 bytes compared
    EXPECT_EQ(ek_brd_check_intf_active_dft_wan("abcdefghijklmnop"), 1);
    EXPECT_EQ(ek_brd_get_pppoe_ethnet_kifidx("abcdefghijklmnopq"), 5);
    EXPECT_EQ(ek_brd_check_intf_wanif("abcdefghijklmno"), 0);
    int status = 77;
    EXPECT_EQ(ek_brd_lib_get_usbnet_status(&status), 0);
    EXPECT_EQ(status, 4);
    EXPECT_EQ(ek_brd_lib_get_usbnet_status(nullptr), -1);
}

std::string taken(int p) {
    return "Please use a different priority value since priority " + std::to_string(p) +
           " is in already configured\n";
}

// Records are visited in delivery order; the first refusal decides.
TEST(Wanif, PriorityIsRefusedOutOfRangeTakenOrWhileUsbnetIsPrimaryWan) {
    fake::reset();
    put(Wan("eth0").prio(7));
    put(Wan("usb9").name("usbnet").prio(0));
    put(Wan("usb8").name("Usbnet0").prio(0));
    put(Wan("eth1").prio(9));
    put(Wan("usb0").name("usbnet01").prio(0));  // known by its first seven characters
    put(Wan("eth2").prio(11));
    const std::string range = "WAN priority can only be a value within 1 - 9999\n";
    const std::string primary =
        "Usbmode mode is primary-wan. Please change it to always-connected or on-demand first\n";
    // An empty message: accepted, the buffer left alone.
    const std::tuple<int, int, std::string> rows[] = {
        {45, 0, range},     {0, 1, ""},         {0, 9999, ""},     {0, 8, ""},
        {0, 11, taken(11)}, {45, 7, taken(7)},  {45, 9, taken(9)}, {45, 8, primary},
        {45, 11, primary},  {46, 11, taken(11)}};
    for (const auto &[kind, priority, text] : rows) {
        char msg[128] = "#";
        EXPECT_EQ(ek_brd_check_cfg_priority_valid(kind, priority, msg), text.empty() ? 1 : 0)
            << kind << ", " << priority;
        EXPECT_EQ(msg, text.empty() ? "#" : text) << kind << ", " << priority;
    }
}

// The priority at its offset; the last word shows a short buffer under asan.
template <size_t Size>
int32_t reply(void *cfg, size_t offset, int32_t priority) {
    memcpy(static_cast<uint8_t *>(cfg) + offset, &priority, sizeof priority);
    memset(static_cast<uint8_t *>(cfg) + Size - 4, 0xff, 4);
    return 0;
}

TEST(Wanif, ConfiguredPriorityComesFromTheClassThatTakesTheName) {
    fake::reset();
    auto &s = fake::state();
    s.is_eth = [](const char *n) { return strncmp(n, "eth", 3) == 0 ? 1 : 0; };
    s.is_p = [](const char *n) { return n[0] == 'p' ? 1 : 0; };
    s.is_usbnet_ppp = [](const char *n) { return strncmp(n, "usbnet", 6) == 0 ? 1 : 0; };
    s.is_usb = [](const char *n) { return strncmp(n, "usb", 3) == 0 ? 1 : 0; };
    s.if_nametoindex = [](const char *) { return 7u; };
    s.dcd_eth = [](uint32_t idx, void *cfg) { return idx == 7 ? reply<80>(cfg, 12, 321) : -1; };
    s.dcd_usbnet = [](const char *, void *cfg) { return reply<96>(cfg, 20, 4321); };
    const std::pair<const char *, int> rows[] = {
        {"eth0", 321}, {"p1", 321}, {"usbnet0", 4321}, {"usb0", 4321}, {"wlan0", -1}};
    for (auto [name, priority] : rows)
        EXPECT_EQ(ek_wanif_get_wan_priority_from_dcd_shm(name), priority) << name;
}

// Another process may store or delete records between the count and the walk.
TEST(Wanif, SlotsFollowTheCountNotTheDelivery) {
    fake::reset();
    for (const char *n : {"eth0", "eth1", "eth2", "eth3"}) put(Wan(n).wan().ip(7));
    fake::state().faults.count_result = 2;  // two records arrive after the count
    EXPECT_EQ(ek_brd_get_wanif_count(), 2);
    EXPECT_EQ(fake::state().calls.fetches, 2);
    EXPECT_EQ(db_wanif_idx, 4);
    fake::state().faults.count_result = 6;  // two fewer arrive than counted
    EXPECT_EQ(ek_brd_get_wanif_count(), 6);
}

}  // namespace
