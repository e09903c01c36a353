// The host platform across real processes: database, semaphores, shell, log, configuration
// service, and what another local user can plant in /tmp and in the SysV key space.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>
#include <tuple>
#include <vector>

#include "child.h"
#include "db/db_format.h"
#include "ek_host.h"
#include "platform/ek_db.h"
#include "platform/ek_platform.h"

namespace {

using namespace hosttest;
using Db = TestDb;

constexpr uid_t kNobody = 65534;
constexpr const char *kLog = "/tmp/trust.log";

// body's exit code in a child running as uid, stderr to kLog; a hang ends by alarm, failing.
int as_user(uid_t uid, const std::function<int()> &body) {
    return wait_child(spawn([&] {
        alarm(15);
        FILE *log = freopen(kLog, "w", stderr);
        setenv("EK_LOG_STDERR", "1", 1);
        if (log == nullptr ||
            (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))) {
            return 99;
        }
        return body();
    }));
}

// Status requests that fail as if the set had just been removed.
int g_stat_removed = 0;

int sh(const char *cmd) {
    return std::system(cmd) == 0 ? 0 : 1;
}

TEST(HostDb, StoresDeletesWalksAndSnapshots) {
    const char *path = "/tmp/db/a/b/sem";
    Db w(path);
    for (const char *k : {"eth0", "usbnet0", "ppp0"}) ASSERT_EQ(w.store(k, k), 0);
    struct stat st;
    EXPECT_TRUE(stat(path, &st) == 0 && (st.st_mode & 0777) == 0600) << "readable by others";
    ASSERT_EQ(w.store("usbnet0", "v2"), 0);
    Db r(path);
    auto old = r.walk();
    ASSERT_EQ(r.dump(), "3: eth0 v2 ppp0");
    EXPECT_EQ(w.at(old[1]) + Db(path).at(old[1]), "<refused><refused>") << "another handle's";
    // A delete refuses the descriptors of the view it replaced; a refused one replaces nothing.
    auto before = w.walk();
    ASSERT_EQ(ek_db_delete_ex(w.h, "eth0", 4, EK_DB_MODE), 0);
    auto after = w.walk();
    EXPECT_LT(ek_db_delete_ex(w.h, "eth0", 4, EK_DB_MODE), 0);
    EXPECT_EQ((std::vector<std::string>{w.at(before[0]), w.at(after[0])}),
              (std::vector<std::string>{"<refused>", "v2"}));
    EXPECT_EQ(r.dump(), "3: eth0 v2 ppp0") << "a handle keeps the state it opened";
    EXPECT_EQ(Db(path).dump(), "2: v2 ppp0");
    Db gone(path);
    const ek_db_key_desc_t stale = gone.walk()[0];
    ASSERT_EQ(unlink(path) + ek_db_delete_ex(gone.h, "x", 1, EK_DB_MODE), -1);
    ASSERT_EQ(gone.store("new", "n"), 0) << "a handle whose file was removed";
    EXPECT_EQ(gone.at(stale) + Db(path).dump(), "<refused>1: n")
        << "a descriptor of the removed file";
    // Readers never wait for a writer: with the writers' lock held, a reader reads at once.
    int lock = open("/tmp/db/a/b/sem.lock", O_RDWR);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    EXPECT_EQ(as_user(0, [path] { return Db(path).dump() == "1: n" ? 0 : 1; }), 0);
    close(lock);
}

// An image written on any host, byte for byte: header words little-endian.
const std::string kGolden(
    "EKDB\xb5\x03\x50\xe7\1\0\0\0\1\0\0\0\x42\0\0\0\0\0\0\0\4\0\0\0\x1e\0\0\0"
    "eth00123456789abcdefghijklmnopqrst",
    66);

void put32(std::string &img, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) img[at + i] = static_cast<char>(v >> (8 * i));
}

// Structural damage that the checksum does not stop: the image is resealed.
std::string resealed(std::string img, const uint32_t (&words)[4]) {
    put32(img, words[0], words[1]), put32(img, words[2], words[3]);
    auto *bytes = reinterpret_cast<unsigned char *>(img.data());
    put32(img, 4, ek::host::db::checksum(ek::host::db::Bytes(bytes + 8, img.size() - 8)));
    return img;
}

