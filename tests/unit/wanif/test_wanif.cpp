// The WAN-interface table over the fake wanif_db: the count, the priority
// checks and the configured priority. The other queries are pinned by the
// brdctl transcript, failure paths by tests/unit/reliability/failure_rows.cpp.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <tuple>

#include "wanif_records.h"

namespace {

using wanif_test::put;
using wanif_test::Wan;

// Another process may store records between the count and the walk.
TEST(Wanif, CountSkipsTunnelsAndRecordsPastTheCountedSlots) {
    fake::reset();
    for (const char *n : {"eth0", "tunnel0", "tunnel", "tunne", "Tunnel0", "ppp0tunnel"})
        put(Wan(n));
    fake::state().faults.count_result = 2;  // four records arrive after the count
    EXPECT_EQ(ek_brd_get_wanif_count(), 1);
    EXPECT_EQ(fake::state().calls.fetches, 2);
    fake::state().faults.count_result.reset();
    EXPECT_EQ(ek_brd_get_wanif_count(), 4);  // all but "tunnel0" and "tunnel"
}

// Records are visited in delivery order; the first refusal decides.
TEST(Wanif, PriorityIsRefusedWhenTakenOrWhileUsbnetIsPrimaryWan) {
    fake::reset();
    put(Wan("eth0").prio(7));
    put(Wan("usb9").name("usbnet").prio(0));  // not usbnet0: seven characters count
    put(Wan("eth1").prio(9));
    put(Wan("usb0").name("usbnet01").prio(0));
    const std::string taken =
        "Please use a different priority value since priority 9 is in already configured\n";
    const std::string primary =
        "Usbmode mode is primary-wan. Please change it to always-connected or on-demand first\n";
    // An empty message: accepted, the buffer left alone.
    const std::tuple<int, int, std::string> rows[] = {
        {0, 1, ""}, {45, 9, taken}, {46, 9, taken}, {45, 8, primary}, {46, 8, ""}};
    for (const auto &[kind, priority, text] : rows) {
        char msg[128] = "#";
        EXPECT_EQ(ek_brd_check_cfg_priority_valid(kind, priority, msg), text.empty() ? 1 : 0)
            << kind << ", " << priority;
        EXPECT_EQ(msg, text.empty() ? "#" : text) << kind << ", " << priority;
    }
}

// The last word of the buffer shows a short one under asan.
TEST(Wanif, ConfiguredUsbnetPriorityIsTheWordAtOffset20) {
    fake::reset();
    fake::state().is_usb = [](const char *) { return 1; };
    fake::state().dcd_usbnet = [](const char *, void *cfg) {
        const int32_t priority = 4321;
        memcpy(static_cast<uint8_t *>(cfg) + 20, &priority, sizeof priority);
        memset(static_cast<uint8_t *>(cfg) + 92, 0xff, 4);
        return 0;
    };
    EXPECT_EQ(ek_wanif_get_wan_priority_from_dcd_shm("usb0"), 4321);
}

}  // namespace
