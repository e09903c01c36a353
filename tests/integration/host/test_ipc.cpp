// The host platform's process services across real processes: semaphores,
// segments, the shell, logging and the device configuration service. A
// holder killed with the modem lock: stress.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <atomic>
#include <fstream>
#include <iterator>

#include "child.h"
#include "ek_host.h"
#include "platform/ek_db.h"
#include "platform/ek_platform.h"

namespace {

using hosttest::spawn;
using hosttest::wait_child;

volatile int32_t *word(void *base, size_t index) {
    return static_cast<volatile int32_t *>(base) + index;
}

TEST(HostIpc, SameKeyGivesTheSameObjectsInEveryProcess) {
    int32_t shm_id = -1;
    int sem = ek_sem_create(0x4200, 1);
    void *shm = ek_shm_create(&shm_id, 0x4201, 4096, sem);
    ASSERT_NE(shm, nullptr);
    for (size_t i = 0; i < 1024; ++i) ASSERT_EQ(*word(shm, i), 0) << "new segment not zero";
    struct shmid_ds ds;
    ASSERT_EQ(shmctl(shm_id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0600u);
    struct semid_ds sds;
    ASSERT_EQ(semctl(sem, 0, IPC_STAT, &sds), 0);
    EXPECT_EQ(sds.sem_perm.mode & 0777, 0600u);
    EXPECT_EQ(ek_shm_create(&shm_id, 0x4201, 1 << 20, sem), nullptr) << "larger than it is";

    ASSERT_EQ(ek_sem_wait(sem), 0);
    pid_t child = spawn([&] {
        int32_t id = -1;
        int s = ek_sem_create(0x4200, 1);
        void *p = ek_shm_create(&id, 0x4201, 4096, s);
        if (s != sem || p == nullptr || id != shm_id) return 1;
        *word(p, 0) = 1;
        return ek_sem_wait(s) == 0 && ek_sem_signal(s) == 0 ? 0 : 2;
    });
    for (int i = 0; i < 5000 && *word(shm, 0) == 0; ++i) usleep(1000);
    ASSERT_EQ(*word(shm, 0), 1) << "child did not attach";
    usleep(100 * 1000);
    EXPECT_EQ(waitpid(child, nullptr, WNOHANG), 0) << "child passed a held semaphore";
    ASSERT_EQ(ek_sem_signal(sem), 0);
    EXPECT_EQ(wait_child(child), 0);
    EXPECT_EQ(semctl(sem, 0, GETVAL), 1);
}

TEST(HostIpc, RacingCreatorsSetTheInitialValueOnce) {
    for (int key = 0x4400; key < 0x4405; ++key) {
        auto *counter = hosttest::shared_anon<int32_t>();
        auto codes = hosttest::race(6, [&](int) {
            int s = ek_sem_create(key, 1);
            for (int r = 0; r < 20; ++r) {
                if (s < 0 || ek_sem_wait(s) != 0) return 1;
                int32_t v = *counter;
                sched_yield();
                *counter = v + 1;
                ek_sem_signal(s);
            }
            return 0;
        });
        EXPECT_EQ(codes, std::vector<int>(6, 0));
        EXPECT_EQ(*counter, 6 * 20) << "two holders at once";
        EXPECT_EQ(semctl(ek_sem_create(key, 1), 0, GETVAL), 1) << "value set more than once";
    }
    int s = ek_sem_create(0x4500, 0);
    sembuf op{0, -1, IPC_NOWAIT};
    EXPECT_EQ(semop(s, &op, 1), -1) << "a new semaphore of value 0 is taken";
    EXPECT_EQ(ek_sem_create(0x4500, 0), s);
}

TEST(HostIpc, CpeHeaderIsInitialisedOnceAcrossProcesses) {
    // Every child makes its process's first accessor call at the same time.
    auto codes = hosttest::race(6, [](int) {
        void *cpe = ek_brd_get_cpe_shm_data();
        return cpe != nullptr && *word(cpe, 0) == 1 && *word(cpe, 1) == 0 && *word(cpe, 2) == 60
                   ? 0
                   : 1;
    });
    EXPECT_EQ(codes, std::vector<int>(6, 0));
    // A later process finds the header set and leaves it alone.
    *word(ek_brd_get_cpe_shm_data(), 2) = 77;
    EXPECT_EQ(wait_child(spawn([] { return *word(ek_brd_get_cpe_shm_data(), 2) == 77 ? 0 : 1; })),
              0);
    EXPECT_EQ(semctl(ek_sem_create(EK_BRD_CPE_SEM_KEY, 1), 0, GETVAL), 1) << "lock left held";
}

std::string slurp(const char *path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(HostServices, ShellAndLog) {
    const struct {
        const char *cmd;
        int32_t want;
    } rows[] = {{"true", 0},
                {"exit 3", 3},
                {"kill -9 $$", 128 + 9},
                {"/nonexistent/command", 127},
                {"printf '%s' \"a b\" | tr a A > /tmp/out", 0},
                {nullptr, -1}};
    for (const auto &r : rows) EXPECT_EQ(ek_system(r.cmd), r.want) << r.cmd;
    EXPECT_EQ(slurp("/tmp/out"), "A b");
    // With EK_LOG_STDERR set, every record is also a line on standard error.
    EXPECT_EQ(wait_child(spawn([] {
                  int fd = open("/tmp/err", O_WRONLY | O_CREAT | O_TRUNC, 0600);
                  dup2(fd, STDERR_FILENO);
                  __ek_err(" ", 123, "usb_modem: store [key=%s] failed!\n", "12d10003");
                  setenv("EK_LOG_STDERR", "1", 1);
                  __ek_err(" ", 123, "usb_modem: store [key=%s] failed!\n", "12d10003");
                  return ek_log(7, "probe %d", 4);
              })),
              0);
    EXPECT_EQ(slurp("/tmp/err"), "line 123: usb_modem: store [key=12d10003] failed!\nprobe 4\n");
}

TEST(HostDcd, NameClassesAndModeConfigurations) {
    // The classes a name is in: e(th), p, u(sbnet or ppp), b (usb).
    const char *rows[][2] = {
        {"eth0", "e"}, {"eth12", "e"}, {"p1", "p"},    {"usbnet0", "u"}, {"ppp3", "u"},
        {"usb0", "b"}, {"eth", ""},    {"eth0.5", ""}, {"eth0p", ""},    {"mgt0", ""},
        {"ppp", ""},   {"usbnet", ""}, {"", ""},       {"pp1", ""},      {"eth0123456789012", ""}};
    for (const auto &r : rows) {
        std::string got =
            std::string(ek_is_eth_ifname(r[0]) ? "e" : "") + (ek_is_p_ifname(r[0]) ? "p" : "") +
            (ek_is_usbnet_ppp_ifname(r[0]) ? "u" : "") + (ek_is_usb_ifname(r[0]) ? "b" : "");
        EXPECT_EQ(got, r[1]) << r[0];
    }
    EXPECT_EQ(ek_is_eth_ifname(nullptr), 0);

    int32_t cfg[24];
    ASSERT_EQ(ek_host_dcd_set_wan_priority("usbnet0", 3), 0);
    ASSERT_EQ(ek_dcd_get_usbnet_mode_cfg("usbnet0", cfg), 0);
    EXPECT_EQ(cfg[5], 3);
    EXPECT_LT(ek_dcd_get_usbnet_mode_cfg("ppp0", cfg), 0);
    EXPECT_EQ(ek_host_dcd_set_wan_priority("wlan0", 3), -1);
    ek_db_handle_t db = ek_db_open_ex(EK_HOST_DCD_USBNET_DB, EK_DB_MODE);
    ASSERT_EQ(ek_db_store(db, "usb1", 4, cfg, 92), 0);
    ek_db_close(db);
    EXPECT_LT(ek_dcd_get_usbnet_mode_cfg("usb1", cfg), 0) << "a record of another size";
}

TEST(HostDcd, InterfacesOfTheNetworkNamespace) {
    if (ek_system("ip link add mgt0 type veth peer name mgt0p && ip addr add 10.1.2.3/24 dev mgt0 "
                  "&& ip link add eth0 type veth peer name p1") != 0) {
        GTEST_SKIP() << "cannot create interfaces in this namespace";
    }
    uint32_t addr = 7, mask = 7;
    EXPECT_NE(ek_dcd_get_addr_byname("mgt0p", &addr, &mask), 0);
    EXPECT_NE(ek_dcd_get_addr_byname("nosuch0", &addr, &mask), 0);
    EXPECT_EQ(addr + mask, 14u) << "changed by a failed query";
    ASSERT_EQ(ek_dcd_get_addr_byname("mgt0", &addr, &mask), 0);
    EXPECT_EQ(addr, inet_addr("10.1.2.3"));
    EXPECT_EQ(mask, inet_addr("255.255.255.0"));

    int32_t cfg[20];
    for (const char *name : {"eth0", "p1"}) {
        unsigned idx = if_nametoindex(name);
        EXPECT_LT(ek_dcd_get_eth_mode_cfg(idx, cfg), 0) << "nothing configured yet";
        ASSERT_EQ(ek_host_dcd_set_wan_priority(name, 7), 0);
        ASSERT_EQ(ek_host_dcd_set_wan_priority(name, 9), 0);
        ASSERT_EQ(ek_dcd_get_eth_mode_cfg(idx, cfg), 0) << name;
        EXPECT_EQ(cfg[3], 9);
    }
    EXPECT_LT(ek_dcd_get_eth_mode_cfg(0, cfg), 0);
}

}  // namespace
