// The USB modem segment and lock. Their state lives for the whole process,
// so every case runs in a forked child.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ek_brd.h"
#include "fake_platform.h"

namespace {

using fake::Channel;

class UsbModemLock : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
};

TEST_F(UsbModemLock, InitAttachesOnceAndLockMapsToTheSemaphore) {
    void *seg = fake::shared_segment(0x17001, 32);
    fake::in_fresh_process([seg] {
        ASSERT_EQ(ek_brd_lib_usb_modem_init(), 0);
        const auto &c = fake::state().calls;
        EXPECT_EQ(c.sem_keys, std::vector<int32_t>{0x17000});
        EXPECT_EQ(c.shm_keys, std::vector<int32_t>{0x17001});
        EXPECT_EQ(c.shm_sizes, std::vector<uint32_t>{32u});
        EXPECT_EQ(c.sem_waits, 0);  // init neither locks nor writes
        void *got = nullptr;
        EXPECT_EQ(ek_brd_lib_usb_modem_get_shm(&got), 0);
        EXPECT_EQ(got, seg);

        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_lock(), 0);
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_unlock(), 0);
        EXPECT_EQ(c.sem_waits, 1);
        EXPECT_EQ(c.sem_signals, 1);
        EXPECT_TRUE(fake::state().logs.empty());

        // A repeated init only says so.
        EXPECT_EQ(ek_brd_lib_usb_modem_init(), 0);
        EXPECT_EQ(c.sem_creates, 1);
        EXPECT_EQ(c.shm_creates, 1);
        auto logs = fake::logs(Channel::ek_log);
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_EQ(logs[0].level, 7);
        EXPECT_EQ(logs[0].text, "USB modem cfg shared mem already initialized\n");
        EXPECT_TRUE(fake::logs(Channel::ek_err).empty());
    });
    for (int i = 0; i < 32; i++) EXPECT_EQ(static_cast<uint8_t *>(seg)[i], 0);
}

TEST_F(UsbModemLock, LockResultsComeStraightFromTheSemaphore) {
    fake::state().faults.sem_op_result = -5;
    fake::in_fresh_process([] {
        ASSERT_EQ(ek_brd_lib_usb_modem_init(), 0);
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_lock(), -5);
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_unlock(), -5);
    });
}

TEST_F(UsbModemLock, BeforeInitLockFailsAtOnceAndTheSegmentIsNull) {
    fake::in_fresh_process([] {
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_lock(), -1);
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_unlock(), -1);
        int dummy = 0;
        void *got = &dummy;
        EXPECT_EQ(ek_brd_lib_usb_modem_get_shm(&got), 0);
        EXPECT_EQ(got, nullptr);
        const auto &c = fake::state().calls;
        EXPECT_EQ(c.sem_creates + c.sem_waits + c.sem_signals + c.shm_creates, 0);
        EXPECT_TRUE(fake::state().logs.empty());
    });
}

TEST_F(UsbModemLock, FailedSemaphoreIsLoggedAndRetriedByTheNextInit) {
    fake::state().faults.sem_create_fail = true;
    fake::in_fresh_process([] {
        EXPECT_EQ(ek_brd_lib_usb_modem_init(), -1);
        auto errs = fake::logs(Channel::ek_err);
        ASSERT_EQ(errs.size(), 1u);
        EXPECT_EQ(errs[0].text, "Failed to create sem id for USB modem shared mem cfg\n");
        EXPECT_EQ(errs[0].tag, " ");
        EXPECT_GT(errs[0].line, 0);
        EXPECT_EQ(fake::state().calls.shm_creates, 0);
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_lock(), -1);
        EXPECT_EQ(fake::state().calls.sem_waits, 0);

        fake::state().faults.sem_create_fail = false;
        EXPECT_EQ(ek_brd_lib_usb_modem_init(), 0);
        EXPECT_EQ(fake::state().calls.sem_creates, 2);
        EXPECT_TRUE(fake::logs(Channel::ek_log).empty());
    });
}

TEST_F(UsbModemLock, FailedSegmentDestroysTheSemaphoreSilently) {
    fake::state().faults.shm_create_fail = true;
    fake::in_fresh_process([] {
        EXPECT_EQ(ek_brd_lib_usb_modem_init(), -1);
        const auto &c = fake::state().calls;
        EXPECT_EQ(c.sem_destroys, 1);
        EXPECT_TRUE(fake::state().logs.empty());
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_lock(), -1);
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_unlock(), -1);
        EXPECT_EQ(c.sem_waits + c.sem_signals, 0);
        void *got = &got;
        EXPECT_EQ(ek_brd_lib_usb_modem_get_shm(&got), 0);
        EXPECT_EQ(got, nullptr);

        fake::state().faults.shm_create_fail = false;
        EXPECT_EQ(ek_brd_lib_usb_modem_init(), 0);  // starts again from the semaphore
        EXPECT_EQ(c.sem_creates, 2);
        EXPECT_EQ(c.shm_creates, 2);
        EXPECT_TRUE(fake::state().logs.empty());
        EXPECT_EQ(ek_brd_lib_usb_modem_get_shm(&got), 0);
        EXPECT_NE(got, nullptr);
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_lock(), 0);
    });
}

}  // namespace
