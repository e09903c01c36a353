// The library across processes on the host; Stress.* is a ctest test of its own.
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "child.h"
#include "ek_brd.h"
#include "ek_host.h"
#include "platform/ek_db.h"
#include "platform/ek_platform.h"

namespace {
using namespace hosttest;

// A child with its own attaches (this process makes none to inherit) and output.
bool in_child(const std::function<void()> &body) {
    return wait_child(spawn([&] {
               body();
               fflush(stdout);
               return ::testing::Test::HasFailure() ? 1 : 0;
           })) == 0;
}
template <typename T>
std::vector<uint8_t> bytes(const T &v) {
    const auto *b = reinterpret_cast<const uint8_t *>(&v);
    return std::vector<uint8_t>(b, b + sizeof v);
}
ek_nat_policy_t *nat_slots() {
    return static_cast<ek_nat_policy_t *>(static_cast<void *>(
        static_cast<uint8_t *>(ek_brd_get_cpe_shm_data()) + EK_BRD_CPE_NAT_TABLE_OFFSET));
}
TEST(CpeHost, NatPoliciesSavedByOneProcessAreFoundByAnother) {
    const std::string longest(32, 'q');
    ASSERT_TRUE(in_child([&] {
        ek_nat_policy_t *slots = nat_slots();
        ek_brd_cpe_shm_save_nat_policy(1, "gone", 2), ek_brd_cpe_shm_delete_nat_policy(1);
        EXPECT_EQ(bytes(slots[0]), bytes(ek_nat_policy_t{}));  // the whole slot cleared
        EXPECT_EQ(ek_brd_cpe_shm_request_nat_policy_id(), 1);
        ek_brd_cpe_shm_save_nat_policy(1, "wan_nat", 2);
        ek_brd_cpe_shm_save_nat_policy(2, "tun", 1);
        // An empty name leaves the slot free, and asking reserves nothing.
        ek_brd_cpe_shm_save_nat_policy(3, "", 1);
        for (int again : {0, 1}) EXPECT_EQ(ek_brd_cpe_shm_request_nat_policy_id(), 3) << again;
        memset(slots[5].name, 'n', sizeof slots[5].name);  // another writer's, unterminated
        memset(slots[5].rsv_33, 0xAB, sizeof slots[5].rsv_33);
        slots[5].type = 2;
        ek_brd_cpe_shm_save_nat_policy(7, "a much longer name", 1);
        ek_brd_cpe_shm_save_nat_policy(7, "ab", -3);
        ek_brd_cpe_shm_save_nat_policy(128, (longest + "cut").c_str(), INT_MIN);
        // The word after the table would read as a slot's name.
        ek_brd_set_brd_auth(0x41414141);
    }));
    ASSERT_TRUE(in_child([&] {
        const ek_nat_policy_t *slots = nat_slots();
        // Names match whole; a name is the slot's own field, "" for a free slot.
        auto *id = ek_brd_cpe_shm_get_nat_policy_id;
        EXPECT_EQ((std::vector<int>{id(""), id(std::string(33, 'n').c_str()), id(longest.c_str()),
                                    id("wan"), id("wan_nat2")}),
                  (std::vector<int>{0, 6, 128, 0, 0}));
        using Where = std::pair<const void *, const void *>;
        EXPECT_EQ(
            Where(ek_brd_cpe_shm_get_nat_policy_name(128), ek_brd_cpe_shm_get_nat_policy_name(3)),
            Where(slots[127].name, slots[2].name));
        EXPECT_STREQ(ek_brd_cpe_shm_get_nat_policy_name(128), longest.c_str());
        // A shorter name leaves no tail behind.
        EXPECT_EQ(std::string(slots[6].name, 33), "ab" + std::string(31, '\0'));
        char buf[1024] = "head\n";
        for (int i = -1; i <= EK_BRD_CPE_NAT_POLICY_MAX; i++)
            ek_brd_cpe_shm_get_nat_policy_output(i, buf);
        const std::string at = "\tnat_policy_id|name|type: ";
        EXPECT_EQ(buf, "head\n" + at + "1|wan_nat|2\n" + at + "2|tun|1\n" + at + "6|" +
                           std::string(32, 'n') + "|2\n" + at + "7|ab|-3\n" + at + "128|" +
                           longest + "|-2147483648\n");
        // Type 1 suits the tunnel interfaces, type 2 all others, no type else.
        const std::tuple<const char *, const char *, int> suits[] = {
            {"tun", "tunnel0", 1},  {"tun", "tunnel", 1},    {"tun", "tunne", 0},
            {"tun", "eth0", 0},     {"wan_nat", "eth0", 1},  {"wan_nat", "tunnel9", 0},
            {"wan_nat", "", 1},     {"wan_nat", nullptr, 0}, {"ab", "eth0", 0},
            {"missing", "eth0", 0}, {nullptr, "eth0", 0}};
        for (const auto &[policy, ifname, want] : suits)
            EXPECT_EQ(ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface(policy, ifname),
                      want)
                << (policy ? policy : "null") << " for " << (ifname ? ifname : "null");
    }));
}

// Processes racing their first attach to fresh segments set the CPE header
// up once (a second set-up would wipe the others' marks in word 4) and leave
// both semaphores free.
TEST(CpeHost, RacingFirstAttachesSetTheHeaderUpOnce) {
    constexpr int kRacers = 6;
    for (int round = 0; round < 10; round++) {
        for (int32_t key : {EK_BRD_CPE_SEM_KEY, EK_BRD_ROUTING_SEM_KEY})
            semctl(semget(key, 0, 0), 0, IPC_RMID);
        for (int32_t key : {EK_BRD_CPE_SHM_KEY, EK_BRD_ROUTING_SHM_KEY})
            shmctl(shmget(key, 0, 0), IPC_RMID, nullptr);
        auto *go = shared_anon<std::atomic<int>>();
        std::vector<pid_t> racers;
        for (int i = 0; i < kRacers; i++) {
            racers.push_back(spawn([go] {
                while (go->load() == 0) {
                }
                auto *header = static_cast<int32_t *>(ek_brd_get_cpe_shm_data());
                if (header == nullptr || ek_brd_get_routing_shm_data() == nullptr) return 1;
                __atomic_fetch_add(&header[1], 1, __ATOMIC_SEQ_CST);
                return 0;
            }));
        }
        go->store(1);
        for (pid_t racer : racers) ASSERT_EQ(wait_child(racer), 0);
        munmap(go, sizeof *go);
        auto *header = static_cast<const int32_t *>(
            shmat(shmget(EK_BRD_CPE_SHM_KEY, EK_BRD_CPE_SHM_SIZE, 0), nullptr, SHM_RDONLY));
        ASSERT_NE(header, reinterpret_cast<const int32_t *>(-1));
        EXPECT_EQ(std::vector<int32_t>(header, header + 3), (std::vector<int32_t>{1, kRacers, 60}))
            << "round " << round;
        for (int32_t key : {EK_BRD_CPE_SEM_KEY, EK_BRD_ROUTING_SEM_KEY})
            EXPECT_EQ(semctl(semget(key, 0, 0), 0, GETVAL), 1) << "round " << round << ", " << key;
        shmdt(header);
    }
}

// Few distinct words, so that equal keys and sign-bit corners turn up.
TEST(CpeHost, SortedLookupsAgreeWithEqualRange) {
    using Key = std::pair<uint32_t, uint32_t>;
    const uint32_t words[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    std::mt19937 rng(20240611u);
    auto pick = [&] { return words[rng() % std::size(words)]; };
    for (auto [search, stride] :
         {std::pair{&ek_brd_find_static_route_index_in_brd_static_routes_local, 4u},
          std::pair{&ek_brd_find_subnet_index_in_vpn_internal_subnets_local, 9u}}) {
        for (int round = 0; round < 3000; round++) {
            std::vector<Key> keys(rng() % 24);
            for (Key &k : keys) k = {pick(), pick()};
            std::sort(keys.begin(), keys.end());
            const int n = static_cast<int>(keys.size());
            std::vector<uint32_t> table(1 + stride * keys.size(), 0xDEADBEEFu);
            table[0] = static_cast<uint32_t>(n);
            for (size_t i = 0; i < keys.size(); i++)
                std::tie(table[1 + stride * i], table[2 + stride * i]) = keys[i];
            const int lo = static_cast<int>(rng() % (n + 1));
            const int hi = lo - 1 + static_cast<int>(rng() % (n - lo + 1));
            const Key key = n > 0 && rng() % 2 == 0 ? keys[rng() % n] : Key{pick(), pick()};
            int index = -12345, found = -12345;
            search(table.data(), key.first, key.second, lo, hi, &index, &found);
            SCOPED_TRACE(::testing::Message() << "stride " << stride << " round " << round);
            const auto range = std::equal_range(keys.begin() + lo, keys.begin() + (hi + 1), key);
            const long first = range.first - keys.begin(), last = range.second - keys.begin();
            ASSERT_EQ(found, last > first ? 1 : 0);
            // Any one of equal keys; an empty range answers the count word.
            ASSERT_GE(index, hi < lo ? n : first);
            ASSERT_LE(index, hi < lo ? n : std::max(first, last - 1));
        }
    }
}

// While the test holds a segment's semaphore, an attacher waits with the CPE
// header unset and the routing word not yet reset; afterwards another process
// reads every semaphore's value as it was.
TEST(CpeHost, AttachesTouchTheSegmentsOnlyUnderTheirSemaphores) {
    // semaphore, segment, its size, the word's offset, the word before and after the attach
    const std::tuple<int32_t, int32_t, uint32_t, uint32_t, int32_t, int32_t, void *(*)()> cases[] =
        {{EK_BRD_CPE_SEM_KEY, EK_BRD_CPE_SHM_KEY, EK_BRD_CPE_SHM_SIZE, 0, 0, 1,
          ek_brd_get_cpe_shm_data},
         {EK_BRD_ROUTING_SEM_KEY, EK_BRD_ROUTING_SHM_KEY, EK_BRD_ROUTING_SHM_SIZE,
          EK_BRD_ROUTING_RESET_OFFSET, 7, 0, ek_brd_get_routing_shm_data}};
    for (const auto &[sem_key, shm_key, size, offset, before, after, attach] : cases) {
        const int32_t sem = ek_sem_create(sem_key, 1);
        ASSERT_EQ(ek_sem_wait(sem), 0);
        const int shm = shmget(shm_key, size, IPC_CREAT | 0600);
        auto *word = static_cast<int32_t *>(
            static_cast<void *>(static_cast<uint8_t *>(shmat(shm, nullptr, 0)) + offset));
        *word = before;
        const pid_t attacher = spawn([get = attach] { return get() != nullptr ? 0 : 1; });
        for (int ms = 0; ms < 10000 && semctl(sem, 0, GETNCNT) == 0; ms++) usleep(1000);
        EXPECT_EQ(*word, before) << "touched outside the semaphore, key " << shm_key;
        ASSERT_EQ(ek_sem_signal(sem), 0);
        EXPECT_EQ(wait_child(attacher), 0);
        EXPECT_EQ(*word, after) << "key " << shm_key;
    }
    // Every attach, the first or not, leaves each semaphore as it found it: seen by another
    // process while the attacher lives, as its exit undoes what it did.
    auto *seen = shared_anon<std::array<int, 3>>();
    auto read_values = [seen] {
        const int32_t keys[] = {EK_BRD_CPE_SEM_KEY, EK_BRD_ROUTING_SEM_KEY, EK_USB_MODEM_SEM_KEY};
        for (int i : {0, 1, 2}) (*seen)[i] = semctl(semget(keys[i], 0, 0), 0, GETVAL);
        return 0;
    };
    for (int (*attach)() :
         {ek_brd_lib_usb_modem_init, +[]() -> int { return !ek_brd_get_cpe_shm_data(); },
          +[]() -> int { return !ek_brd_get_routing_shm_data(); }}) {
        EXPECT_EQ(wait_child(spawn([&] { return attach() + wait_child(spawn(read_values)); })), 0);
        EXPECT_EQ(*seen, (std::array<int, 3>{1, 1, 1}));
    }
}

using Pair = std::pair<uint16_t, uint16_t>;
const Pair kNinth{0x0909, 0x0909};
// Every byte position-dependent, so a stray write shows; a ninth pair past slot 7.
ek_usb_modem_cfg_t cfg(const std::string &id, const std::vector<Pair> &pairs, uint8_t seed = 1) {
    ek_usb_modem_cfg_t c;
    auto *b = reinterpret_cast<uint8_t *>(&c);
    for (size_t i = 0; i < sizeof c; i++) b[i] = static_cast<uint8_t>(i * 7 + seed);
    memcpy(c.modem_id, id.c_str(), id.size() + 1);
    c.usbid_num = static_cast<uint32_t>(pairs.size());
    for (size_t i = 0; i < pairs.size(); i++) std::tie(c.usbid[i].vid, c.usbid[i].pid) = pairs[i];
    memcpy(c.rest, &kNinth, sizeof kNinth);
    return c;
}

TEST(UsbModemHost, LockExcludesOtherProcessesUntilItsHolderIsKilled) {
    auto *locked = shared_anon<std::atomic<int>>();
    pid_t holder = spawn([locked] {
        if (ek_brd_lib_usb_modem_init() != 0 || ek_brd_lib_usb_modem_cfg_lock() != 0) return 1;
        locked->store(1);
        pause();
        return 0;
    });
    while (locked->load() == 0 && waitpid(holder, nullptr, WNOHANG) == 0) usleep(1000);
    unsigned patience = 2;  // seconds a taker may wait for the lock
    auto taker = [&patience] {
        alarm(patience);
        return ek_brd_lib_usb_modem_init() != 0 || ek_brd_lib_usb_modem_cfg_lock() != 0 ||
               ek_brd_lib_usb_modem_cfg_unlock() != 0 || ek_brd_lib_usb_modem_cfg_lock() != 0 ||
               ek_brd_lib_usb_modem_cfg_unlock() != 0;
    };
    EXPECT_EQ(wait_child(spawn(taker)), 128 + SIGALRM);
    ASSERT_EQ(kill(holder, SIGKILL), 0);
    EXPECT_EQ(wait_child(holder), 128 + SIGKILL);
    patience = 30;
    EXPECT_EQ(wait_child(spawn(taker)), 0);
    // With the semaphore removed, the lock and the unlock answer its failure.
    EXPECT_TRUE(in_child([] {
        EXPECT_EQ(ek_brd_lib_usb_modem_init(), 0);
        semctl(semget(EK_USB_MODEM_SEM_KEY, 0, 0), 0, IPC_RMID);
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_lock(), -1);
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_unlock(), -1);
    }));
}

