// Writers in several processes store USB modem configurations, partly under
// the modem lock, and one more writer is killed with SIGKILL again and
// again. A record is a function of its writer and a generation, so a torn,
// mixed-up or lost record fails the checks; after each kill the victim's
// record must be the one of its last finished store or of the store it was
// killed in.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <random>

#include "ek_brd.h"
#include "host/child.h"

namespace {

// Emulated, every process runs many times slower.
#if defined(__mips__)
constexpr int kKills = 20, kLifeUs = 100000;
#else
constexpr int kKills = 100, kLifeUs = 3000;
#endif
constexpr uint32_t kWriters = 3;  // the last one is the victim

ek_usb_modem_cfg_t make_cfg(uint32_t id, uint32_t gen) {
    ek_usb_modem_cfg_t c;
    auto *b = reinterpret_cast<uint8_t *>(&c);
    for (size_t i = 0; i < sizeof c; i++) b[i] = static_cast<uint8_t>(i * 13 + gen * 7 + id);
    snprintf(c.modem_id, sizeof c.modem_id, "modem-%u", id);
    c.usbid_num = 1;
    memcpy(c.rest, &gen, sizeof gen);
    return c;
}

// The generation of writer id's stored record, -1 for anything but a whole
// record of that writer.
int64_t stored_gen(uint32_t id) {
    ek_usb_modem_cfg_t c;
    uint32_t gen;
    std::string name = "modem-" + std::to_string(id);
    if (ek_brd_lib_usb_modem_db_get_entry_by_modem_id(name.c_str(), &c) != 0) return -2;
    memcpy(&gen, c.rest, sizeof gen);
    ek_usb_modem_cfg_t want = make_cfg(id, gen);
    return memcmp(&want, &c, sizeof c) == 0 ? gen : -1;
}

struct Shared {
    std::atomic<uint32_t> committed[kWriters];
    std::atomic<int> stop;
};

// Every other store runs under the modem lock, so kills land while it is
// held too. A writer stuck on a lock ends by the alarm.
int writer(Shared *sh, uint32_t id) {
    alarm(120);
    for (uint32_t n = sh->committed[id] + 1; sh->stop == 0; ++n) {
        ek_usb_modem_cfg_t c = make_cfg(id, n);
        if (n % 2 == 0 && ek_brd_lib_usb_modem_cfg_lock() != 0) return 1;
        if (ek_brd_lib_usb_modem_db_store_entry(&c) != 0) return 2;
        if (n % 2 == 0 && ek_brd_lib_usb_modem_cfg_unlock() != 0) return 3;
        sh->committed[id] = n;
    }
    return 0;
}

TEST(Stress, KilledWritersLoseNothing) {
    auto *sh = hosttest::shared_anon<Shared>();
    ASSERT_EQ(ek_brd_lib_usb_modem_init(), 0);
    for (uint32_t w = 0; w < kWriters; ++w) {
        ek_usb_modem_cfg_t c = make_cfg(w, 1);
        ASSERT_EQ(ek_brd_lib_usb_modem_db_store_entry(&c), 0);
        sh->committed[w] = 1;
    }
    std::vector<pid_t> kids;
    for (uint32_t w = 0; w + 1 < kWriters; ++w) {
        kids.push_back(hosttest::spawn([=] { return writer(sh, w); }));
    }

    std::mt19937 rng(7);
    const uint32_t v = kWriters - 1;
    for (int round = 0; round < kKills; ++round) {
        uint32_t done = sh->committed[v];
        pid_t victim = hosttest::spawn([=] { return writer(sh, v); });
        // Every fourth round waits for one finished store, so the victim
        // makes progress however slowly processes start.
        for (int ms = 0; round % 4 == 0 && sh->committed[v] == done && ms < 10000; ++ms) {
            usleep(1000);
        }
        usleep(rng() % kLifeUs);
        kill(victim, SIGKILL);
        ASSERT_EQ(hosttest::wait_child(victim), 128 + SIGKILL) << "victim failed by itself";
        uint32_t n = sh->committed[v];
        int64_t now = stored_gen(v);
        ASSERT_TRUE(now == n || now == n + 1) << now << " after " << n;
        sh->committed[v] = static_cast<uint32_t>(now);  // it may have died before noting it
    }
    sh->stop = 1;
    for (pid_t k : kids) EXPECT_EQ(hosttest::wait_child(k), 0);
    EXPECT_GT(sh->committed[v], kKills / 4u) << "the victim hardly ran";
    for (uint32_t w = 0; w < kWriters; ++w) EXPECT_EQ(stored_gen(w), sh->committed[w]);
    // Neither the modem lock nor the database's writer lock was left held.
    EXPECT_EQ(hosttest::wait_child(hosttest::spawn([] {
                  alarm(10);
                  ek_usb_modem_cfg_t c = make_cfg(9, 1);
                  return ek_brd_lib_usb_modem_cfg_lock() | ek_brd_lib_usb_modem_db_store_entry(&c) |
                         ek_brd_lib_usb_modem_cfg_unlock();
              })),
              0);
}

}  // namespace
