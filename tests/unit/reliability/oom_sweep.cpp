// Every exported function that allocates, run with its k-th allocation
// failing for k = 0, 1, 2, ... until a run no longer reaches the failure.
// Each run must return what the failure handling allows, log exactly its
// line, free everything but the caller's list nodes, close every database
// and release every mutex.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "../usb_modem/store_fixture.h"
#include "../usb_probe/fake_shell.h"
#include "../wanif/wanif_records.h"
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

// ------------------------------------------------------------ USB stores

// Three records, so a failing node allocation can hit the first, a middle
// and the last record of a walk.
template <typename Record>
std::vector<Record> records_on(ek_list_head *list) {
    std::vector<Record> out;
    for (ek_list_head *p = list->next; p != list; p = p->next) {
        Record r;
        memcpy(&r, reinterpret_cast<uint8_t *>(p) + sizeof(ek_list_head), sizeof r);
        out.push_back(r);
    }
    return out;
}

void put_three_cfgs() {
    for (uint8_t i = 0; i < 3; i++) {
        auto c = usb_test::cfg("m" + std::to_string(i), {{0x1000, i}, {0x2000, i}}, i);
        fake::put(usb_test::kCfgDb, c.modem_id, c);
    }
}

void put_three_modeswitches() {
    for (uint8_t i = 0; i < 3; i++) {
        auto m = usb_test::modeswitch(0x1000, i, i);
        char key[9];
        snprintf(key, sizeof key, "%04x%04x", 0x1000u, unsigned{i});
        fake::put(usb_test::kModeswitchDb, key, m);
    }
}

// A walk whose k-th node cannot be made lists the other records, in order.
template <typename Record>
void expect_all_but(long k, bool failed, ek_list_head *list, const char *message,
                    uint16_t (*id)(const Record &)) {
    std::vector<uint16_t> want;
    for (uint16_t i = 0; i < 3; i++) {
        if (!failed || i != k) want.push_back(i);
    }
    std::vector<uint16_t> got;
    for (const Record &r : records_on<Record>(list)) got.push_back(id(r));
    EXPECT_EQ(got, want);
    if (failed) {
        EXPECT_THAT(errors(), ElementsAre(message));
    } else {
        EXPECT_THAT(errors(), IsEmpty());
    }
}

uint16_t cfg_id(const ek_usb_modem_cfg_t &c) {
    return c.usbid[0].pid;
}
uint16_t modeswitch_id(const ek_usb_modeswitch_t &m) {
    return m.pid;
}

TEST(OomSweep, UsbModemGetall) {
    ek_list_head list;
    long runs = rel::sweep({
        "ek_brd_lib_usb_modem_db_getall",
        put_three_cfgs,
        [&] {
            ek::list_init(&list);
            return rel::Outcome{ek_brd_lib_usb_modem_db_getall(&list), &list};
        },
        [&](long k, bool failed, const rel::Outcome &out) {
            EXPECT_EQ(out.value, 0);
            expect_all_but<ek_usb_modem_cfg_t>(
                k, failed, &list, "usb_modem: fail to create usb modem config node.", cfg_id);
        },
    });
    EXPECT_EQ(runs, 4);
}

TEST(OomSweep, UsbModemGetByUsbId) {
    ek_usb_modem_cfg_t out_record;
    rel::sweep({
        "ek_brd_lib_usb_modem_db_get_entry_by_usb_id",
        put_three_cfgs,
        [&] {
            usb_test::fill(out_record, 0xee);
            return rel::Outcome{
                ek_brd_lib_usb_modem_db_get_entry_by_usb_id(0x2000, 1, &out_record)};
        },
        [&](long k, bool failed, const rel::Outcome &out) {
            if (failed && k == 1) {
                // The only record listing the pair was the one left out.
                EXPECT_EQ(out.value, -1);
                ek_usb_modem_cfg_t untouched;
                usb_test::fill(untouched, 0xee);
                EXPECT_EQ(usb_test::bytes(out_record), usb_test::bytes(untouched));
            } else {
                EXPECT_EQ(out.value, 0);
                EXPECT_STREQ(out_record.modem_id, "m1");
            }
            if (failed) {
                EXPECT_THAT(errors(),
                            ElementsAre("usb_modem: fail to create usb modem config node."));
            } else {
                EXPECT_THAT(errors(), IsEmpty());
            }
        },
    });
}

TEST(OomSweep, ModeswitchGetall) {
    ek_list_head list;
    long runs = rel::sweep({
        "ek_brd_lib_usb_modem_db_getall_usb_modeswitch",
        put_three_modeswitches,
        [&] {
            ek::list_init(&list);
            return rel::Outcome{ek_brd_lib_usb_modem_db_getall_usb_modeswitch(&list), &list};
        },
        [&](long k, bool failed, const rel::Outcome &out) {
            EXPECT_EQ(out.value, 0);
            expect_all_but<ek_usb_modeswitch_t>(
                k, failed, &list, "usb_modem: fail to create usb modem mode switch node.",
                modeswitch_id);
        },
    });
    EXPECT_EQ(runs, 4);
}