// The record's bytes as another process reads them, empty for none.
std::vector<uint8_t> stored(const char *path, const std::string &key) {
    TestDb db(path);
    const int32_t len = static_cast<int32_t>(key.size());
    std::vector<uint8_t> value(std::max(ek_host_db_value_size(db.h, key.data(), len), 0));
    if (!value.empty()) ek_db_fetch(db.h, key.data(), len, value.data());
    return value;
}
// Whole records under the modem id and the ids as 8 hex digits, gone after a delete.
TEST(UsbModemHost, StoresWriteWholeRecordsUnderTheirKeys) {
    const char *kCfgDb = "/tmp/db/usb_modem_cfg", *kMsDb = "/tmp/db/usb_modem_mode_switch";
    const auto c = cfg("modem-a", {{0x12d1, 0x1446}}, 9);
    ek_usb_modeswitch_t ms;
    memcpy(&ms, &c, sizeof ms);
    ms.vid = 0x1a2b, ms.pid = 0xc;
    ASSERT_EQ(ek_brd_lib_usb_modem_db_store_entry(&c), 0);
    ASSERT_EQ(ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry(&ms), 0);
    EXPECT_EQ(stored(kCfgDb, "modem-a"), bytes(c));
    EXPECT_EQ(stored(kMsDb, "1a2b000c"), bytes(ms));
    ek_usb_modem_cfg_t got_cfg{};
    ek_usb_modeswitch_t got_ms{};
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_entry_by_usb_id(0x12d1, 0x1446, &got_cfg), 0);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(0x1a2b, 0xc, &got_ms), 0);
    EXPECT_EQ(bytes(got_cfg), bytes(c));
    EXPECT_EQ(bytes(got_ms), bytes(ms));
    EXPECT_EQ(ek_brd_lib_usb_modem_db_delete_entry_by_modem_id("modem-a"), 0);
    EXPECT_EQ(ek_brd_lib_usb_modem_db_delete_usb_modeswitch_entry(0x1a2b, 0xc), 0);
    EXPECT_EQ(stored(kCfgDb, "modem-a"), std::vector<uint8_t>{});
    EXPECT_EQ(stored(kMsDb, "1a2b000c"), std::vector<uint8_t>{});
}

