// Once-only attach of the routing and CPE segments. The once flags never
// reset inside a process, so every case runs in a forked child.
#include <gtest/gtest.h>
#include <string.h>

#include <thread>
#include <vector>

#include "common/shm_word.h"
#include "ek_brd.h"
#include "fake_platform.h"

namespace {

using fake::Channel;

class Segments : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
};

int32_t word(void *base, uint32_t off) {
    return ek::shm_word(base, off);
}

TEST_F(Segments, FirstAttachInitialisesFreshCpeHeader) {
    fake::in_fresh_process([] {
        uint8_t *cpe = static_cast<uint8_t *>(ek_brd_get_cpe_shm_data());
        ASSERT_NE(cpe, nullptr);
        EXPECT_EQ(word(cpe, 0), 1);
        EXPECT_EQ(word(cpe, 4), 0);
        EXPECT_EQ(word(cpe, 8), 60);
        EXPECT_EQ(ek_brd_get_save_report_flag(), 0);
        EXPECT_EQ(ek_brd_get_brd_auth(), 0);
        const auto &c = fake::state().calls;
        EXPECT_EQ(c.sem_keys, std::vector<int32_t>{0x15010});
        EXPECT_EQ(c.shm_keys, std::vector<int32_t>{0x15011});
        EXPECT_EQ(c.shm_sizes, std::vector<uint32_t>{85896u});
        EXPECT_EQ(c.sem_waits, 1);
        EXPECT_EQ(c.sem_signals, 1);
        EXPECT_TRUE(fake::state().logs.empty());
    });
}

TEST_F(Segments, LaterAttachLeavesAnInitialisedHeaderAlone) {
    void *seg = fake::shared_segment(0x15011, 85896);
    fake::in_fresh_process([] { ek_brd_get_cpe_shm_data(); });
    ek::shm_word(seg, 4) = 77;
    ek::shm_word(seg, 8) = -3;
    fake::in_fresh_process([seg] {
        EXPECT_EQ(ek_brd_get_cpe_shm_data(), seg);
        EXPECT_EQ(word(seg, 0), 1);
        EXPECT_EQ(word(seg, 4), 77);
        EXPECT_EQ(word(seg, 8), -3);
    });
}

TEST_F(Segments, EveryProcessResetsTheRoutingWord) {
    void *seg = fake::shared_segment(0x15001, 2804896);
    for (int32_t planted : {7, -1}) {
        ek::shm_word(seg, 2800788) = planted;
        fake::in_fresh_process([seg] {
            EXPECT_EQ(ek_brd_get_routing_shm_data(), seg);
            EXPECT_EQ(word(seg, 2800788), 0);
            const auto &c = fake::state().calls;
            EXPECT_EQ(c.sem_keys, std::vector<int32_t>{0x15000});
            EXPECT_EQ(c.shm_sizes, std::vector<uint32_t>{2804896u});
            EXPECT_EQ(c.sem_waits, 1);
            EXPECT_EQ(c.sem_signals, 1);
        });
        EXPECT_EQ(word(seg, 2800788), 0);
    }
}

TEST_F(Segments, ScalarValuesPassBetweenProcessesUnchanged) {
    void *seg = fake::shared_segment(0x15011, 85896);
    fake::in_fresh_process([] {
        ek_brd_set_brd_auth(-1);
        ek_brd_set_save_report_flag(-123456);
    });
    EXPECT_EQ(word(seg, 81788), -1);
    EXPECT_EQ(word(seg, 27368), -123456);
    fake::in_fresh_process([] {
        EXPECT_EQ(ek_brd_get_brd_auth(), -1);
        EXPECT_EQ(ek_brd_get_save_report_flag(), -123456);
        ek_brd_set_brd_auth(0x7fffffff);
        EXPECT_EQ(ek_brd_get_brd_auth(), 0x7fffffff);
    });
}

TEST_F(Segments, FailedSemaphoreIsNeverRetried) {
    fake::state().faults.sem_create_fail = true;
    fake::in_fresh_process([] {
        EXPECT_EQ(ek_brd_get_routing_shm_data(), nullptr);
        EXPECT_EQ(ek_brd_get_routing_shm_data(), nullptr);
        EXPECT_EQ(ek_brd_get_cpe_shm_data(), nullptr);
        EXPECT_EQ(ek_brd_get_cpe_shm_data(), nullptr);
        const auto &c = fake::state().calls;
        EXPECT_EQ(c.sem_creates, 2);  // one per segment, never again
        EXPECT_EQ(c.shm_creates, 0);
        auto errs = fake::logs(Channel::ek_err);
        ASSERT_EQ(errs.size(), 1u);  // the CPE segment logs nothing
        EXPECT_EQ(errs[0].text, "ek brd create create routing sem failed!");
        EXPECT_EQ(errs[0].tag, " ");
        EXPECT_GT(errs[0].line, 0);
    });
}

TEST_F(Segments, FailedSegmentRemovesItsSemaphore) {
    fake::state().faults.shm_create_fail = true;
    fake::in_fresh_process([] {
        EXPECT_EQ(ek_brd_get_routing_shm_data(), nullptr);
        EXPECT_EQ(ek_brd_get_cpe_shm_data(), nullptr);
        EXPECT_EQ(ek_brd_get_routing_shm_data(), nullptr);
        const auto &c = fake::state().calls;
        EXPECT_EQ(c.sem_destroys, 2);
        EXPECT_EQ(c.shm_creates, 2);
        EXPECT_EQ(c.sem_waits, 0);
        EXPECT_EQ(fake::texts(Channel::ek_err),
                  std::vector<std::string>{"Init routing share memory failed."});
    });
}

TEST_F(Segments, FieldAccessorsWithoutCpeSegmentReadZeroAndDropWrites) {
    fake::state().faults.shm_create_fail = true;
    fake::in_fresh_process([] {
        ek_brd_set_brd_auth(5);
        ek_brd_set_save_report_flag(6);
        EXPECT_EQ(ek_brd_get_brd_auth(), 0);
        EXPECT_EQ(ek_brd_get_save_report_flag(), 0);
        EXPECT_EQ(fake::state().calls.shm_creates, 1);
    });
}

TEST_F(Segments, FieldAccessorsShareTheCpeAttach) {
    fake::in_fresh_process([] {
        ek_brd_set_save_report_flag(3);  // attaches
        uint8_t *cpe = static_cast<uint8_t *>(ek_brd_get_cpe_shm_data());
        ASSERT_NE(cpe, nullptr);
        EXPECT_EQ(word(cpe, 27368), 3);
        EXPECT_EQ(fake::state().calls.shm_creates, 1);
        EXPECT_EQ(fake::state().calls.sem_waits, 1);  // only the first call
    });
}

TEST_F(Segments, ThreadsRacingTheFirstCallAttachOnce) {
    fake::in_fresh_process([] {
        std::vector<std::thread> threads;
        std::vector<void *> seen(16);
        for (int i = 0; i < 16; i++) {
            threads.emplace_back([&seen, i] {
                seen[i] = i % 2 ? ek_brd_get_cpe_shm_data() : ek_brd_get_routing_shm_data();
            });
        }
        for (auto &t : threads) t.join();
        EXPECT_EQ(fake::state().calls.shm_creates, 2);
        for (int i = 2; i < 16; i++) EXPECT_EQ(seen[i], seen[i % 2]);
        EXPECT_NE(seen[0], nullptr);
        EXPECT_NE(seen[1], nullptr);
    });
}

}  // namespace
