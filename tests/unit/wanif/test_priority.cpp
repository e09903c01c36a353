// WAN priority validation, the USB network status read and the configured
// priority read, over the fake platform.
#include <gtest/gtest.h>
#include <string.h>
#include <syslog.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "ek_brd.h"
#include "fake_platform.h"
#include "wanif_records.h"

namespace {

using fake::Channel;
using namespace wanif_test;
using namespace std::chrono_literals;
using Texts = std::vector<std::string>;

const std::string kPrimaryWan =
    "Usbmode mode is primary-wan. Please change it to always-connected or on-demand first\n";
std::string duplicate(int p) {
    return "Please use a different priority value since priority " + std::to_string(p) +
           " is in already configured\n";
}

class WanifPriority : public WanifTest {
protected:
    // The message buffer starts as a marker so that "not written" shows.
    int check(int kind, int priority) {
        memset(msg, '#', sizeof msg);
        msg[sizeof msg - 1] = '\0';
        return ek_brd_check_cfg_priority_valid(kind, priority, msg);
    }
    bool untouched() const { return msg[0] == '#' && msg[1] == '#'; }

    char msg[128];
};

TEST_F(WanifPriority, RangeIsCheckedBeforeTheDatabase) {
    put(Wan("eth0").prio(3));
    for (int p : {0, -5, 10000, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(check(45, p), 0) << p;
        EXPECT_STREQ(msg, "WAN priority can only be a value within 1 - 9999\n");
    }
    EXPECT_EQ(fake::state().calls.opens, 0);
    EXPECT_TRUE(fake::state().logs.empty());

    for (int p : {1, 9999}) {
        EXPECT_EQ(check(45, p), 1) << p;
        EXPECT_TRUE(untouched());
    }
    EXPECT_EQ(fake::state().calls.opens, 2);
    EXPECT_EQ(check(45, 3), 0);
    EXPECT_EQ(msg, duplicate(3));
}

TEST_F(WanifPriority, KindCode45SinglesOutUsbnetInPrimaryWanMode) {
    put(Wan("eth0").prio(7));
    put(Wan("usb0").name("usbnet0").prio(0));
    put(Wan("eth1").prio(9));

    // Only a record delivered before usbnet0 can name a duplicate.
    EXPECT_EQ(check(45, 7), 0);
    EXPECT_EQ(msg, duplicate(7));
    for (int p : {8, 9, 9999}) {
        EXPECT_EQ(check(45, p), 0) << p;
        EXPECT_EQ(msg, kPrimaryWan);
    }
    // Any other kind code passes usbnet0 over.
    for (int kind : {0, 44, 46, -45}) {
        EXPECT_EQ(check(kind, 8), 1) << kind;
        EXPECT_TRUE(untouched());
        EXPECT_EQ(check(kind, 9), 0) << kind;
        EXPECT_EQ(msg, duplicate(9));
    }
    EXPECT_TRUE(fake::state().logs.empty());
}

TEST_F(WanifPriority, UsbnetIsKnownByTheFirstSevenCharactersOfItsName) {
    put(Wan("usb0").name("usbnet01").prio(0));
    EXPECT_EQ(check(45, 5), 0);
    EXPECT_EQ(msg, kPrimaryWan);

    fake::reset();
    put(Wan("usb0").name("usbnet").prio(0));
    put(Wan("usb1").name("Usbnet0").prio(0));
    EXPECT_EQ(check(45, 5), 1);

    fake::reset();
    put(Wan("usb0").name("usbnet0").prio(6));  // not in primary-WAN mode
    EXPECT_EQ(check(45, 5), 1);
    EXPECT_EQ(check(45, 6), 0);
    EXPECT_EQ(msg, duplicate(6));
}

TEST_F(WanifPriority, ZeroSlotOfAFailedFetchMeetsNeitherTest) {
    put(Wan("usb0").name("usbnet0").prio(0));
    fake::state().faults.fetch_bykey_fail_at = {0};
    EXPECT_EQ(check(45, 1), 1);
    EXPECT_TRUE(untouched());
    EXPECT_EQ(fake::texts(Channel::syslog),
              Texts{"WANIF: pbr: get routing policy entry failed!\n"});
}

TEST_F(WanifPriority, LoadFailuresWriteTheirOwnReasons) {
    fake::db(kPath);
    EXPECT_EQ(check(45, 5), 0);
    EXPECT_STREQ(msg, "brd db is empty\n");
    EXPECT_TRUE(fake::state().logs.empty());

    fake::state().faults.open_fail_all = true;
    EXPECT_EQ(check(45, 5), 0);
    EXPECT_STREQ(msg, "brd: open DB failed : /tmp/db/wanif_db\n");
    auto logs = fake::logs(Channel::syslog);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].level, LOG_ERR);
    EXPECT_EQ(logs[0].text, "WANIF: brd: open DB failed : /tmp/db/wanif_db\n");
}