TEST(UsbModemHost, ValidityNeedsAnIdACountAndBothIdsOfSlotZero) {
    const std::tuple<const char *, Pair, uint32_t, int> rows[] = {
        {"m1", {1, 2}, 1, 1}, {"", {1, 2}, 1, 0},   {"m1", {1, 2}, 0, 0},
        {"m1", {0, 2}, 2, 0}, {"m1", {1, 0}, 2, 0}, {"m1", {1, 2}, 0xFFFFFFFFu, 1}};
    for (const auto &[id, pair, num, valid] : rows) {
        auto c = cfg(id, {pair, {3, 4}});
        c.usbid_num = num;
        EXPECT_EQ(ek_brd_lib_usb_modem_cfg_is_entry_valid(&c), valid) << id << " " << num;
    }
    EXPECT_EQ(ek_brd_lib_usb_modem_cfg_is_entry_valid(nullptr), 0);
}

// A record claiming more than 8 slots (another process's) is walked as a full one.
TEST(UsbModemHost, EditingChangesOnlyTheCountAndTheSlotsIds) {
    auto *add = ek_brd_lib_usb_modem_cfg_entry_add_vid_pid;
    auto *remove = ek_brd_lib_usb_modem_cfg_entry_remove_vid_pid;
    const Pair A{0x1111, 1}, B{0x2222, 2}, C{0x3333, 3}, X{0x0a0a, 0x0a0a};
    const std::vector<Pair> full = {{1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}, {1, 7}, {1, 8}};
    const std::vector<Pair> seven(full.begin() + 1, full.end());
    // the edit, the pairs, their count, the pair added or removed, the pairs after
    const std::tuple<decltype(add), std::vector<Pair>, uint32_t, Pair, std::vector<Pair>> rows[] = {
        {add, {}, 0, A, {A}},
        {add, {A}, 1, {A.first, 2}, {A, {A.first, 2}}},
        {add, full, 8, X, full},
        {add, full, 0xFFFFFFFFu, X, full},
        {remove, {A, B, C}, 3, {B.first, C.second}, {A, B, C}},
        {remove, {A, B, A, C}, 4, A, {B, A, C}},
        {remove, full, 0xFFFFFFFFu, kNinth, full},
        {remove, full, 9, {1, 1}, seven}};
    for (size_t i = 0; i < std::size(rows); i++) {
        const auto &[edit, before, num, pair, after] = rows[i];
        auto c = cfg("m1", before);
        c.usbid_num = num;
        auto want = c;
        edit(pair.first, pair.second, &c);
        if (after != before) {
            want = cfg("m1", after);
            if (edit == remove) want.usbid[after.size()].vid = want.usbid[after.size()].pid = 0;
        }
        EXPECT_EQ(bytes(c), bytes(want)) << "row " << i;
    }
}

