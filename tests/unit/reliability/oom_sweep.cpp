// Every exported function that allocates, run with its k-th allocation
// failing for k = 0, 1, 2, ... until a run no longer reaches the failure.
// Each run must return what the failure handling allows, log exactly its
// line, free everything but the caller's list nodes, close every database
// and release every mutex.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../usb_probe/fake_shell.h"
#include "ek_brd.h"
#include "fake_platform.h"
#include "harness.h"

namespace {

using fake::Channel;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::vector<std::string> errors() {
    return fake::texts(Channel::ek_err);
}

const char kModemListing[] =
    "Bus 001 Device 001: ID 1d6b:0002 root hub\nBus 001 Device 003: ID 12d1:1446 modem\n";

TEST(OomSweep, UsbProbe) {
    uint16_t vid = 0;
    uint16_t pid = 0;
    long runs = rel::sweep({
        "ek_brd_lib_usb_modem_get_attached_dev",
        [] { fake_shell::install({kModemListing}); },
        [&] { return rel::Outcome{ek_brd_lib_usb_modem_get_attached_dev(&vid, &pid)}; },
        [&](long, bool failed, const rel::Outcome &out) {
            if (failed) {
                EXPECT_EQ(out.value, 0);
                EXPECT_THAT(errors(), ElementsAre("malloc failed"));
                EXPECT_EQ(fake::state().calls.systems, 0);
            } else {
                EXPECT_EQ(out.value, 1);
                EXPECT_EQ(vid, 0x12d1);
                EXPECT_EQ(pid, 0x1446);
                EXPECT_THAT(errors(), IsEmpty());
            }
            EXPECT_THAT(fake_shell::temp_files(), IsEmpty());
        },
    });
    EXPECT_EQ(runs, 2);
}

TEST(OomSweep, UsbModeSwitch) {
    rel::sweep({
        "ek_brd_lib_usb_modem_modeswitch",
        [] { fake_shell::install({kModemListing}); },
        [] { return rel::Outcome{ek_brd_lib_usb_modem_modeswitch(0x12d1, 0x1446, "5553")}; },
        [](long, bool failed, const rel::Outcome &out) {
            if (failed) {
                EXPECT_EQ(out.value, -1);
                EXPECT_THAT(errors(),
                            ElementsAre("malloc failed",
                                        "usb_modem: failed to switch mode, no usb device attach."));
                EXPECT_EQ(fake::state().calls.systems, 0);
            } else {
                EXPECT_EQ(out.value, 0);
                EXPECT_THAT(errors(), IsEmpty());
                EXPECT_EQ(fake::state().commands.back(),
                          "usb_modeswitch -Q -v 0x12d1 -p 0x1446 -M \"5553\"");
            }
        },
    });
}

TEST(OomSweep, UsbTtyCount) {
    rel::sweep({
        "ek_brd_lib_usb_modem_get_ttydev_count",
        [] { fake_shell::install({"2\n"}); },
        [] { return rel::Outcome{ek_brd_lib_usb_modem_get_ttydev_count()}; },
        [](long, bool failed, const rel::Outcome &out) {
            EXPECT_EQ(out.value, failed ? -1 : 2);
            if (failed) {
                EXPECT_THAT(errors(), ElementsAre("malloc failed"));
            } else {
                EXPECT_THAT(errors(), IsEmpty());
            }
            EXPECT_THAT(fake_shell::temp_files(), IsEmpty());
        },
    });
}

}  // namespace
