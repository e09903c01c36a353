// The USB modem lock and stores against the host platform, across real
// processes: SysV semaphore and segment, database files under /tmp/db.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "ek_brd.h"

namespace {

// Runs body in a forked child; the child's exit code says whether any of its
// assertions failed.
pid_t spawn(const std::function<void()> &body) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        body();
        fflush(stdout);
        fflush(stderr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    return pid;
}

int wait_for(pid_t pid) {
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return status;
}

void expect_clean_exit(pid_t pid) {
    int status = wait_for(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

ek_usb_modem_cfg_t make_cfg(const std::string &id, uint16_t vid, uint16_t pid) {
    ek_usb_modem_cfg_t c;
    memset(&c, 0, sizeof c);
    memcpy(c.modem_id, id.c_str(), id.size() + 1);
    ek_brd_lib_usb_modem_cfg_entry_add_vid_pid(vid, pid, &c);
    for (size_t i = 0; i < sizeof c.rest; i++) c.rest[i] = static_cast<uint8_t>(i ^ vid);
    return c;
}

uint32_t counter_of(const ek_usb_modem_cfg_t &c) {
    uint32_t v;
    memcpy(&v, c.rest + 100, sizeof v);
    return v;
}

void set_counter(ek_usb_modem_cfg_t &c, uint32_t v) {
    memcpy(c.rest + 100, &v, sizeof v);
}

std::vector<ek_usb_modem_cfg_t> list_all_cfg() {
    ek_list_head head{&head, &head};
    std::vector<ek_usb_modem_cfg_t> out;
    EXPECT_EQ(ek_brd_lib_usb_modem_db_getall(&head), 0);
    for (ek_list_head *link = head.next; link != &head;) {
        ek_list_head *next = link->next;
        out.push_back(reinterpret_cast<ek_usb_modem_cfg_node_t *>(link)->cfg);
        free(link);
        link = next;
    }
    return out;
}

class UsbModemHost : public ::testing::Test {
protected:
    // Each test process has its own /tmp; the database directory is the
    // platform's to provide on the router.
    void SetUp() override { mkdir("/tmp/db", 0755); }
};

// Each child stores its own modem and, under the lock, bumps a counter kept
// in a shared record by read, modify, store. A lost update would show as a
// short count; the pause inside the critical section makes one likely if the
// lock did not exclude.
TEST_F(UsbModemHost, ProcessesEditingUnderTheLockLoseNoUpdate) {
    constexpr int kChildren = 2;
    constexpr uint32_t kRounds = 20;
    auto shared = make_cfg("shared", 0x1111, 0x0001);
    set_counter(shared, 0);
    ASSERT_EQ(ek_brd_lib_usb_modem_db_store_entry(&shared), 0);

    std::vector<pid_t> kids;
    for (int k = 0; k < kChildren; k++) {
        kids.push_back(spawn([k] {
            ASSERT_EQ(ek_brd_lib_usb_modem_init(), 0);
            auto mine = make_cfg("child-" + std::to_string(k), 0x2000 + k, 0x0100 + k);
            for (uint32_t r = 0; r < kRounds; r++) {
                ASSERT_EQ(ek_brd_lib_usb_modem_cfg_lock(), 0);
                ek_usb_modem_cfg_t c;
                ASSERT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_modem_id("shared", &c), 0);
                set_counter(c, counter_of(c) + 1);
                usleep(500);
                ASSERT_EQ(ek_brd_lib_usb_modem_db_store_entry(&c), 0);
                if (r == 0) {
                    ASSERT_EQ(ek_brd_lib_usb_modem_db_store_entry(&mine), 0);
                }
                EXPECT_GE(list_all_cfg().size(), 2u);
                ASSERT_EQ(ek_brd_lib_usb_modem_cfg_unlock(), 0);
            }
        }));
    }
    for (pid_t pid : kids) expect_clean_exit(pid);

    ek_usb_modem_cfg_t out;
    ASSERT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_modem_id("shared", &out), 0);
    EXPECT_EQ(counter_of(out), kChildren * kRounds);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_num(), 1 + kChildren);
    std::vector<std::string> ids;
    for (const auto &c : list_all_cfg()) ids.push_back(c.modem_id);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::string>{"child-0", "child-1", "shared"}));

    ASSERT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_usb_id(0x2001, 0x0101, &out), 0);
    EXPECT_STREQ(out.modem_id, "child-1");
    EXPECT_EQ(ek_brd_lib_usb_modem_db_delete_entry_by_modem_id("child-0"), 0);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_usb_id(0x2000, 0x0100, &out), -1);
}

// The holder dies with the lock taken; the semaphore is undone by the
// kernel, so another process can take the lock.
TEST_F(UsbModemHost, LockIsReleasedWhenItsHolderDies) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = spawn([&ready] {
        close(ready[0]);
        ASSERT_EQ(ek_brd_lib_usb_modem_init(), 0);
        ASSERT_EQ(ek_brd_lib_usb_modem_cfg_lock(), 0);
        char c = 1;
        ASSERT_EQ(write(ready[1], &c, 1), 1);
        pause();
    });
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);

    // While the holder lives, another taker blocks (and is ended by its alarm).
    pid_t blocked = spawn([] {
        ASSERT_EQ(ek_brd_lib_usb_modem_init(), 0);
        alarm(1);
        ek_brd_lib_usb_modem_cfg_lock();
        ADD_FAILURE() << "took a lock that another process holds";
    });
    int status = wait_for(blocked);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) << "wait status " << status;

    ASSERT_EQ(kill(holder, SIGKILL), 0);
    status = wait_for(holder);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    pid_t taker = spawn([] {
        ASSERT_EQ(ek_brd_lib_usb_modem_init(), 0);
        alarm(10);
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_lock(), 0);
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_unlock(), 0);
    });
    expect_clean_exit(taker);
}

TEST_F(UsbModemHost, ModeswitchRecordPassesBetweenProcesses) {
    ek_usb_modeswitch_t m;
    for (size_t i = 0; i < sizeof m; i++) reinterpret_cast<uint8_t *>(&m)[i] = uint8_t(i * 3);
    m.vid = 0x1a2b;
    m.pid = 0x0003;
    pid_t writer =
        spawn([&m] { ASSERT_EQ(ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry(&m), 0); });
    expect_clean_exit(writer);

    ek_usb_modeswitch_t out;
    memset(&out, 0, sizeof out);
    ASSERT_EQ(ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(0x1a2b, 0x0003, &out), 0);
    EXPECT_EQ(0, memcmp(&out, &m, sizeof m));
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(0x1a2b, 0x0004, &out), -1);

    ek_list_head head{&head, &head};
    ASSERT_EQ(ek_brd_lib_usb_modem_db_getall_usb_modeswitch(&head), 0);
    ASSERT_NE(head.next, &head);
    EXPECT_EQ(head.next->next, &head);
    free(head.next);

    pid_t remover = spawn(
        [] { ASSERT_EQ(ek_brd_lib_usb_modem_db_delete_usb_modeswitch_entry(0x1a2b, 0x0003), 0); });
    expect_clean_exit(remover);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(0x1a2b, 0x0003, &out), -1);
}

}  // namespace