// A record is a function of its writer and a generation: a torn, mixed-up or lost one shows.
#if defined(__mips__)  // emulated, every process runs many times slower
constexpr int kKills = 20, kLifeUs = 100000;
#else
constexpr int kKills = 100, kLifeUs = 3000;
#endif
constexpr uint32_t kWriters = 3;  // the last one is the victim
ek_usb_modem_cfg_t record(uint32_t id, uint32_t gen) {
    ek_usb_modem_cfg_t c = cfg("modem-" + std::to_string(id), {{1, 1}}, gen * 3 + id);
    memcpy(c.rest, &gen, sizeof gen);
    return c;
}
// -1 for anything but a whole record of writer id.
int64_t stored_gen(uint32_t id) {
    ek_usb_modem_cfg_t c;
    uint32_t gen;
    if (ek_brd_lib_usb_modem_db_get_entry_by_modem_id(record(id, 0).modem_id, &c) != 0) return -2;
    memcpy(&gen, c.rest, sizeof gen);
    return bytes(record(id, gen)) == bytes(c) ? gen : -1;
}
TEST(Stress, KilledWritersLoseNothing) {
    struct Shared {
        std::atomic<uint32_t> committed[kWriters];
        std::atomic<int> stop;
    };
    auto *sh = shared_anon<Shared>();
    auto writer = [sh](uint32_t id) {
        alarm(120);  // a writer stuck on a lock
        for (uint32_t n = sh->committed[id] + 1; sh->stop == 0; ++n) {
            ek_usb_modem_cfg_t c = record(id, n);
            if (n % 2 == 0 && ek_brd_lib_usb_modem_cfg_lock() != 0) return 1;
            if (ek_brd_lib_usb_modem_db_store_entry(&c) != 0) return 2;
            if (n % 2 == 0 && ek_brd_lib_usb_modem_cfg_unlock() != 0) return 3;
            sh->committed[id] = n;
        }
        return 0;
    };
    ASSERT_EQ(ek_brd_lib_usb_modem_init(), 0);
    for (uint32_t w = 0; w < kWriters; ++w) {
        ek_usb_modem_cfg_t c = record(w, 1);
        ASSERT_EQ(ek_brd_lib_usb_modem_db_store_entry(&c), 0);
        sh->committed[w] = 1;
    }
    std::vector<pid_t> kids;
    for (uint32_t w = 0; w + 1 < kWriters; ++w) kids.push_back(spawn([=] { return writer(w); }));
    std::mt19937 rng(7);
    const uint32_t v = kWriters - 1;
    for (int round = 0; round < kKills; ++round) {
        uint32_t done = sh->committed[v];
        pid_t victim = spawn([=] { return writer(v); });
        // Every fourth round waits for a finished store: progress however slowly processes start.
        for (int ms = 0; round % 4 == 0 && sh->committed[v] == done && ms < 10000; ++ms)
            usleep(1000);
        usleep(rng() % kLifeUs);
        kill(victim, SIGKILL);
        ASSERT_EQ(wait_child(victim), 128 + SIGKILL) << "victim failed by itself";
        const int64_t n = sh->committed[v], now = stored_gen(v);
        ASSERT_TRUE(now == n || now == n + 1) << now << " after " << n;
        sh->committed[v] = static_cast<uint32_t>(now);  // it may have died before noting it
    }
    sh->stop = 1;
    for (pid_t k : kids) EXPECT_EQ(wait_child(k), 0);
    EXPECT_GT(sh->committed[v], kKills / 4u) << "the victim hardly ran";
    for (uint32_t w = 0; w < kWriters; ++w) EXPECT_EQ(stored_gen(w), sh->committed[w]);
}
}  // namespace