// Bad arguments, a 4097-byte key, a replacement with a bad record, a repeated key, an image past
// 1 GiB or a lock that is no regular file are refused and change nothing; a 4096-byte key and a
// null empty value are fine.
TEST(HostDb, BadArgumentsAndEdgesChangeNothing) {
    // The longest path taken, 16 bytes short of PATH_MAX for the side files' suffixes.
    std::string deep = "/tmp/db/";
    while (deep.size() < PATH_MAX - 16 - 250) deep += std::string(200, 'd') + "/";
    deep += std::string(PATH_MAX - 17 - deep.size(), 'x');
    EXPECT_EQ(Db(deep.c_str()).store("k", "v"), 0);
    deep += "x";
    for (const char *path : {static_cast<const char *>(nullptr), "", "/tmp/db/dir/", deep.c_str()})
        EXPECT_EQ(ek_db_open_ex(path, EK_DB_MODE), nullptr) << (path ? path : "null");
    const std::string longest(4096, 'k'), too_long(4097, 'k');
    Db a("/tmp/db/args"), b("/tmp/db/args"), e("/tmp/db/edge");
    EXPECT_EQ(a.store("k", "1-byte key"), 0);
    auto cb = [](ek_db_handle_t, ek_db_key_desc_t, void *) {};
    const ek_host_db_record_t kv{"k", 1, "v", 1};
    const std::vector<std::vector<ek_host_db_record_t>> bad = {
        {{nullptr, 1, "v", 1}}, {{"k", 0, "v", 1}},        {{"k", 1, "v", -1}},
        {{"k", 1, nullptr, 1}}, {kv, {"x", 1, "", 0}, kv}, {{"k", 1, "v", int32_t{1} << 30}}};
    std::vector<int32_t> got = {ek_db_delete_ex(nullptr, "k", 1, EK_DB_MODE),
                                ek_db_delete_ex(a.h, nullptr, 1, EK_DB_MODE),
                                ek_db_delete_ex(a.h, "k", 0, EK_DB_MODE),
                                ek_db_delete_ex(a.h, "k", -1, EK_DB_MODE),
                                ek_db_store(nullptr, "k", 1, "v", 1),
                                ek_db_store(a.h, "", 0, "v", 1),
                                ek_db_foreach(nullptr, cb, nullptr),
                                ek_db_foreach(a.h, nullptr, nullptr),
                                ek_db_store(e.h, longest.data(), 4096, nullptr, 0),
                                ek_db_store(e.h, too_long.data(), 4097, "v", 1)};
    for (const auto &records : bad)
        got.push_back(
            ek_host_db_replace(e.h, records.data(), static_cast<int32_t>(records.size())));
    ASSERT_EQ(unlink("/tmp/db/edge.lock") + mkfifo("/tmp/db/edge.lock", 0600), 0);
    got.insert(got.end(), {ek_host_db_replace(e.h, &kv, 1), e.store("k", "v")});
    EXPECT_EQ(got, (std::vector<int32_t>{-1, -1, -1, -1, -1, -1, -1, -1, 0, -1, -1, -1, -1, -1, -1,
                                         -1, -1, -1}));
    unlink("/tmp/db/edge.lock");
    EXPECT_EQ(Db("/tmp/db/args").dump(), "1: 1-byte key");
    EXPECT_EQ(ek_db_count(nullptr), 0);
    // A refusal shows the key's first 32 bytes, non-printable and quoting characters escaped,
    // and so is every byte of UTF-8 that is broken, overlong, a surrogate, past U+10FFFF, a C1
    // control or cut by the 32; the edges of each range of well-formed UTF-8 stay as they are.
    const std::string key =
        " ~\x7f\"\\\xdf\xbf\xe1\x80\x80\xe0\x9f\x80\xed\xa0\x80\xc2\x9b\xc2\xa0\xf4\x8f\xbf\xbf"
        "\xf4\x90\x80\x80kk\xe2\x82\xackkk";
    EXPECT_EQ(Db("/tmp/db/e/wanif_db").store(key, "v"), -1);
    EXPECT_EQ(
        std::string(ek_host_last_log_line()),
        "refusing to store a value of 1 bytes under key \" ~\\x7f\\x22\\x5c\xdf\xbf\xe1\x80\x80"
        "\\xe0\\x9f\\x80\\xed\\xa0\\x80\\xc2\\x9b\xc2\xa0\xf4\x8f\xbf\xbf\\xf4\\x90\\x80\\x80kk"
        "\\xe2\\x82...\" in /tmp/db/e/wanif_db: its records are 904 bytes");
    Db f("/tmp/db/edge");
    EXPECT_EQ(f.dump(), "1: ");
    // The length alone; no room given, none written.
    const ek_db_key_desc_t k = f.walk()[0];
    EXPECT_EQ((std::vector<int32_t>{ek_host_db_key_bykey(f.h, k, nullptr, 0),
                                    ek_host_db_key_bykey(f.h, k, nullptr, 1)}),
              (std::vector<int32_t>{4096, -1}));
}