// A failed allocation lets the priority through, even one a record holds.
TEST_F(WanifPriority, AllocationFailureAnswersOne) {
    struct Case {
        long fail_at;
        const char *log;
        const char *msg;  // null: not written
    } cases[] = {{0, "WANIF: malloc failed for all_entry", "brd: malloc failed for all_entry\n"},
                 {1, "WANIF: malloc failed for all_entry[0]", nullptr},
                 {2, "WANIF: malloc failed for all_entry[1]", nullptr}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fail_at);
        fake::reset();
        put(Wan("eth0").prio(5));
        put(Wan("usb0").name("usbnet0").prio(0));
        fake::arm_malloc(c.fail_at);
        EXPECT_EQ(check(45, 5), 1);
        fake::disarm_malloc();
        if (c.msg != nullptr) {
            EXPECT_STREQ(msg, c.msg);
        } else {
            EXPECT_TRUE(untouched());
        }
        EXPECT_EQ(fake::texts(Channel::syslog), Texts{c.log});
        EXPECT_EQ(fake::state().calls.foreach_calls, 0);
        EXPECT_EQ(fake::open_handles(), 0);
    }
}

TEST_F(WanifPriority, UsbnetStatusPassesOnlyCodesOneToFour) {
    for (int code : {1, 2, 3, 4}) {
        put(Wan("usb0").name("usbnet0").status(code), "usbnet0");
        int status = -9;
        EXPECT_EQ(ek_brd_lib_get_usbnet_status(&status), 0);
        EXPECT_EQ(status, code);
    }
    for (int code : {0, 5, -1, INT32_MIN}) {
        put(Wan("usb0").name("usbnet0").status(code), "usbnet0");
        int status = 77;
        EXPECT_EQ(ek_brd_lib_get_usbnet_status(&status), -1) << code;
        EXPECT_EQ(status, 77);
    }
    // The record is found by its key, not by scanning names.
    fake::reset();
    put(Wan("usb0").name("usbnet0").status(2), "usbnet00");
    int status = 77;
    EXPECT_EQ(ek_brd_lib_get_usbnet_status(&status), -1);
    EXPECT_EQ(status, 77);
    EXPECT_TRUE(fake::state().logs.empty());
    EXPECT_EQ(fake::state().calls.open_modes, std::vector<int32_t>{5});
    EXPECT_EQ(fake::state().calls.closes, 1);
    EXPECT_EQ(fake::state().calls.foreach_calls, 0);
}

TEST_F(WanifPriority, UsbnetStatusOpenFailureGoesToTheErrorChannel) {
    put(Wan("usb0").name("usbnet0").status(2), "usbnet0");
    fake::state().faults.open_fail_all = true;
    int status = 77;
    EXPECT_EQ(ek_brd_lib_get_usbnet_status(&status), -1);
    EXPECT_EQ(status, 77);
    auto logs = fake::logs(Channel::ek_err);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].tag, " ");
    EXPECT_GT(logs[0].line, 0);
    EXPECT_EQ(logs[0].text, "brd: open DB failed : /tmp/db/wanif_db\n");
    EXPECT_TRUE(fake::logs(Channel::syslog).empty());
}

// Neither read is a snapshot load: both run while a load holds the mutex.
TEST_F(WanifPriority, ReadsTakeNoMutex) {
    put(Wan("usb0").name("usbnet0").status(3), "usbnet0");
    fake::state().is_eth = [](const char *) { return 1; };
    fake::state().if_nametoindex = [](const char *) { return 2u; };
    fake::state().dcd_eth = [](uint32_t, void *) { return 0; };
    int status = 0, prio = 0;
    EXPECT_TRUE(runs_while_mutex_held(
        [&] {
            ek_brd_lib_get_usbnet_status(&status);
            prio = ek_wanif_get_wan_priority_from_dcd_shm("eth0");
        },
        5s));
    EXPECT_EQ(status, 3);
    EXPECT_EQ(prio, 0);
}

