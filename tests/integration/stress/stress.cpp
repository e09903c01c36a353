// Crash and concurrency stress on the host platform: worker processes
// store, delete and list modem configurations and mode-switch records,
// partly under the USB modem lock, while readers run the WAN queries and a
// writer is killed with SIGKILL at random moments, again and again. Every
// record a worker ever writes is a pure function of its key and a
// generation number, so a torn or mixed-up record cannot pass the checks:
// neither in the listings the workers see nor in the database files at the
// end, which are read with the image loader itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "db/db_format.h"
#include "ek_brd.h"
#include "host/child.h"
#include "platform/ek_db.h"

namespace {

// Scaled down under emulation, where every process runs many times slower.
// Workers and readers run until the last writer has been killed.
// A killed writer lives a random time in [kLifeUs, kLifeUs + kLifeSpreadUs).
#if defined(__mips__)
constexpr int kKills = 30;
constexpr unsigned kLifeUs = 30000, kLifeSpreadUs = 120000;
#else
constexpr int kKills = 200;
constexpr unsigned kLifeUs = 2000, kLifeSpreadUs = 30000;
#endif
constexpr int kWorkers = 3;
constexpr int kModems = 6;

constexpr char kCfgDb[] = "/tmp/db/usb_modem_cfg";
constexpr char kModeswitchDb[] = "/tmp/db/usb_modem_mode_switch";

struct Tally {
    std::atomic<long> stores{0}, deletes{0}, listings{0}, lookups{0}, records_seen{0};
    std::atomic<long> locked{0}, wan_queries{0}, victim_ops{0}, bad{0};
    char first_bad[160] = {};
    std::atomic<int> bad_claimed{0};
};
Tally *g_tally;

void report_bad(const std::string &what) {
    g_tally->bad++;
    if (g_tally->bad_claimed.exchange(1) == 0) {
        snprintf(g_tally->first_bad, sizeof g_tally->first_bad, "%s", what.c_str());
    }
}

// ------------------------------------------------------------ records

uint8_t pattern(size_t i, uint32_t gen, uint32_t id) {
    return static_cast<uint8_t>(i * 13 + gen * 7 + id * 3);
}

std::string modem_id(uint32_t id) {
    return "modem-" + std::to_string(id);
}

// Generation at offset 332, the first byte the store does not interpret.
ek_usb_modem_cfg_t make_cfg(uint32_t id, uint32_t gen) {
    ek_usb_modem_cfg_t c;
    auto *b = reinterpret_cast<uint8_t *>(&c);
    for (size_t i = 0; i < sizeof c; i++) b[i] = pattern(i, gen, id);
    memset(c.modem_id, 0, sizeof c.modem_id);
    snprintf(c.modem_id, sizeof c.modem_id, "%s", modem_id(id).c_str());
    c.usbid_num = 1 + gen % EK_USB_MODEM_USBID_MAX;
    for (uint32_t s = 0; s < c.usbid_num; s++) {
        c.usbid[s].vid = static_cast<uint16_t>(0x1000 + id);
        c.usbid[s].pid = static_cast<uint16_t>(s);
    }
    memcpy(b + 332, &gen, sizeof gen);
    return c;
}

bool cfg_is_whole(const ek_usb_modem_cfg_t &c) {
    const char *end = static_cast<const char *>(memchr(c.modem_id, 0, sizeof c.modem_id));
    if (end == nullptr || strncmp(c.modem_id, "modem-", 6) != 0) return false;
    uint32_t id = static_cast<uint32_t>(atoi(c.modem_id + 6));
    uint32_t gen;
    memcpy(&gen, reinterpret_cast<const uint8_t *>(&c) + 332, sizeof gen);
    ek_usb_modem_cfg_t want = make_cfg(id, gen);
    return memcmp(&want, &c, sizeof c) == 0;
}

ek_usb_modeswitch_t make_modeswitch(uint32_t id, uint32_t gen) {
    ek_usb_modeswitch_t m;
    auto *b = reinterpret_cast<uint8_t *>(&m);
    for (size_t i = 0; i < sizeof m; i++) b[i] = pattern(i, gen, id);
    m.vid = 0x2000;
    m.pid = static_cast<uint16_t>(id);
    memcpy(b + 4, &gen, sizeof gen);
    return m;
}

bool modeswitch_is_whole(const ek_usb_modeswitch_t &m) {
    uint32_t gen;
    memcpy(&gen, reinterpret_cast<const uint8_t *>(&m) + 4, sizeof gen);
    ek_usb_modeswitch_t want = make_modeswitch(m.pid, gen);
    return memcmp(&want, &m, sizeof m) == 0;
}

template <typename Record>
std::vector<Record> drain(ek_list_head *head) {
    std::vector<Record> out;
    for (ek_list_head *p = head->next; p != head;) {
        Record r;
        memcpy(&r, reinterpret_cast<uint8_t *>(p) + sizeof(ek_list_head), sizeof r);
        out.push_back(r);
        ek_list_head *next = p->next;
        free(p);
        p = next;
    }
    head->next = head->prev = head;
    return out;
}

// ------------------------------------------------------------ WAN table

// Two interfaces, one tunnel; readers know every answer. Writers store the
// same records again and again, so readers load while the file is replaced.
const char *const kWanNames[] = {"eth0", "ppp0", "tunnel0"};

ek_wanif_entry_t make_wan(int i) {
    ek_wanif_entry_t e{};
    snprintf(e.ifname, sizeof e.ifname, "%s", kWanNames[i]);
    e.priority = 10 + i;
    e.is_wanif = 1;
    e.is_active_dft_wan = i == 0;
    e.ip_addr = 0x0a000001u + static_cast<uint32_t>(i);
    return e;
}

bool store_wan(int i) {
    ek_db_handle_t db = ek_db_open_ex("/tmp/db/wanif_db", EK_DB_MODE);
    if (db == nullptr) return false;
    ek_wanif_entry_t e = make_wan(i);
    int32_t rc =
        ek_db_store(db, kWanNames[i], static_cast<int32_t>(strlen(kWanNames[i])), &e, sizeof e);
    ek_db_close(db);
    return rc >= 0;
}

void seed_wanif_db() {
    for (int i = 0; i < 3; i++) ASSERT_TRUE(store_wan(i));
}

// ------------------------------------------------------------ processes

void one_store_op(std::mt19937 &rng, uint32_t *gen) {
    uint32_t id = rng() % kModems;
    switch (rng() % 9) {
        case 0:
        case 1: {
            ek_usb_modem_cfg_t c = make_cfg(id, ++*gen);
            if (ek_brd_lib_usb_modem_db_store_entry(&c) != 0) report_bad("cfg store failed");
            g_tally->stores++;
            break;
        }
        case 2:
            ek_brd_lib_usb_modem_db_delete_entry_by_modem_id(modem_id(id).c_str());
            g_tally->deletes++;
            break;
        case 3: {
            ek_usb_modeswitch_t m = make_modeswitch(id, ++*gen);
            if (ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry(&m) != 0) {
                report_bad("mode-switch store failed");
            }
            g_tally->stores++;
            break;
        }
        case 4:
            ek_brd_lib_usb_modem_db_delete_usb_modeswitch_entry(0x2000, static_cast<uint16_t>(id));
            g_tally->deletes++;
            break;
        case 5: {
            ek_list_head head{&head, &head};
            if (ek_brd_lib_usb_modem_db_getall(&head) != 0) report_bad("cfg getall failed");
            for (const auto &c : drain<ek_usb_modem_cfg_t>(&head)) {
                if (!cfg_is_whole(c)) report_bad("torn configuration in a listing");
                g_tally->records_seen++;
            }
            g_tally->listings++;
            break;
        }
        case 6: {
            ek_list_head head{&head, &head};
            if (ek_brd_lib_usb_modem_db_getall_usb_modeswitch(&head) != 0) {
                report_bad("mode-switch getall failed");
            }
            for (const auto &m : drain<ek_usb_modeswitch_t>(&head)) {
                if (!modeswitch_is_whole(m)) report_bad("torn mode-switch record in a listing");
                g_tally->records_seen++;
            }
            g_tally->listings++;
            break;
        }
        case 7:
            if (!store_wan(static_cast<int>(rng() % 3))) report_bad("WAN record store failed");
            g_tally->stores++;
            break;
        default: {
            ek_usb_modem_cfg_t c;
            if (ek_brd_lib_usb_modem_db_get_entry_by_usb_id(static_cast<uint16_t>(0x1000 + id), 0,
                                                            &c) == 0 &&
                !cfg_is_whole(c)) {
                report_bad("torn configuration from the USB id lookup");
            }
            ek_usb_modeswitch_t m;
            if (ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(0x2000, static_cast<uint16_t>(id),
                                                                 &m) == 0 &&
                !modeswitch_is_whole(m)) {
                report_bad("torn mode-switch record from the fetch");
            }
            g_tally->lookups++;
            break;
        }
    }
}

// Every other operation runs under the USB modem lock, so kills land while
// it is held too.
int store_worker(unsigned seed, const std::atomic<int> *stop, std::atomic<long> *count) {
    if (ek_brd_lib_usb_modem_init() != 0) return 2;
    std::mt19937 rng(seed);
    uint32_t gen = seed << 20;
    for (long i = 0; stop->load() == 0; i++) {
        bool lock = (i & 1) != 0;
        if (lock) {
            if (ek_brd_lib_usb_modem_cfg_lock() != 0) return 3;
            g_tally->locked++;
        }
        one_store_op(rng, &gen);
        if (lock && ek_brd_lib_usb_modem_cfg_unlock() != 0) return 4;
        (*count)++;
    }
    return 0;
}

int wan_reader(const std::atomic<int> *stop) {
    while (stop->load() == 0) {
        if (ek_brd_get_wanif_count() != 2) report_bad("WAN count");
        if (ek_brd_check_intf_wanif("ppp0") != 1) report_bad("WAN test");
        if (ek_brd_check_intf_active_dft_wan("eth0") != 1) report_bad("active default WAN");
        if (ek_brd_cpe_shm_check_wan_intf_ip(0x0a000003u) != 1) report_bad("WAN address");
        char msg[128];
        if (ek_brd_check_cfg_priority_valid(0, 11, msg) != 0) report_bad("priority check");
        g_tally->wan_queries += 5;
    }
    return 0;
}

// ------------------------------------------------------------ checks

std::vector<unsigned char> read_file(const char *path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

// The file must load, and every record must be whole: the right size, and
// a value that matches its key.
template <typename Record>
long check_file(const char *path, bool (*whole)(const Record &, const std::string &key)) {
    namespace db = ek::host::db;
    std::vector<unsigned char> image = read_file(path);
    if (image.empty()) return 0;  // never stored, or every record deleted before the first store
    uint32_t count = 0;
    EXPECT_TRUE(db::parse_image(image, &count)) << path;
    uint32_t offset = db::kHeaderSize;
    for (uint32_t i = 0; i < count; i++) {
        db::Record r;
        if (!db::record_at(image, offset, &r)) {
            ADD_FAILURE() << path << ": record " << i;
            return i;
        }
        offset += r.size;
        std::string key(r.key.begin(), r.key.end());
        EXPECT_EQ(r.value.size(), sizeof(Record)) << path << " " << key;
        if (r.value.size() != sizeof(Record)) continue;
        Record rec;
        memcpy(&rec, r.value.data(), sizeof rec);
        EXPECT_TRUE(whole(rec, key)) << path << " " << key;
    }
    return count;
}

bool cfg_matches(const ek_usb_modem_cfg_t &c, const std::string &key) {
    return cfg_is_whole(c) && key == c.modem_id;
}

bool modeswitch_matches(const ek_usb_modeswitch_t &m, const std::string &key) {
    char want[9];
    snprintf(want, sizeof want, "%04x%04x", unsigned{m.vid}, unsigned{m.pid});
    return modeswitch_is_whole(m) && key == want;
}

bool wan_matches(const ek_wanif_entry_t &e, const std::string &key) {
    for (int i = 0; i < 3; i++) {
        ek_wanif_entry_t want = make_wan(i);
        if (key == kWanNames[i]) return memcmp(&want, &e, sizeof e) == 0;
    }
    return false;
}

// Runs body in a child and fails unless it finishes within seconds.
bool finishes_within(int seconds, const std::function<int()> &body) {
    pid_t pid = hosttest::spawn(body);
    for (int waited = 0; waited < seconds * 100; waited++) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    hosttest::wait_child(pid);
    return false;
}

TEST(Stress, KilledWritersLoseNothing) {
    g_tally = hosttest::shared_anon<Tally>();
    auto *stop = hosttest::shared_anon<std::atomic<int>>();
    auto *counts = hosttest::shared_anon<std::array<std::atomic<long>, kWorkers + 1>>();
    seed_wanif_db();
    ASSERT_EQ(ek_brd_lib_usb_modem_init(), 0);

    std::vector<pid_t> workers;
    for (int w = 0; w < kWorkers; w++) {
        workers.push_back(hosttest::spawn(
            [w, stop, counts] { return store_worker(100 + w, stop, &(*counts)[w]); }));
    }
    std::vector<pid_t> readers;
    for (int r = 0; r < 2; r++)
        readers.push_back(hosttest::spawn([stop] { return wan_reader(stop); }));

    std::mt19937 rng(7);
    int kills = 0;
    for (; kills < kKills; kills++) {
        pid_t victim = hosttest::spawn(
            [&, kills] { return store_worker(1000 + kills, stop, &(*counts)[kWorkers]); });
        usleep(kLifeUs + rng() % kLifeSpreadUs);
        kill(victim, SIGKILL);
        ASSERT_EQ(hosttest::wait_child(victim), 128 + SIGKILL);
    }
    stop->store(1);
    for (pid_t w : workers) EXPECT_EQ(hosttest::wait_child(w), 0);
    for (pid_t r : readers) EXPECT_EQ(hosttest::wait_child(r), 0);
    EXPECT_EQ(g_tally->bad.load(), 0) << g_tally->first_bad;

    // The USB modem lock and the database writer lock are free again.
    EXPECT_TRUE(finishes_within(10, [] {
        if (ek_brd_lib_usb_modem_init() != 0 || ek_brd_lib_usb_modem_cfg_lock() != 0) return 1;
        ek_usb_modem_cfg_t c = make_cfg(kModems, 1);
        ek_usb_modeswitch_t m = make_modeswitch(kModems, 1);
        int rc = ek_brd_lib_usb_modem_db_store_entry(&c) |
                 ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry(&m);
        return (ek_brd_lib_usb_modem_cfg_unlock() != 0 || rc != 0) ? 1 : 0;
    })) << "a lock was left held";

    long cfgs = check_file<ek_usb_modem_cfg_t>(kCfgDb, cfg_matches);
    long switches = check_file<ek_usb_modeswitch_t>(kModeswitchDb, modeswitch_matches);
    EXPECT_EQ(check_file<ek_wanif_entry_t>("/tmp/db/wanif_db", wan_matches), 3);
    EXPECT_GE(cfgs, 1);
    EXPECT_GE(switches, 1);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_num(), cfgs);

    long worker_ops = 0;
    for (int w = 0; w < kWorkers; w++) worker_ops += (*counts)[w];
    printf(
        "[  STRESS  ] %d kills; %ld worker operations and %ld by killed writers "
        "(%ld stores, %ld deletes, %ld listings with %ld records, %ld lookups, %ld under the "
        "lock); %ld WAN queries; %ld + %ld records whole at the end; %ld bad\n",
        kills, worker_ops, (*counts)[kWorkers].load(), g_tally->stores.load(),
        g_tally->deletes.load(), g_tally->listings.load(), g_tally->records_seen.load(),
        g_tally->lookups.load(), g_tally->locked.load(), g_tally->wan_queries.load(), cfgs,
        switches, g_tally->bad.load());
}

}  // namespace