// Opens confirm the verified directory by identity alone; a store walks, and sees the parent.
// Relative paths start at the working directory, unfollowed; descriptor 0 serves like any other.
TEST(HostDb, OpensConfirmTheVerifiedDirectoryRelativePathsDescriptorZero) {
    ASSERT_EQ(Db("/tmp/v/db/x").store("k", "v"), 0);
    ASSERT_EQ(chmod("/tmp/v", 0777), 0);
    Db again("/tmp/v/db/x");
    EXPECT_EQ((std::vector<int>{again.h != nullptr, again.store("k", "w")}),
              (std::vector<int>{1, -1}));
    ASSERT_EQ(sh("mkdir /tmp/rel && ln -s . /tmp/rel/l") + chdir("/tmp/rel"), 0);
    ASSERT_EQ(Db("/tmp/rel/y").store("k", "v"), 0);
    close(STDIN_FILENO);
    // The last open takes descriptor 0 for its file, and gives it back.
    std::vector<int> got = {Db("x").store("k", "v"), Db("l/d/x").h != nullptr,
                            access("/tmp/rel/x", F_OK), Db("/tmp/rel/y").dump() != "1: v"};
    got.push_back(fcntl(STDIN_FILENO, F_GETFD));
    EXPECT_EQ(got, (std::vector<int>{0, 0, 0, 0, -1}));
}

TEST(HostDbDamage, EveryTruncationFlippedBitAndBadFieldIsRefused) {
    const char *path = "/tmp/db/damaged";
    auto refused = [&](const std::string &img) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << img;
        return Db(path).h == nullptr;
    };
    Db db(path);
    ASSERT_EQ(db.store("eth0", "0123456789abcdefghijklmnopqrst"), 0);
    EXPECT_EQ(slurp(path), kGolden);
    ASSERT_EQ(db.store("usbnet0", "abc"), 0);
    ASSERT_EQ(db.store("p1", ""), 0);
    const std::string small = slurp(path);
    ASSERT_EQ(db.store("big", std::string(70000, 'x')), 0);
    // A large image is checked in pieces: a sample, a bit flipped in every 32-byte checksum lane.
    const std::tuple<std::string, size_t, size_t> samples[] = {{small, 1, 1},
                                                               {slurp(path), 61, 251}};
    for (const auto &[good, byte_stride, bit_stride] : samples) {
        ASSERT_FALSE(refused(good));
        for (size_t len = 0; len < good.size(); len += byte_stride)
            EXPECT_TRUE(refused(good.substr(0, len))) << "truncated to " << len;
        EXPECT_TRUE(refused(good + '\0')) << "trailing byte";
        for (size_t i = 0; i < good.size() * 8; i += bit_stride) {
            std::string bad = good;
            bad[i / 8] ^= static_cast<char>(1u << (i % 8));
            EXPECT_TRUE(refused(bad)) << "bit " << i;
        }
    }
    // Header and record header words set to what may not stand there: offset, value, twice.
    const uint32_t s = 24 + 8 + 4 + 30,
                   rows[][4] = {{0, 0, 4, 0},       {8, 2, 4, 0},       {12, 2, 4, 0},
                                {12, 4, 4, 0},      {12, ~0u, 4, 0},    {16, 75, 4, 0},
                                {20, 1, 4, 0},      {24, 0, 28, 14},    {s, 100, 4, 0},
                                {s + 4, 100, 4, 0}, {s + 4, ~0u, 4, 0}, {s, 0xfffffff0u, 4, 0}};
    for (const auto &r : rows) EXPECT_TRUE(refused(resealed(small, r))) << r[0] << " " << r[1];
    EXPECT_FALSE(refused(resealed(small, {4, 0, 4, 0}))) << "resealing alone";
    // A replacement writes up to 1 GiB: that header passes, one a byte longer does not.
    for (uint32_t size : {1u << 30, (1u << 30) + 1}) {
        const std::string img = resealed(small, {16, size, 4, 0});
        const ek::host::db::Bytes header(reinterpret_cast<const unsigned char *>(img.data()), 24);
        EXPECT_EQ(ek::host::db::ImageCheck().begin(header, size), size == 1u << 30);
    }
    EXPECT_TRUE(refused(small.substr(0, 10)));
    EXPECT_EQ(std::string(ek_host_last_log_line()),
              "refusing database /tmp/db/damaged: its size is not that of an image: restore it "
              "from a copy or remove it");
    // A fourth record header that ends the image, with no key after it.
    EXPECT_TRUE(refused(resealed(small + std::string(8, '\0'), {12, 4, 16, 102})));
    EXPECT_EQ(std::string(ek_host_last_log_line()),
              "refusing database /tmp/db/damaged: bad record length: restore it from a copy or "
              "remove it");
}

