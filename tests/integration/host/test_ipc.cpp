// Semaphores and segments across real processes.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <time.h>

#include <atomic>
#include <vector>

#include "child.h"
#include "ek_brd.h"
#include "platform/ek_platform.h"

namespace {

using hosttest::spawn;
using hosttest::wait_child;

int sem_value(int id) {
    return semctl(id, 0, GETVAL);
}

// A wait that gives up instead of hanging the suite.
bool sem_take_within(int id, int seconds) {
    sembuf op{0, -1, SEM_UNDO};
    timespec limit{seconds, 0};
    return semtimedop(id, &op, 1, &limit) == 0;
}

volatile int32_t *word(void *base, size_t index) {
    return static_cast<volatile int32_t *>(base) + index;
}

TEST(HostIpc, SameKeyGivesSameSegmentAndSemaphoreInEveryProcess) {
    int32_t shm_id = -1;
    int sem = ek_sem_create(0x4200, 1);
    ASSERT_GE(sem, 0);
    void *shm = ek_shm_create(&shm_id, 0x4201, 4096, sem);
    ASSERT_NE(shm, nullptr);
    EXPECT_GE(shm_id, 0);
    for (size_t i = 0; i < 1024; ++i) ASSERT_EQ(*word(shm, i), 0) << "new segment not zero";

    struct shmid_ds ds;
    ASSERT_EQ(shmctl(shm_id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0600u);
    struct semid_ds sds;
    ASSERT_EQ(semctl(sem, 0, IPC_STAT, &sds), 0);
    EXPECT_EQ(sds.sem_perm.mode & 0777, 0600u);

    ASSERT_EQ(ek_sem_wait(sem), 0);
    pid_t child = spawn([&] {
        int32_t id = -1;
        int s = ek_sem_create(0x4200, 1);
        void *p = ek_shm_create(&id, 0x4201, 4096, s);
        if (s != sem || p == nullptr || id != shm_id) return 1;
        *word(p, 0) = 1;  // attached
        if (ek_sem_wait(s) != 0) return 2;
        *word(p, 1) = 2;  // got the semaphore
        ek_sem_signal(s);
        return 0;
    });
    for (int i = 0; i < 5000 && *word(shm, 0) == 0; ++i) usleep(1000);
    ASSERT_EQ(*word(shm, 0), 1) << "child did not attach";
    usleep(100 * 1000);
    EXPECT_EQ(*word(shm, 1), 0) << "child passed a held semaphore";
    ASSERT_EQ(ek_sem_signal(sem), 0);
    EXPECT_EQ(wait_child(child), 0);
    EXPECT_EQ(*word(shm, 1), 2);
    EXPECT_EQ(sem_value(sem), 1);
}

TEST(HostIpc, ExistingSegmentSmallerThanAskedIsRefused) {
    int32_t id = -1;
    ASSERT_NE(ek_shm_create(&id, 0x4301, 64, -1), nullptr);
    EXPECT_EQ(ek_shm_create(&id, 0x4301, 1 << 20, -1), nullptr);
}

TEST(HostIpc, RacingCreatorsSetTheInitialValueOnce) {
    constexpr int kChildren = 6;
    constexpr int kRounds = 20;
    for (int key = 0x4400; key < 0x4405; ++key) {
        auto *counter = hosttest::shared_anon<int32_t>();
        hosttest::StartGate gate;
        std::vector<pid_t> kids;
        for (int c = 0; c < kChildren; ++c) {
            kids.push_back(spawn([&] {
                gate.wait();
                int s = ek_sem_create(key, 1);
                if (s < 0) return 1;
                for (int r = 0; r < kRounds; ++r) {
                    if (ek_sem_wait(s) != 0) return 2;
                    int32_t v = *counter;
                    sched_yield();
                    *counter = v + 1;
                    ek_sem_signal(s);
                }
                return 0;
            }));
        }
        gate.release();
        for (pid_t k : kids) EXPECT_EQ(wait_child(k), 0);
        EXPECT_EQ(*counter, kChildren * kRounds) << "lost updates: two holders at once";
        int s = ek_sem_create(key, 1);
        EXPECT_EQ(sem_value(s), 1) << "initial value applied more than once";
        munmap(counter, sizeof *counter);
    }
}

TEST(HostIpc, NewSemaphoreWithValueZeroBlocksItsFirstWait) {
    int s = ek_sem_create(0x4500, 0);
    ASSERT_GE(s, 0);
    sembuf op{0, -1, IPC_NOWAIT};
    EXPECT_EQ(semop(s, &op, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(ek_sem_create(0x4500, 0), s);
}

TEST(HostIpc, ProcessKilledHoldingTheModemLockReleasesIt) {
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t child = spawn([&] {
        int s = ek_sem_create(EK_USB_MODEM_SEM_KEY, 1);
        if (s < 0 || ek_sem_wait(s) != 0) return 1;
        char c = 'h';
        if (write(pipefd[1], &c, 1) != 1) return 2;
        pause();
        return 0;
    });
    close(pipefd[1]);
    char c = 0;
    ASSERT_EQ(read(pipefd[0], &c, 1), 1);
    close(pipefd[0]);
    int s = ek_sem_create(EK_USB_MODEM_SEM_KEY, 1);
    EXPECT_EQ(sem_value(s), 0) << "the child should hold it now";
    kill(child, SIGKILL);
    EXPECT_EQ(wait_child(child), 128 + SIGKILL);
    EXPECT_EQ(sem_value(s), 1);
    EXPECT_TRUE(sem_take_within(s, 5));
}

TEST(HostIpc, CpeHeaderIsInitialisedOnceAcrossProcesses) {
    // Every child makes its process's first accessor call at the same time.
    constexpr int kChildren = 6;
    hosttest::StartGate gate;
    std::vector<pid_t> kids;
    for (int c = 0; c < kChildren; ++c) {
        kids.push_back(spawn([&] {
            gate.wait();
            void *cpe = ek_brd_get_cpe_shm_data();
            if (cpe == nullptr) return 1;
            return *word(cpe, 0) == 1 && *word(cpe, 1) == 0 && *word(cpe, 2) == 60 ? 0 : 2;
        }));
    }
    gate.release();
    for (pid_t k : kids) EXPECT_EQ(wait_child(k), 0);

    // A later process finds the header set and leaves it alone.
    EXPECT_EQ(wait_child(spawn([] {
                  *word(ek_brd_get_cpe_shm_data(), 2) = 77;
                  return 0;
              })),
              0);
    EXPECT_EQ(wait_child(spawn([] {
                  void *cpe = ek_brd_get_cpe_shm_data();
                  return cpe != nullptr && *word(cpe, 2) == 77 ? 0 : 1;
              })),
              0);
    EXPECT_EQ(sem_value(ek_sem_create(EK_BRD_CPE_SEM_KEY, 1)), 1) << "header lock left held";
}

}  // namespace
