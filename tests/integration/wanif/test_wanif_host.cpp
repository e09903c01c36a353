// The WAN-interface queries against the host database: records written by
// other processes through libek_db.so, and many threads of one process
// querying while another process rewrites the table.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "ek_brd.h"
#include "platform/ek_db.h"

namespace {

using namespace std::chrono_literals;

const char kPath[] = "/tmp/db/wanif_db";

struct Rec {
    std::string key;
    ek_wanif_entry_t r{};
};

Rec wan(const std::string &ifname) {
    Rec x;
    x.key = ifname;
    memcpy(x.r.ifname, ifname.data(), std::min(ifname.size(), sizeof x.r.ifname));
    return x;
}

Rec usbnet(int32_t priority, int32_t status) {
    Rec x = wan("usb0");
    x.key = "usbnet0";
    memcpy(x.r.name, "usbnet0", 7);
    x.r.priority = priority;
    x.r.usbnet_status = status;
    x.r.is_wanif = 1;
    x.r.ip_addr = 0x0b000001u;
    return x;
}

// The table the concurrency test keeps rewriting: every record's fields are
// a function of its index, so any snapshot can be checked record by record.
constexpr int kEth = 8;
Rec eth(int i) {
    Rec x = wan("eth" + std::to_string(i));
    x.r.is_wanif = 1;
    x.r.is_active_dft_wan = i == 0;
    x.r.ip_addr = 0x0a000001u + static_cast<uint32_t>(i);
    x.r.is_pppoe = 1;
    x.r.pppoe_ethnet_kifidx = 100 + i;
    x.r.priority = i + 1;
    return x;
}

bool store(ek_db_handle_t db, const Rec &x) {
    return ek_db_store(db, x.key.data(), static_cast<int32_t>(x.key.size()), &x.r, sizeof x.r) >= 0;
}

bool remove(ek_db_handle_t db, const std::string &key) {
    return ek_db_delete_ex(db, key.data(), static_cast<int32_t>(key.size()), EK_DB_MODE) >= 0;
}

// Runs body in a child process with the database open; true when it
// returned true.
bool in_writer(const std::function<bool(ek_db_handle_t)> &body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        ek_db_handle_t db = ek_db_open_ex(kPath, EK_DB_MODE);
        bool ok = db != nullptr && body(db);
        if (db != nullptr) ek_db_close(db);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool store_all(const std::vector<Rec> &recs) {
    return in_writer([&](ek_db_handle_t db) {
        for (const Rec &x : recs)
            if (!store(db, x)) return false;
        return true;
    });
}

class WanifHost : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(mkdir("/tmp/db", 0755) == 0 || errno == EEXIST);
        // Start from an empty table whatever an earlier case left.
        std::vector<std::string> known = {"usbnet0", "tunnel0", "ppp0", "eth9"};
        for (int i = 0; i < kEth; i++) known.push_back("eth" + std::to_string(i));
        ASSERT_TRUE(in_writer([&](ek_db_handle_t w) {
            for (const std::string &k : known) remove(w, k);
            return true;
        }));
    }
};

TEST_F(WanifHost, QueriesSeeRecordsStoredByAnotherProcess) {
    EXPECT_EQ(ek_brd_get_wanif_count(), 0);
    int status = 9;
    EXPECT_EQ(ek_brd_lib_get_usbnet_status(&status), -1);
    EXPECT_EQ(status, 9);

    Rec ppp = wan("ppp0");
    ppp.r.is_pppoe = 1;
    ppp.r.pppoe_ethnet_kifidx = 3;
    ppp.r.priority = 20;
    ASSERT_TRUE(store_all({eth(0), ppp, wan("tunnel0"), usbnet(0, 2)}));

    EXPECT_EQ(ek_brd_get_wanif_count(), 3);
    EXPECT_EQ(ek_brd_check_intf_active_dft_wan("eth0"), 1);
    EXPECT_EQ(ek_brd_check_intf_active_dft_wan("ppp0"), 0);
    EXPECT_EQ(ek_brd_check_intf_wanif("eth0"), 1);
    EXPECT_EQ(ek_brd_check_intf_wanif("ppp0"), 0);
    EXPECT_EQ(ek_brd_cpe_shm_check_wan_intf_ip(0x0a000001u), 1);
    EXPECT_EQ(ek_brd_cpe_shm_check_wan_intf_ip(0x0a000002u), 0);
    EXPECT_EQ(ek_brd_get_pppoe_ethnet_kifidx("ppp0"), 3);
    EXPECT_EQ(ek_brd_get_pppoe_ethnet_kifidx("eth0"), 100);
    EXPECT_EQ(ek_brd_lib_get_usbnet_status(&status), 0);
    EXPECT_EQ(status, 2);

    char msg[128] = "";
    EXPECT_EQ(ek_brd_check_cfg_priority_valid(44, 5, msg), 1);
    EXPECT_STREQ(msg, "");
    EXPECT_EQ(ek_brd_check_cfg_priority_valid(44, 20, msg), 0);
    EXPECT_STREQ(msg,
                 "Please use a different priority value since priority 20 is in already "
                 "configured\n");
    EXPECT_EQ(ek_brd_check_cfg_priority_valid(45, 5, msg), 0);
    EXPECT_STREQ(msg,
                 "Usbmode mode is primary-wan. Please change it to always-connected or on-demand "
                 "first\n");

    // A later change by another process shows in the next call.
    ASSERT_TRUE(in_writer(
        [](ek_db_handle_t db) { return remove(db, "ppp0") && store(db, usbnet(30, 4)); }));
    EXPECT_EQ(ek_brd_get_pppoe_ethnet_kifidx("ppp0"), 0);
    EXPECT_EQ(ek_brd_get_wanif_count(), 2);
    EXPECT_EQ(ek_brd_check_cfg_priority_valid(45, 5, msg), 1);
    EXPECT_EQ(ek_brd_lib_get_usbnet_status(&status), 0);
    EXPECT_EQ(status, 4);
}