TEST(HostServices, SemaphoreShellAndLog) {
    int s = ek_sem_create(0x4500, 0);
    ASSERT_EQ(s, 0);
    sembuf op{0, -1, IPC_NOWAIT};
    EXPECT_EQ(semop(s, &op, 1), -1) << "a new semaphore of value 0 is taken";
    // Stamped at 0, so that the next opener does not wait for its creator to finish; met
    // once as removed between its lookup and its status, it is looked up again.
    g_stat_removed = 1;
    EXPECT_EQ(ek_sem_create(0x4500, 0), s);
    // Refused: a set whose first semop is refused (and removed again), one past this IPC
    // namespace's limit of sets, values a semaphore cannot hold (even where the key has a set).
    const std::string limits = slurp("/proc/sys/kernel/sem");
    std::ofstream("/proc/sys/kernel/sem") << "250 32000 1 128";
    const int32_t one_op = ek_sem_create(0x4506, 0);
    std::ofstream("/proc/sys/kernel/sem") << "250 32000 32 1";
    const int32_t past_limit = ek_sem_create(0x4502, 1);
    std::ofstream("/proc/sys/kernel/sem") << limits;
    EXPECT_GE(ek_sem_create(0x4504, 32767), 0);
    EXPECT_EQ((std::vector<int32_t>{one_op, semget(0x4506, 0, 0), past_limit,
                                    ek_sem_create(0x4504, -1), ek_sem_create(0x4504, 32768)}),
              (std::vector<int32_t>{-1, -1, -1, -1, -1}));
    // Removed only by its creator, not by a child that opens it with a copy of its memory,
    // also once the child has created and removed one of its own (s is the first set: id 0).
    auto opener = [] {
        return ek_sem_destroy(ek_sem_create(0x4508, 0)) != 0 ||
               ek_sem_destroy(ek_sem_create(0x4500, 0)) == 0;
    };
    EXPECT_EQ(as_user(0, opener), 0);
    int32_t shm = -2;
    EXPECT_NE(ek_shm_create(&shm, 0x4503, 64, s), nullptr);
    EXPECT_EQ(shm, shmget(0x4503, 64, 0)) << "the segment's id, when asked for";
    EXPECT_NE(ek_shm_create(nullptr, 0x4503, 64, s), nullptr);
    const std::pair<const char *, int32_t> rows[] = {
        {"true", 0}, {"exit 3", 3}, {"kill -9 $$", 128 + 9}, {"/no/such", 127}, {nullptr, -1}};
    for (const auto &[cmd, want] : rows) EXPECT_EQ(ek_system(cmd), want) << cmd;
    // With EK_LOG_STDERR set, every record is also a line on standard error.
    auto log_twice = [] {
        unsetenv("EK_LOG_STDERR");
        __ek_err(" ", 123, "usb_modem: store [key=%s] failed!\n", "12d10003");
        setenv("EK_LOG_STDERR", "1", 1);
        __ek_err(" ", 123, "usb_modem: store [key=%s] failed!\n", "12d10003");
        ek_log(7, "\n");
        return ek_log(7, "probe %d%s\n\n", 4, std::string(1100, 'x').c_str());  // cut at 1023
    };
    EXPECT_EQ(as_user(0, log_twice), 0);
    EXPECT_EQ(slurp(kLog), "line 123: usb_modem: store [key=12d10003] failed!\n\nprobe 4" +
                               std::string(1016, 'x') + "\n");
}

// The classes a name is in: e(th), p, u(sbnet or ppp), b (usb). Kernel indexes: brdctl's.
TEST(HostDcd, NameClassesAndModeConfigurations) {
    const char *rows[][2] = {{"eth0", "e"}, {"eth12", "e"},          {"p1", "p"}, {"usbnet0", "u"},
                             {"ppp3", "u"}, {"usb0", "b"},           {"eth", ""}, {"eth0.5", ""},
                             {"eth0p", ""}, {"eth0123456789012", ""}};
    for (const auto &r : rows) {
        std::string got =
            std::string(ek_is_eth_ifname(r[0]) ? "e" : "") + (ek_is_p_ifname(r[0]) ? "p" : "") +
            (ek_is_usbnet_ppp_ifname(r[0]) ? "u" : "") + (ek_is_usb_ifname(r[0]) ? "b" : "");
        EXPECT_EQ(got, r[1]) << r[0];
    }
    int32_t cfg[24];
    ASSERT_EQ(ek_host_dcd_set_wan_priority("usbnet0", 3), 0);
    ASSERT_EQ(ek_dcd_get_usbnet_mode_cfg("usbnet0", cfg), 0);
    EXPECT_LT(Db(EK_HOST_DCD_USBNET_DB).store("usb1", cfg, 92), 0) << "a record of another size";
    ASSERT_EQ(Db(EK_HOST_DCD_USBNET_DB).store("usbnet0123456789", cfg, sizeof cfg), 0);
    EXPECT_LT(ek_dcd_get_usbnet_mode_cfg("usbnet0123456789", cfg), 0) << "16 characters";
    // Addresses as the kernel has them (network order); the loopback is up.
    uint32_t addr = 0, mask = 0;
    EXPECT_EQ(ek_dcd_get_addr_byname("lo", &addr, &mask), 0);
    EXPECT_EQ(std::make_pair(addr, mask), std::make_pair(htonl(0x7f000001), htonl(0xff000000)));
    for (const char *name : {static_cast<const char *>(nullptr), "", "nosuch0", "lo0123456789abcd"})
        EXPECT_EQ(ek_dcd_get_addr_byname(name, &addr, &mask), -1) << (name ? name : "null");
    EXPECT_EQ(ek_dcd_get_addr_byname("lo", nullptr, &mask), -1);
    auto no_socket = [&] {
        const rlimit none{0, 0};
        return setrlimit(RLIMIT_NOFILE, &none) + ek_dcd_get_addr_byname("lo", &addr, &mask);
    };
    EXPECT_EQ(wait_child(spawn(no_socket)), 255) << "-1 without a socket";
    EXPECT_EQ(ek_dcd_get_addr_byname("lo", &addr, nullptr), -1);
    EXPECT_EQ(ek_host_dcd_set_wan_priority("wlan0", 3), -1) << "a name of no class";
    EXPECT_EQ(ek_wanif_get_wan_priority_from_dcd_shm("eth9"), -1) << "no such kernel interface";
    int32_t want[24];
    std::fill(std::begin(want), std::end(want), 0x11111111);
    ASSERT_EQ(Db(EK_HOST_DCD_USBNET_DB).store("usb2", want, sizeof want), 0);
    ASSERT_EQ(ek_host_dcd_set_wan_priority("usb2", 5), 0);
    ASSERT_EQ(ek_dcd_get_usbnet_mode_cfg("usb2", cfg), 0);
    want[5] = 5;
    EXPECT_EQ(std::vector<int32_t>(cfg, cfg + 24), std::vector<int32_t>(want, want + 24))
        << "setting the priority keeps the rest of the record";
}