// A dcd reply: the buffer must arrive zeroed; the priority goes at offset,
// and the buffer's last word is filled to show the size is the expected one.
template <size_t Size>
int32_t reply(void *cfg, size_t offset, int32_t priority) {
    std::array<uint8_t, Size> zero{};
    EXPECT_EQ(memcmp(cfg, zero.data(), Size), 0);
    memcpy(static_cast<uint8_t *>(cfg) + offset, &priority, sizeof priority);
    memset(static_cast<uint8_t *>(cfg) + Size - 4, 0xff, 4);
    return 0;
}

TEST_F(WanifPriority, ConfiguredPriorityAsksPredicatesInOrder) {
    const struct {
        std::string accepts;  // the one predicate that accepts the name
        Texts asked;
        int result;
    } cases[] = {{"eth", {"eth"}, 321},
                 {"p", {"eth", "p"}, 321},
                 {"usbnet_ppp", {"eth", "p", "usbnet_ppp"}, 4321},
                 {"usb", {"eth", "p", "usbnet_ppp", "usb"}, 4321},
                 {"", {"eth", "p", "usbnet_ppp", "usb"}, -1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.accepts);
        fake::reset();
        auto &s = fake::state();
        auto accept_if = [&c](const char *which) {
            return [which, &c](const char *) { return c.accepts == which ? 1 : 0; };
        };
        s.is_eth = accept_if("eth");
        s.is_p = accept_if("p");
        s.is_usbnet_ppp = accept_if("usbnet_ppp");
        s.is_usb = accept_if("usb");
        Texts asked;
        s.if_nametoindex = [](const char *) { return 0u; };  // passed on as it is
        s.dcd_eth = [&](uint32_t idx, void *cfg) {
            asked.push_back("eth " + std::to_string(idx));
            return reply<80>(cfg, 12, 321);
        };
        s.dcd_usbnet = [&](const char *name, void *cfg) {
            asked.push_back(std::string("usbnet ") + name);
            return reply<96>(cfg, 20, 4321);
        };

        EXPECT_EQ(ek_wanif_get_wan_priority_from_dcd_shm("if0"), c.result);
        EXPECT_EQ(s.predicate_calls, c.asked);
        Texts dcd;
        if (c.result == 321) dcd = {"eth 0"};
        if (c.result == 4321) dcd = {"usbnet if0"};
        EXPECT_EQ(asked, dcd);
        EXPECT_TRUE(s.logs.empty());
        EXPECT_EQ(s.calls.opens, 0);
    }
}

TEST_F(WanifPriority, ConfiguredPriorityQueryFailureIsLogged) {
    auto &s = fake::state();
    s.is_p = [](const char *) { return 1; };
    s.if_nametoindex = [](const char *) { return 4u; };
    s.dcd_eth = [](uint32_t, void *) { return -1; };
    EXPECT_EQ(ek_wanif_get_wan_priority_from_dcd_shm("p5"), -1);

    s.is_p = nullptr;
    s.is_usb = [](const char *) { return 1; };
    s.dcd_usbnet = [](const char *, void *) { return -2; };
    EXPECT_EQ(ek_wanif_get_wan_priority_from_dcd_shm("usb1"), -1);

    // A configured -1 reads like a failure, but nothing is logged for it.
    s.dcd_usbnet = [](const char *, void *cfg) {
        memset(static_cast<uint8_t *>(cfg) + 20, 0xff, 4);
        return 0;
    };
    EXPECT_EQ(ek_wanif_get_wan_priority_from_dcd_shm("usb1"), -1);

    auto logs = fake::logs(Channel::syslog);
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0].level, LOG_ERR);
    EXPECT_EQ(logs[0].text, "WANIF: ek_dcd_get_eth_mode_cfg failed p5");
    EXPECT_EQ(logs[1].level, LOG_ERR);
    EXPECT_EQ(logs[1].text, "WANIF: ek_dcd_get_usbnet_mode_cfg failed usb1");
}

}  // namespace
