// Shared by the unit tests of the USB modem stores: records with a filler in
// every byte the library must not touch, list draining, and a fixture that
// checks every opened database was closed exactly once.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "ek_brd.h"
#include "fake_platform.h"

namespace usb_test {

inline constexpr char kCfgDb[] = "/tmp/db/usb_modem_cfg";
inline constexpr char kModeswitchDb[] = "/tmp/db/usb_modem_mode_switch";

using Pair = std::pair<uint16_t, uint16_t>;

template <typename T>
std::vector<uint8_t> bytes(const T &v) {
    const auto *b = reinterpret_cast<const uint8_t *>(&v);
    return std::vector<uint8_t>(b, b + sizeof v);
}

// Every byte gets a position-dependent value, so a stray write anywhere
// (the modem id's tail, bytes 4..35 of a slot, the rest) shows up.
template <typename T>
void fill(T &v, uint8_t seed) {
    auto *b = reinterpret_cast<uint8_t *>(&v);
    for (size_t i = 0; i < sizeof v; i++) b[i] = static_cast<uint8_t>(i * 7 + seed);
}

inline ek_usb_modem_cfg_t cfg(const std::string &id, const std::vector<Pair> &pairs,
                              uint8_t seed = 1) {
    ek_usb_modem_cfg_t c;
    fill(c, seed);
    memcpy(c.modem_id, id.c_str(), id.size() + 1);
    c.usbid_num = static_cast<uint32_t>(pairs.size());
    for (size_t i = 0; i < pairs.size(); i++) {
        c.usbid[i].vid = pairs[i].first;
        c.usbid[i].pid = pairs[i].second;
    }
    return c;
}

inline ek_usb_modeswitch_t modeswitch(uint16_t vid, uint16_t pid, uint8_t seed = 1) {
    ek_usb_modeswitch_t m;
    fill(m, seed);
    m.vid = vid;
    m.pid = pid;
    return m;
}

// A caller-made node with the library's layout: link, then the record.
template <typename Record>
ek_list_head *make_node(const Record &r) {
    auto *link = static_cast<ek_list_head *>(malloc(sizeof(ek_list_head) + sizeof r));
    memcpy(reinterpret_cast<uint8_t *>(link) + sizeof(ek_list_head), &r, sizeof r);
    return link;
}

// Checks both directions of the links, copies every record out and frees
// every node as a caller would, leaving the head empty.
template <typename Record>
std::vector<Record> drain(ek_list_head *head) {
    std::vector<Record> out;
    ek_list_head *prev = head;
    for (ek_list_head *link = head->next; link != head;) {
        EXPECT_EQ(link->prev, prev);
        Record r;
        memcpy(&r, reinterpret_cast<uint8_t *>(link) + sizeof(ek_list_head), sizeof r);
        out.push_back(r);
        prev = link;
        ek_list_head *next = link->next;
        free(link);
        link = next;
    }
    EXPECT_EQ(head->prev, prev);
    head->next = head->prev = head;
    return out;
}

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override {
        fake::disarm_malloc();
        const auto &s = fake::state();
        EXPECT_EQ(fake::open_handles(), 0) << "a database was left open or closed twice";
        if (!s.faults.open_fail_all && s.faults.open_fails.empty()) {
            EXPECT_EQ(s.calls.opens, s.calls.closes);
        }
        for (const std::string &p : s.calls.open_paths) {
            EXPECT_TRUE(p == kCfgDb || p == kModeswitchDb) << p;
        }
        for (int32_t m : s.calls.open_modes) EXPECT_EQ(m, 5);
        for (int32_t m : s.calls.delete_modes) EXPECT_EQ(m, 5);
    }

    static std::vector<std::string> errors() { return fake::texts(fake::Channel::ek_err); }
    static void expect_errors(const std::vector<std::string> &want) {
        auto got = fake::logs(fake::Channel::ek_err);
        std::vector<std::string> texts;
        for (const auto &l : got) {
            EXPECT_EQ(l.tag, " ");
            EXPECT_GT(l.line, 0);
            texts.push_back(l.text);
        }
        EXPECT_EQ(texts, want);
    }
    static void expect_quiet() { EXPECT_TRUE(fake::state().logs.empty()); }
};

}  // namespace usb_test