// A child dropped to uid 65534 plants objects; another, as root or that user, stores or attaches.
// A step of a row: a shell command or a function, 0 when it did its part.
struct Step {
    Step(const char *cmd) : run([cmd] { return sh(cmd); }) {}
    template <typename F>
    Step(F f) : run(f) {}
    std::function<int()> run;
};

// A semaphore stamped by a semop (or not) and a segment at the CPE keys (mode 0: none).
int plant_ipc(int sem_mode, int shm_mode, size_t shm_size = EK_BRD_CPE_SHM_SIZE,
              bool stamp = true) {
    if (sem_mode != 0) {
        int sem = semget(EK_BRD_CPE_SEM_KEY, 1, IPC_CREAT | sem_mode);
        sembuf up{0, 1, 0};
        if (sem < 0 || (stamp && semop(sem, &up, 1) != 0)) return 1;
    }
    return shm_mode == 0 || shmget(EK_BRD_CPE_SHM_KEY, shm_size, IPC_CREAT | shm_mode) >= 0 ? 0 : 2;
}

constexpr const char *kWanif = "/tmp/db/wanif_db";

// A record "eth0" of size bytes of 'A'.
int store_at(const char *path, size_t size) {
    return Db(path).store("eth0", std::string(size, 'A')) == 0 ? 0 : 1;
}

int store() {
    return store_at(kWanif, sizeof(ek_wanif_entry_t));
}

// A store, the command, then an open in the same process, which sees what the command did to the
// directory the store verified (1: refused, 0: opened, and empty, as a re-made directory is).
Step around(const char *cmd) {
    return [cmd] {
        if (store() != 0 || sh(cmd) != 0) return 2;
        Db db(kWanif);
        return db.h == nullptr ? 1 : ek_db_count(db.h) == 0 ? 0 : 3;
    };
}

// Takes the database's lock and ends, leaving it to a child it forked (pid in /tmp/db/holder)
// for 6 s, under a name that would forge a line or move a terminal's cursor.
int hold_lock() {
    int fd = store() == 0 ? open("/tmp/db/wanif_db.lock", O_RDWR) : -1, ready[2];
    if (fd < 0 || flock(fd, LOCK_EX) != 0 || pipe(ready) != 0) return 1;
    pid_t child = spawn([&] {
        prctl(PR_SET_NAME, "ho\nld\x1b[2J");
        return write(ready[1], "", 1) == 1 ? sleep(6) : 1;
    });
    std::ofstream("/tmp/db/holder") << child;
    char c;
    return read(ready[0], &c, 1) == 1 ? 0 : 1;
}

int attach() {
    return ek_brd_get_cpe_shm_data() != nullptr ? 0 : 1;
}

struct Row {
    const char *name;
    uid_t planter;
    Step plant;
    uid_t user;
    Step use;
    // The line logged (pid H: /tmp/db/holder's), or null: the use works; "": refused, no line.
    const char *refusal;
};

constexpr const char *kForeignDir =
    "refusing directory /tmp/db (owner uid 65534, mode 0755): owned by another user; remove it, do "
    "not chown it (rm -rf /tmp/db)";