TEST(OomSweep, ModeswitchFetch) {
    ek_usb_modeswitch_t out_record;
    rel::sweep({
        "ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry",
        put_three_modeswitches,
        [&] {
            usb_test::fill(out_record, 0xee);
            return rel::Outcome{
                ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(0x1000, 2, &out_record)};
        },
        [&](long k, bool failed, const rel::Outcome &out) {
            if (failed && k == 2) {
                EXPECT_EQ(out.value, -1);
                ek_usb_modeswitch_t untouched;
                usb_test::fill(untouched, 0xee);
                EXPECT_EQ(usb_test::bytes(out_record), usb_test::bytes(untouched));
            } else {
                EXPECT_EQ(out.value, 0);
                EXPECT_EQ(usb_test::bytes(out_record),
                          usb_test::bytes(usb_test::modeswitch(0x1000, 2, 2)));
            }
            if (failed) {
                EXPECT_THAT(errors(),
                            ElementsAre("usb_modem: fail to create usb modem mode switch node."));
            } else {
                EXPECT_THAT(errors(), IsEmpty());
            }
        },
    });
}

// ---------------------------------------------------- nothing to sweep

// Every other exported function must not allocate at all: with the first
// allocation failing, each still gives its normal answer.
TEST(OomSweep, TheOtherFunctionsNeverAllocate) {
    fake::reset();
    fake::put(usb_test::kCfgDb, "m1", usb_test::cfg("m1", {{1, 2}}));
    wanif_test::put(wanif_test::Wan("usb0").name("usbnet0").status(2));
    fake::state().is_usb = [](const char *) { return 1; };
    fake::state().dcd_usbnet = [](const char *, void *cfg) {
        const int32_t priority = 9;
        memcpy(static_cast<uint8_t *>(cfg) + 20, &priority, sizeof priority);
        return 0;
    };
    fake::in_fresh_process([] {
        fake::arm_malloc(0);
        EXPECT_NE(ek_brd_get_routing_shm_data(), nullptr);
        EXPECT_NE(ek_brd_get_cpe_shm_data(), nullptr);
        ek_brd_set_save_report_flag(3);
        EXPECT_EQ(ek_brd_get_save_report_flag(), 3);
        ek_brd_set_brd_auth(4);
        EXPECT_EQ(ek_brd_get_brd_auth(), 4);

        EXPECT_EQ(ek_brd_cpe_shm_request_nat_policy_id(), 1);
        ek_brd_cpe_shm_save_nat_policy(1, "nat1", 2);
        EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_id("nat1"), 1);
        EXPECT_EQ(ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface("nat1", "eth0"), 1);
        EXPECT_STREQ(ek_brd_cpe_shm_get_nat_policy_name(1), "nat1");
        char line[96] = "";
        ek_brd_cpe_shm_get_nat_policy_output(0, line);
        EXPECT_STREQ(line, "\tnat_policy_id|name|type: 1|nat1|2\n");
        ek_brd_cpe_shm_delete_nat_policy(1);
        const uint32_t table[1 + 4] = {1, 10, 0, 0, 0};
        int index = -1, found = -1;
        ek_brd_find_static_route_index_in_brd_static_routes_local(table, 10, 0, 0, 0, &index,
                                                                  &found);
        EXPECT_EQ(found, 1);
        ek_brd_find_subnet_index_in_vpn_internal_subnets_local(table, 5, 0, 0, -1, &index, &found);
        EXPECT_EQ(index, 1);

        EXPECT_EQ(ek_brd_lib_usb_modem_init(), 0);
        void *shm = nullptr;
        EXPECT_EQ(ek_brd_lib_usb_modem_get_shm(&shm), 0);
        EXPECT_NE(shm, nullptr);
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_lock(), 0);
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_unlock(), 0);

        auto c = usb_test::cfg("m2", {{3, 4}});
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_is_entry_valid(&c), 1);
        ek_brd_lib_usb_modem_cfg_entry_add_vid_pid(5, 6, &c);
        ek_brd_lib_usb_modem_cfg_entry_remove_vid_pid(3, 4, &c);
        EXPECT_EQ(ek_brd_lib_usb_modem_db_store_entry(&c), 0);
        EXPECT_EQ(ek_brd_lib_usb_modem_db_get_num(), 2);
        EXPECT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_modem_id("m1", &c), 0);
        EXPECT_EQ(ek_brd_lib_usb_modem_db_delete_entry_by_modem_id("m2"), 0);
        int status = 0;
        EXPECT_EQ(ek_brd_lib_get_usbnet_status(&status), 0);
        EXPECT_EQ(status, 2);
        EXPECT_EQ(ek_wanif_get_wan_priority_from_dcd_shm("usbnet0"), 9);
        auto m = usb_test::modeswitch(0x1a2b, 3);
        EXPECT_EQ(ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry(&m), 0);
        EXPECT_EQ(ek_brd_lib_usb_modem_db_delete_usb_modeswitch_entry(0x1a2b, 3), 0);
        fake::disarm_malloc();
        EXPECT_EQ(fake::state().calls.mallocs, 0);
        EXPECT_THAT(errors(), IsEmpty());
    });
}

}  // namespace