// Shared between the test and its writer process.
struct WriterState {
    std::atomic<int> stop;
    std::atomic<int> rounds;
    std::atomic<int> failed;
};

TEST_F(WanifHost, ThreadsQueryWhileAnotherProcessRewrites) {
    Rec tunnel = wan("tunnel0");
    tunnel.r.ip_addr = 0x0c000001u;  // no record owns the address 0
    std::vector<Rec> table = {tunnel, usbnet(50, 1)};
    for (int i = 0; i < kEth; i++) table.push_back(eth(i));
    ASSERT_TRUE(store_all(table));

    void *mem = mmap(nullptr, sizeof(WriterState), PROT_READ | PROT_WRITE,
                     MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    auto *ws = new (mem) WriterState{{0}, {0}, {0}};

    // Replaces one record at a time by delete and store, so at most one of
    // the kEth + 1 non-tunnel records is missing at any moment.
    fflush(nullptr);
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        for (int round = 0; ws->stop.load() == 0; round++) {
            for (int i = 0; i <= kEth; i++) {
                ek_db_handle_t db = ek_db_open_ex(kPath, EK_DB_MODE);
                if (db == nullptr) {
                    ws->failed = 1;
                    continue;
                }
                Rec x = i < kEth ? eth(i) : usbnet(50, 1 + round % 4);
                if (!remove(db, x.key) || !store(db, x)) ws->failed = 1;
                ek_db_close(db);
            }
            ws->rounds++;
        }
        _exit(0);
    }
    auto wait_until = std::chrono::steady_clock::now() + 30s;
    while (ws->rounds.load() == 0 && std::chrono::steady_clock::now() < wait_until)
        std::this_thread::sleep_for(1ms);

    constexpr int kThreads = 12;
    std::atomic<int> bad{0};
    std::atomic<long> calls{0};
    auto until = std::chrono::steady_clock::now() + 1500ms;
    std::vector<std::thread> readers;
    for (int t = 0; t < kThreads; t++) {
        readers.emplace_back([&, t] {
            char msg[128];
            // At least a few rounds even on a slow emulator.
            for (int n = 0; n < 4 || std::chrono::steady_clock::now() < until; n++) {
                int i = (t + n) % kEth;
                std::string name = "eth" + std::to_string(i);
                int count = ek_brd_get_wanif_count();
                bool ok = count == kEth || count == kEth + 1;
                int kif = ek_brd_get_pppoe_ethnet_kifidx(name.c_str());
                ok = ok && (kif == 0 || kif == 100 + i);
                int is_wan = ek_brd_check_intf_wanif(name.c_str());
                ok = ok && (is_wan == 0 || is_wan == 1);
                ok = ok && ek_brd_check_intf_wanif("eth9") == 0;
                int active = ek_brd_check_intf_active_dft_wan(name.c_str());
                ok = ok && (active == 0 || (i == 0 && active == 1));
                ok = ok && ek_brd_cpe_shm_check_wan_intf_ip(0x0a0000ffu) == 0;
                ok = ok && ek_brd_cpe_shm_check_wan_intf_ip(0) == 0;
                // No record holds 5000 and usbnet0 is never in primary-WAN mode.
                ok = ok && ek_brd_check_cfg_priority_valid(45, 5000, msg) == 1;
                int status = -7;
                int got = ek_brd_lib_get_usbnet_status(&status);
                ok =
                    ok && ((got == 0 && status >= 1 && status <= 4) || (got == -1 && status == -7));
                if (!ok) bad++;
                calls += 9;
            }
        });
    }
    for (std::thread &r : readers) r.join();
    ws->stop = 1;
    int wstatus = 0;
    while (waitpid(writer, &wstatus, 0) < 0 && errno == EINTR) {
    }
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
    EXPECT_EQ(ws->failed.load(), 0);
    EXPECT_GT(ws->rounds.load(), 0);
    EXPECT_EQ(bad.load(), 0) << "of " << calls.load() << " calls";

    // Once the writer is done every record is back, whole.
    EXPECT_EQ(ek_brd_get_wanif_count(), kEth + 1);
    for (int i = 0; i < kEth; i++) {
        std::string name = "eth" + std::to_string(i);
        EXPECT_EQ(ek_brd_get_pppoe_ethnet_kifidx(name.c_str()), 100 + i);
        EXPECT_EQ(ek_brd_check_intf_wanif(name.c_str()), 1);
        EXPECT_EQ(ek_brd_check_intf_active_dft_wan(name.c_str()), i == 0 ? 1 : 0);
    }
    EXPECT_EQ(db_wanif_idx, kEth + 2);
    munmap(mem, sizeof(WriterState));
}

}  // namespace