const Row kRows[] = {
    {"foreign /tmp/db with links to root's files", kNobody,
     "mkdir /tmp/db && ln -s /tmp/root_only/victim /tmp/db/wanif_db.new &&"
     " ln -s /tmp/root_only/x /tmp/db/wanif_db.lock",
     0, store, kForeignDir},
    {"root's sticky /tmp/db open to all", 0, "mkdir -m 1777 /tmp/db", 0, store,
     "refusing directory /tmp/db (owner uid 0, mode 1777): writable by group or others; let only "
     "its owner write it (chmod go-w /tmp/db)"},
    {"database is a link", 0, "mkdir /tmp/db && ln -s /tmp/root_only/victim /tmp/db/wanif_db", 0,
     store,
     "refusing file /tmp/db/wanif_db (symbolic link, owner uid 0): links are never followed; "
     "remove it (rm /tmp/db/wanif_db)"},
    {"foreign semaphore, no segment", kNobody, [] { return plant_ipc(0600, 0); }, 0, attach,
     "refusing SysV semaphore 0x00015010 (owner uid 65534, creator uid 65534, mode 0600): owned or "
     "created by another user; remove it (ipcrm -S 0x00015010)"},
    {"root's segment readable by group", 0, [] { return plant_ipc(0, 0640); }, 0, attach,
     "refusing SysV segment 0x00015011 (owner uid 0, creator uid 0, mode 0640): open to group or "
     "others; remove it (ipcrm -M 0x00015011)"},
    // A database beside it: the store that removes the link is not its directory's first.
    {"stale .new link in root's /tmp/db", 0,
     [] { return store() + sh("ln -s /tmp/root_only/victim /tmp/db/wanif_db.new"); }, 0, store,
     nullptr},
    {"own database of uid 65534", kNobody, store, kNobody, store, nullptr},
    {"own CPE objects of uid 65534", kNobody, attach, kNobody, attach, nullptr},
    {"/tmp/db opened to all while in use", 0, "true", 0, around("chmod 0777 /tmp/db"),
     "refusing directory /tmp/db (owner uid 0, mode 0777): writable by group or others; let only "
     "its owner write it (chmod go-w /tmp/db)"},
    {"/tmp/db given away under an open handle", 0, store, 0,
     [] {
         Db db(kWanif);
         std::string value(sizeof(ek_wanif_entry_t), 'B');
         return sh("chown 65534 /tmp/db") != 0 ? 2 : db.store("eth1", value) == 0 ? 0 : 1;
     },
     kForeignDir},
    {"root's semaphore met by another user", 0, [] { return plant_ipc(0600, 0); }, kNobody, attach,
     ""},
    {"commands run by another user", 0, "true", kNobody, [] { return ek_system("exit 0"); },
     nullptr},
    {"/tmp/db re-made by root while in use", 0, "true", 0, around("rm -r /tmp/db && mkdir /tmp/db"),
     nullptr},
    // The fix is meant to be pasted into a shell.
    {"open file whose name needs quoting", 0,
     "mkdir /tmp/db && touch \"/tmp/db/it's x\" && chmod 0666 \"/tmp/db/it's x\"", 0,
     [] { return store_at("/tmp/db/it's x", 4); },
     "refusing file /tmp/db/it's x (owner uid 0, mode 0666): writable by group or others; let only "
     "its owner write it (chmod go-w '/tmp/db/it'\\''s x')"},
    {"root's shared directory above, not sticky", 0, "mkdir -m 0777 /tmp/p", 0,
     [] { return store_at("/tmp/p/db/x", 4); },
     "refusing directory /tmp/p (owner uid 0, mode 0777): writable by group or others; let only "
     "its owner write it or make it sticky (chmod go-w /tmp/p, or chmod +t /tmp/p)"},
    {"FIFO at the database", 0, "mkdir /tmp/db && mkfifo -m 0600 /tmp/db/wanif_db", 0, store,
     "refusing file /tmp/db/wanif_db (owner uid 0, mode 0600): not a regular file; remove it (rm "
     "/tmp/db/wanif_db)"},
    {"lock kept by a child of its taker", 0, hold_lock, 0,
     [] {  // the search for the holder leaves no descriptor open
         using fds = std::filesystem::directory_iterator;
         auto before = (Db(kWanif), std::distance(fds("/proc/self/fd"), {}));
         int refused = store();
         return std::distance(fds("/proc/self/fd"), {}) == before ? refused : 4;
     },
     "cannot lock /tmp/db/wanif_db.lock: held by pid H (ho\\x0ald\\x1b[2J) for more than 3 s; stop "
     "the process that holds it"},
    // Written under a name of no fixed record size, as another tool could.
    {"oversized record read by a WAN query", 0,
     [] { return store_at("/tmp/db/x", 4000) + rename("/tmp/db/x", kWanif); }, 0,
     [] { return ek_brd_check_intf_wanif("eth0") == 0 ? 1 : 0; },
     "refusing to hand out a value of 4000 bytes under key \"eth0\" in /tmp/db/wanif_db: its "
     "records are 904 bytes"},
    {"full disk", 0,
     [] { return sh("mkdir /tmp/db && mount -t tmpfs -o size=4k,mode=0755 t /tmp/db") + store(); },
     0, store,
     "cannot store in /tmp/db/wanif_db: writing /tmp/db/wanif_db.new failed: No space left on "
     "device"},
    {"segment of another size", 0, [] { return plant_ipc(0, 0600, 100); }, 0, attach,
     "refusing SysV segment 0x00015011: 100 bytes where 85896 belong; remove it (ipcrm -M "
     "0x00015011)"},
    {"semaphore its creator never set", 0, [] { return plant_ipc(0600, 0, 0, false); }, 0, attach,
     "refusing SysV semaphore 0x00015010: its creator never set its value within 2000 ms; remove "
     "it (ipcrm -S 0x00015010)"},
};

