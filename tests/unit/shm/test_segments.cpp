// Once-only attach of the routing and CPE segments, and the CPE fields. The
// once flags never reset inside a process, so every case runs in a forked
// child against segments made here, which children attach and which stay
// readable here afterwards. Failed attaches are rows of the failure table.
#include <gtest/gtest.h>

#include "common/shm_word.h"
#include "fake_platform.h"

namespace {

int32_t &word(void *base, uint32_t offset) {
    return const_cast<int32_t &>(ek::shm_word(base, offset));
}

TEST(Segments, EachProcessAttachesOnceInitialisingOnlyAFreshCpeHeader) {
    fake::reset();
    void *cpe = fake::shared_segment(0x15011, 85896);
    void *routing = fake::shared_segment(0x15001, 2804896);
    for (int32_t planted : {7, -1}) {
        word(routing, 2800788) = planted;
        fake::in_fresh_process([=] {
            EXPECT_EQ(ek_brd_get_save_report_flag(), planted == 7 ? 0 : 3);  // attaches
            EXPECT_EQ(ek_brd_get_cpe_shm_data(), cpe);
            EXPECT_EQ(ek_brd_get_routing_shm_data(), routing);
            EXPECT_EQ(ek_brd_get_routing_shm_data(), routing);
            const auto &c = fake::state().calls;
            EXPECT_EQ(c.sem_keys, (std::vector<int32_t>{0x15010, 0x15000}));
            EXPECT_EQ(c.shm_keys, (std::vector<int32_t>{0x15011, 0x15001}));
            EXPECT_EQ(c.shm_sizes, (std::vector<uint32_t>{85896, 2804896}));
            EXPECT_EQ(c.sem_waits, 2);
            EXPECT_EQ(c.sem_signals, 2);
            EXPECT_TRUE(fake::state().logs.empty());
        });
        EXPECT_EQ(word(routing, 2800788), 0);  // reset by every process that attaches
        EXPECT_EQ(word(cpe, 0), 1);
        EXPECT_EQ(word(cpe, 4), planted == 7 ? 0 : 77);
        EXPECT_EQ(word(cpe, 8), planted == 7 ? 60 : -3);
        word(cpe, 4) = 77;  // an initialised header is left alone
        word(cpe, 8) = -3;
        word(cpe, 27368) = 3;
    }
}

TEST(Segments, FieldsPassBetweenProcessesUnchanged) {
    fake::reset();
    void *cpe = fake::shared_segment(0x15011, 85896);
    fake::in_fresh_process([] {
        ek_brd_set_brd_auth(-1);
        ek_brd_set_save_report_flag(-123456);
    });
    EXPECT_EQ(word(cpe, 81788), -1);
    EXPECT_EQ(word(cpe, 27368), -123456);
    fake::in_fresh_process([] {
        EXPECT_EQ(ek_brd_get_brd_auth(), -1);
        EXPECT_EQ(ek_brd_get_save_report_flag(), -123456);
        ek_brd_set_brd_auth(0x7fffffff);
        EXPECT_EQ(ek_brd_get_brd_auth(), 0x7fffffff);
        EXPECT_EQ(fake::state().calls.shm_creates, 1);
    });
}

}  // namespace