// Bytes this process has read so far, by any read.
long long bytes_read() {
    const std::string io = slurp("/proc/self/io");
    return std::stoll(io.substr(io.find("rchar:") + 6));
}

constexpr size_t kBig = 6000;
// Descriptors 3 to kReused - 1 are this process's own in the row that takes them back.
constexpr int kReused = 64;

// An open of path: "refused", or whether it read the file ("read") or took the image kept from
// an earlier open ("kept"), and the letter its value "k" is made of.
std::string open_seen(const std::string &path) {
    long long before = bytes_read();
    Db db(path.c_str());
    bool kept = bytes_read() - before < static_cast<long long>(kBig);
    if (db.h == nullptr) return "refused";
    return (kept ? "kept " : "read ") + db.get("k").substr(0, 1);
}

int store_big(const std::string &path, char c) {
    return Db(path.c_str()).store("k", std::string(kBig, c));
}

// The image of a file unchanged for 2 s is handed out unread while the file and its directory
// show what they showed then; any change is read or refused. One wait ages all the files.
TEST(HostDb, KeptImagesAreHandedOutUntilTheFileOrDirectoryChanges) {
    struct Change {
        const char *name;
        Step change;
        const char *want, *log;
    } rows[] = {
        {"stored through a handle that was kept", [] { return store_big("/tmp/db/c0", 'B'); },
         "read B", ""},
        {"written in place, its times put back",
         "touch -r /tmp/db/c1 /tmp/t && printf Z | dd of=/tmp/db/c1 bs=1 seek=6000 conv=notrunc"
         " status=none && touch -r /tmp/t /tmp/db/c1",
         "refused",
         "refusing database /tmp/db/c1: bad checksum or record count: restore it from a copy or "
         "remove it"},
        {"made writable by others", "chmod 0666 /tmp/db/c2", "refused",
         "refusing file /tmp/db/c2 (owner uid 0, mode 0666): writable by group or others; let "
         "only its owner write it (chmod go-w /tmp/db/c2)"},
        {"stored by another process after this one closed all but 0-2 and reused the numbers",
         [] {
             for (int fd = 3; fd < kReused; ++fd) close(fd);
             int own = open("/tmp/own", O_WRONLY | O_CREAT | O_TRUNC, 0600);
             for (int fd = 3; fd < kReused; ++fd) dup2(own, fd);
             return wait_child(spawn([] { return store_big("/tmp/db/c3", 'B'); }));
         },
         "read B", ""},
        {"directory given away", "chown 65534 /tmp/db", "refused", kForeignDir},
    };
    const std::string paths[] = {"/tmp/db/c0", "/tmp/db/c1", "/tmp/db/c2", "/tmp/db/c3",
                                 "/tmp/db/c4"};
    for (const std::string &path : paths) ASSERT_EQ(store_big(path, 'A'), 0);
    usleep(2100 * 1000);
    // Threads share kept images while their other opens push them out.
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (size_t t = 0; t < 3; ++t)
        readers.emplace_back([&, t] {
            for (size_t n = 0; n < 200; ++n)
                bad += open_seen(paths[(t + n) % std::size(paths)]).back() != 'A';
        });
    for (auto &t : readers) t.join();
    EXPECT_EQ(bad, 0);
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].name);
        open_seen(paths[i]);
        EXPECT_EQ(open_seen(paths[i]), "kept A");
        ASSERT_EQ(rows[i].change.run(), 0);
        ek_host_last_log_line()[0] = '\0';
        EXPECT_EQ(open_seen(paths[i]), rows[i].want);
        EXPECT_STREQ(ek_host_last_log_line(), rows[i].log);
    }
    for (int fd = 3; fd < kReused; ++fd) EXPECT_EQ(write(fd, "x", 1), 1) << "closed: " << fd;
    EXPECT_EQ(slurp("/tmp/own"), std::string(kReused - 3, 'x'));
    ASSERT_EQ(sh("rm -r /tmp/db"), 0);
}

TEST(HostTrust, ForeignOrOpenObjectsAreRefusedOwnOnesWork) {
    if (geteuid() != 0 || as_user(kNobody, [] { return 0; }) != 0)
        GTEST_SKIP() << "needs root and a uid 65534 to switch to";
    ASSERT_EQ(sh("mkdir -m 0700 /tmp/root_only && echo precious >/tmp/root_only/victim"), 0);
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.name);
        // Every child inherits this process's verified directory, removed.
        ASSERT_EQ(sh("umount /tmp/db 2>/dev/null; rm -rf /tmp/db"), 0);
        ASSERT_EQ(store() + sh("rm -r /tmp/db"), 0);
        semctl(semget(EK_BRD_CPE_SEM_KEY, 0, 0), 0, IPC_RMID);
        shmctl(shmget(EK_BRD_CPE_SHM_KEY, 0, 0), IPC_RMID, nullptr);
        ASSERT_EQ(as_user(row.planter, row.plant.run), 0);
        EXPECT_EQ(as_user(row.user, row.use.run), row.refusal != nullptr ? 1 : 0);
        const std::string holder = slurp("/tmp/db/holder");
        std::string log = slurp(kLog);
        if (!holder.empty())
            log = std::regex_replace(log, std::regex("pid " + holder + " "), "pid H ");
        EXPECT_EQ(log,
                  row.refusal != nullptr && *row.refusal ? row.refusal + std::string("\n") : "");
        EXPECT_EQ(slurp("/tmp/root_only/victim"), "precious\n");
        EXPECT_NE(access("/tmp/root_only/x", F_OK), 0) << "root followed the lock link";
    }
}

// Root's shell finds the trusted PATH entries, resolved, in order; one line names the dropped.
// Rows of as many entries go longest first: a PATH built in the one before's memory must end.
TEST(HostTrust, RootsShellSeesTheTrustedPathEntriesOnly) {
    if (geteuid() != 0 || as_user(kNobody, [] { return 0; }) != 0)
        GTEST_SKIP() << "needs root and a uid 65534 to switch to";
    ASSERT_EQ(sh("mkdir -m 0755 /tmp/p1 /tmp/p2 /tmp/evil && chown 65534 /tmp/evil"), 0);
    std::string many = "/tmp/p1";
    while (many.size() < 5000) many += ":/tmp/p1";
    const std::string saved = getenv("PATH"), too_long = "/" + std::string(PATH_MAX - 1, 'a');
    // PATH given, PATH the shell sees, the entries the log line names.
    const std::string rows[][3] = {
        {"/:/tmp/p1", "/:/tmp/p1", ""},
        {":.:/tmp/evil:/tmp/p1", "/tmp/p1",
         "\"\" (empty), \".\" (relative), \"/tmp/evil\" (not owned by root)"},
        // Dropped lists that differ only at their start warn each.
        {".:.:/tmp/evil:/tmp/p1", "/tmp/p1",
         "\".\" (relative), \".\" (relative), \"/tmp/evil\" (not owned by root)"},
        {"/tmp/p2/../p1:" + too_long, "/tmp/p1", "\"" + too_long + "\" (too long)"},
        {many, many, ""},
        {":", "/nonexistent", "\"\" (empty), \"\" (empty)"}};
    for (const auto &[given, seen, dropped] : rows) {
        setenv("PATH", given.c_str(), 1);
        ek_host_last_log_line()[0] = '\0';
        EXPECT_EQ(ek_system("printf %s \"$PATH\" >/tmp/path"), 0);
        EXPECT_EQ(slurp("/tmp/path"), seen) << given.substr(0, 40);
        // The copy of the last line keeps its first 1023 bytes.
        const std::string line = "running commands as root without the PATH entries " + dropped +
                                 ": a directory another user can write could hold any program";
        EXPECT_EQ(ek_host_last_log_line(), dropped.empty() ? "" : line.substr(0, 1023));
    }
    unsetenv("PATH");
    EXPECT_EQ(ek_system("exit 4"), 4) << "the shell's own default";
    setenv("PATH", saved.c_str(), 1);
}

}  // namespace

// Every request reaches the real semctl but the status requests told to fail. Its one optional
// argument, a union of an int and pointers, is passed on as a pointer.
extern "C" int semctl(int id, int num, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (cmd == IPC_STAT && g_stat_removed > 0 && g_stat_removed--) return errno = EIDRM, -1;
    static auto *real = reinterpret_cast<int (*)(int, int, int, ...)>(dlsym(RTLD_NEXT, "semctl"));
    return real(id, num, cmd, arg);
}
