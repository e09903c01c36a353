// The host platform in one process and across real processes: the database
// (semantics, descriptors, damaged files), semaphores, the shell, logging, the
// device configuration service, and what another local user can plant in /tmp
// and in the SysV key space.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <chrono>
#include <regex>
#include <thread>
#include <vector>

#include "child.h"
#include "db/db_format.h"
#include "ek_host.h"
#include "platform/ek_db.h"
#include "platform/ek_platform.h"

namespace {

using hosttest::slurp;
using hosttest::spawn;
using hosttest::wait_child;

struct Db {
    explicit Db(const char *path) : h(ek_db_open_ex(path, EK_DB_MODE)) {}
    ~Db() { ek_db_close(h); }
    int store(const std::string &k, const std::string &v) {
        return ek_db_store(h, k.data(), static_cast<int32_t>(k.size()), v.data(),
                           static_cast<int32_t>(v.size()));
    }
    int del(const std::string &k) {
        return ek_db_delete_ex(h, k.data(), static_cast<int32_t>(k.size()), EK_DB_MODE);
    }
    // Every walk also tries a store, which must be refused while the walk's
    // descriptors are out: a store would replace the image they point into.
    std::vector<ek_db_key_desc_t> walk() {
        std::vector<ek_db_key_desc_t> keys;
        ek_db_foreach(
            h,
            [](ek_db_handle_t db, ek_db_key_desc_t k, void *arg) {
                auto *out = static_cast<std::vector<ek_db_key_desc_t> *>(arg);
                out->push_back(ek_db_store(db, "w", 1, "w", 1) < 0 ? k : ek_db_key_desc_t{});
            },
            &keys);
        return keys;
    }
    std::string at(ek_db_key_desc_t k) {
        char buf[64] = {};
        return ek_db_fetch_bykey(h, k, buf) == 0 ? buf : "<refused>";
    }
    // The count, then the values in walk order.
    std::string dump() {
        std::string out = std::to_string(ek_db_count(h)) + ":";
        for (auto k : walk()) out += " " + at(k);
        return out;
    }
    ek_db_handle_t h;
};

TEST(HostDb, StoresDeletesWalksAndSnapshots) {
    const char *path = "/tmp/db/a/b/sem";
    Db w(path);
    ASSERT_NE(w.h, nullptr);
    for (const char *k : {"eth0", "usbnet0", "ppp0"}) ASSERT_EQ(w.store(k, k), 0);
    struct stat st;
    EXPECT_TRUE(stat(path, &st) == 0 && (st.st_mode & 0777) == 0600) << "readable by others";
    ASSERT_EQ(w.store("usbnet0", "v2"), 0);
    Db r(path);
    auto old = r.walk();
    ASSERT_EQ(r.dump(), "3: eth0 v2 ppp0");
    EXPECT_EQ(w.at(old[1]), "<refused>") << "another handle's descriptor";

    // Descriptors of the view a delete replaced are refused; a refused
    // delete replaces nothing.
    auto before = w.walk();
    ASSERT_EQ(w.del("eth0"), 0);
    auto after = w.walk();
    EXPECT_LT(w.del("eth0"), 0);
    EXPECT_EQ((std::vector<std::string>{w.at(before[0]), w.at(after[0])}),
              (std::vector<std::string>{"<refused>", "v2"}));
    EXPECT_EQ(r.dump(), "3: eth0 v2 ppp0") << "a handle keeps the state it opened";
    EXPECT_EQ(Db(path).dump(), "2: v2 ppp0");
    // A handle whose file was removed meanwhile stores into an empty database.
    Db gone(path);
    ASSERT_EQ(unlink(path), 0);
    ASSERT_EQ(gone.store("new", "n"), 0);
    EXPECT_EQ(Db(path).dump(), "1: n");
    // Readers never wait for a writer: the writers' lock held, a reader
    // opens and reads at once.
    int lock = open("/tmp/db/a/b/sem.lock", O_RDWR);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    EXPECT_EQ(wait_child(spawn([path] {
                  alarm(10);
                  return Db(path).dump() == "1: n" ? 0 : 1;
              })),
              0);
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
    put32(img, words[0], words[1]);
    put32(img, words[2], words[3]);
    auto *bytes = reinterpret_cast<unsigned char *>(img.data());
    put32(img, 4, ek::host::db::checksum(ek::host::db::Bytes(bytes + 8, img.size() - 8)));
    return img;
}

// Bad arguments are refused without touching anything; a one-byte key is
// fine, and two fresh handles refuse each other's descriptors.
TEST(HostDb, BadArgumentsAreRefused) {
    const std::string deep = "/tmp/db/" + [] {
        std::string dirs;
        while (dirs.size() < PATH_MAX) dirs += "d/";
        return dirs;
    }() + "x";
    for (const char *path : {static_cast<const char *>(nullptr), "", "/tmp/db/dir/", deep.c_str()})
        EXPECT_EQ(ek_db_open_ex(path, EK_DB_MODE), nullptr) << (path ? path : "null");
    Db a("/tmp/db/args"), b("/tmp/db/args");
    EXPECT_EQ(a.store("k", "1-byte key"), 0);
    auto cb = [](ek_db_handle_t, ek_db_key_desc_t, void *) {};
    const int32_t refused[] = {
        ek_db_delete_ex(nullptr, "k", 1, EK_DB_MODE), ek_db_delete_ex(a.h, nullptr, 1, EK_DB_MODE),
        ek_db_delete_ex(a.h, "k", 0, EK_DB_MODE),     ek_db_delete_ex(a.h, "k", -1, EK_DB_MODE),
        ek_db_store(nullptr, "k", 1, "v", 1),         ek_db_store(a.h, "", 0, "v", 1),
        ek_db_foreach(nullptr, cb, nullptr),          ek_db_foreach(a.h, nullptr, nullptr)};
    EXPECT_EQ(std::vector<int32_t>(std::begin(refused), std::end(refused)),
              std::vector<int32_t>(std::size(refused), -1));
    EXPECT_EQ(Db("/tmp/db/args").dump(), "1: 1-byte key");
    Db c("/tmp/db/args"), d("/tmp/db/args");
    EXPECT_EQ(d.at(c.walk()[0]), "<refused>");
    EXPECT_EQ(ek_db_count(nullptr), 0);
}

// The edges of what may be stored: a key of 4096 bytes and an empty value
// without a buffer are fine, a longer key is not. A whole-table replacement
// with a bad record, a repeated key, an image past 1 GiB, or a lock that is
// no regular file changes nothing.
TEST(HostDb, EdgesOfKeysValuesAndReplacements) {
    const std::string longest(4096, 'k'), too_long(4097, 'k');
    Db e("/tmp/db/edge");
    const ek_host_db_record_t kv{"k", 1, "v", 1};
    const std::vector<std::vector<ek_host_db_record_t>> bad = {
        {{nullptr, 1, "v", 1}}, {{"k", 0, "v", 1}},        {{"k", 1, "v", -1}},
        {{"k", 1, nullptr, 1}}, {kv, {"x", 1, "", 0}, kv}, {{"k", 1, "v", int32_t{1} << 30}}};
    std::vector<int32_t> got = {ek_db_store(e.h, longest.data(), 4096, nullptr, 0),
                                ek_db_store(e.h, too_long.data(), 4097, "v", 1)};
    for (const auto &records : bad)
        got.push_back(
            ek_host_db_replace(e.h, records.data(), static_cast<int32_t>(records.size())));
    ASSERT_EQ(unlink("/tmp/db/edge.lock") + mkfifo("/tmp/db/edge.lock", 0600), 0);
    got.push_back(ek_host_db_replace(e.h, &kv, 1));
    got.push_back(e.store("k", "v"));
    EXPECT_EQ(got, (std::vector<int32_t>{0, -1, -1, -1, -1, -1, -1, -1, -1, -1}));
    unlink("/tmp/db/edge.lock");
    // A refusal shows the key's first 32 bytes, those outside printable
    // ASCII and the quoting characters escaped.
    const std::string key = " ~\x7f\"\\" + std::string(30, 'k');
    EXPECT_EQ(Db("/tmp/db/e/wanif_db").store(key, "v"), -1);
    EXPECT_EQ(std::string(ek_host_last_log_line()),
              "refusing to store a value of 1 bytes under key \" ~\\x7f\\x22\\x5c" +
                  std::string(27, 'k') + "...\" in /tmp/db/e/wanif_db: its records are 904 bytes");
    Db f("/tmp/db/edge");
    EXPECT_EQ(f.dump(), "1: ");
    // The length alone; no room given, none written.
    const ek_db_key_desc_t k = f.walk()[0];
    EXPECT_EQ((std::vector<int32_t>{ek_host_db_key_bykey(f.h, k, nullptr, 0),
                                    ek_host_db_key_bykey(f.h, k, nullptr, 1)}),
              (std::vector<int32_t>{4096, -1}));
}

// An open confirms the directory the last walk verified by its identity
// alone (device, inode, owner, mode); a store always walks, and so sees a
// parent that others may now write.
TEST(HostDb, OpensConfirmTheVerifiedDirectoryStoresWalkAgain) {
    ASSERT_EQ(Db("/tmp/v/db/x").store("k", "v"), 0);
    ASSERT_EQ(chmod("/tmp/v", 0777), 0);
    Db again("/tmp/v/db/x");
    EXPECT_EQ((std::vector<int>{again.h != nullptr, again.store("k", "w")}),
              (std::vector<int>{1, -1}));
}

// A relative path starts at the working directory, and its first component
// is not followed either. A daemon with its standard input closed gets
// descriptor 0 for a database like any other.
TEST(HostDb, RelativePathsAndDescriptorZero) {
    auto *got = hosttest::shared_anon<std::array<int, 5>>();
    EXPECT_EQ(wait_child(spawn([got] {
                  if (mkdir("/tmp/rel", 0755) != 0 || chdir("/tmp/rel") != 0 ||
                      symlink(".", "l") != 0 || Db("/tmp/rel/y").store("k", "v") != 0) {
                      return 1;
                  }
                  close(STDIN_FILENO);
                  // The last open takes descriptor 0 for its file, and gives it back.
                  *got = {Db("x").store("k", "v"), Db("l/d/x").h != nullptr,
                          access("/tmp/rel/x", F_OK), Db("/tmp/rel/y").dump() != "1: v"};
                  (*got)[4] = fcntl(STDIN_FILENO, F_GETFD);
                  return 0;
              })),
              0);
    EXPECT_EQ(*got, (std::array<int, 5>{0, 0, 0, 0, -1}));
}

TEST(HostDbDamage, EveryTruncationFlippedBitAndBadFieldIsRefused) {
    const char *path = "/tmp/db/damaged";
    auto refused = [&](const std::string &img) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << img;
        return Db(path).h == nullptr;
    };
    // 33 bytes after the checksum word: the last one is summed alone.
    ASSERT_EQ(Db(path).store("k", "01234567"), 0);
    const std::string odd_tail = slurp(path);
    ASSERT_EQ(unlink(path), 0);
    Db db(path);
    ASSERT_EQ(db.store("eth0", "0123456789abcdefghijklmnopqrst"), 0);
    EXPECT_EQ(slurp(path), kGolden);
    ASSERT_EQ(db.store("usbnet0", "abc"), 0);
    ASSERT_EQ(db.store("p1", ""), 0);
    const std::string small = slurp(path);
    ASSERT_EQ(db.store("big", std::string(70000, 'x')), 0);
    // A large image is read and checked in pieces; it gets a sample.
    struct Sample {
        std::string good;
        size_t byte_stride, bit_stride;
    };
    // Every 32-byte lane of the large image's checksum still gets a flip.
    for (const auto &[good, byte_stride, bit_stride] :
         {Sample{small, 1, 1}, Sample{odd_tail, 1, 1}, Sample{slurp(path), 61, 251}}) {
        ASSERT_FALSE(refused(good));
        for (size_t len = 0; len < good.size(); len += byte_stride) {
            EXPECT_TRUE(refused(good.substr(0, len))) << "truncated to " << len;
        }
        EXPECT_TRUE(refused(good + '\0')) << "trailing byte";
        for (size_t i = 0; i < good.size() * 8; i += bit_stride) {
            std::string bad = good;
            bad[i / 8] ^= static_cast<char>(1u << (i % 8));
            EXPECT_TRUE(refused(bad)) << "bit " << i;
        }
    }
    // Rows: words of the header or of a record header set to what may not
    // stand there (offset, value, a second offset and value).
    const uint32_t s = 24 + 8 + 4 + 30,
                   rows[][4] = {{0, 0, 4, 0},       {8, 2, 4, 0},       {12, 2, 4, 0},
                                {12, 4, 4, 0},      {12, ~0u, 4, 0},    {16, 75, 4, 0},
                                {20, 1, 4, 0},      {24, 0, 28, 14},    {s, 100, 4, 0},
                                {s + 4, 100, 4, 0}, {s + 4, ~0u, 4, 0}, {s, 0xfffffff0u, 4, 0}};
    for (const auto &r : rows) EXPECT_TRUE(refused(resealed(small, r))) << r[0] << " " << r[1];
    EXPECT_FALSE(refused(resealed(small, {4, 0, 4, 0}))) << "resealing alone";
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

// A new semaphore of value 0 is stamped, so that the next opener does not
// wait for its creator to finish.
TEST(HostServices, SemaphoreShellAndLog) {
    int s = ek_sem_create(0x4500, 0);
    ASSERT_GE(s, 0);
    sembuf op{0, -1, IPC_NOWAIT};
    EXPECT_EQ(semop(s, &op, 1), -1) << "a new semaphore of value 0 is taken";
    EXPECT_EQ(ek_sem_create(0x4500, 0), s);
    // A semaphore whose creator died before setting its value is refused.
    ASSERT_GE(semget(0x4501, 1, IPC_CREAT | 0600), 0);
    EXPECT_EQ(ek_sem_create(0x4501, 1), -1);
    // No room for another semaphore set (the limit is this IPC namespace's).
    const std::string limits = slurp("/proc/sys/kernel/sem");
    std::ofstream("/proc/sys/kernel/sem") << "250 32000 32 2";
    EXPECT_EQ(ek_sem_create(0x4502, 1), -1);
    std::ofstream("/proc/sys/kernel/sem") << limits;
    // Values a semaphore cannot hold.
    EXPECT_EQ((std::vector<int32_t>{ek_sem_create(0x4504, -1), ek_sem_create(0x4504, 32768)}),
              (std::vector<int32_t>{-1, -1}));
    EXPECT_GE(ek_sem_create(0x4504, 32767), 0);
    // A caller that ignores SIGCHLD cannot wait for its shell: -1, no hang.
    EXPECT_EQ(wait_child(spawn([] {
                  alarm(10);
                  signal(SIGCHLD, SIG_IGN);
                  return ek_system("true") == -1 ? 0 : 1;
              })),
              0);
    // A segment's id is reported when asked for.
    int32_t shm = -2;
    EXPECT_NE(ek_shm_create(&shm, 0x4503, 64, s), nullptr);
    EXPECT_EQ(shm, shmget(0x4503, 64, 0));
    EXPECT_NE(ek_shm_create(nullptr, 0x4503, 64, s), nullptr);
    const std::pair<const char *, int32_t> rows[] = {
        {"true", 0}, {"exit 3", 3}, {"kill -9 $$", 128 + 9}, {"/no/such", 127}, {nullptr, -1}};
    for (const auto &[cmd, want] : rows) EXPECT_EQ(ek_system(cmd), want) << cmd;
    // With EK_LOG_STDERR set, every record is also a line on standard error.
    EXPECT_EQ(wait_child(spawn([] {
                  dup2(open("/tmp/err", O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
                  __ek_err(" ", 123, "usb_modem: store [key=%s] failed!\n", "12d10003");
                  setenv("EK_LOG_STDERR", "1", 1);
                  __ek_err(" ", 123, "usb_modem: store [key=%s] failed!\n", "12d10003");
                  ek_log(7, "\n");
                  return ek_log(7, "probe %d\n\n", 4);
              })),
              0);
    EXPECT_EQ(slurp("/tmp/err"), "line 123: usb_modem: store [key=12d10003] failed!\n\nprobe 4\n");
}

// The classes a name is in: e(th), p, u(sbnet or ppp), b (usb); a usbnet
// record of another size is refused. Interfaces by kernel index: brdctl.
TEST(HostDcd, NameClassesAndModeConfigurations) {
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
    int32_t cfg[24];
    ASSERT_EQ(ek_host_dcd_set_wan_priority("usbnet0", 3), 0);
    ASSERT_EQ(ek_dcd_get_usbnet_mode_cfg("usbnet0", cfg), 0);
    ek_db_handle_t db = ek_db_open_ex(EK_HOST_DCD_USBNET_DB, EK_DB_MODE);
    EXPECT_LT(ek_db_store(db, "usb1", 4, cfg, 92), 0) << "a record of another size";
    ek_db_close(db);
    EXPECT_LT(ek_dcd_get_usbnet_mode_cfg("usb1", cfg), 0) << "a record of another size";
    db = ek_db_open_ex(EK_HOST_DCD_USBNET_DB, EK_DB_MODE);
    ASSERT_EQ(ek_db_store(db, "usbnet0123456789", 16, cfg, sizeof cfg), 0);
    ek_db_close(db);
    EXPECT_LT(ek_dcd_get_usbnet_mode_cfg("usbnet0123456789", cfg), 0) << "16 characters";
    // Addresses as the kernel has them (network order); the loopback is up.
    uint32_t addr = 0, mask = 0;
    EXPECT_EQ(ek_dcd_get_addr_byname("lo", &addr, &mask), 0);
    EXPECT_EQ(std::make_pair(addr, mask), std::make_pair(htonl(0x7f000001), htonl(0xff000000)));
    for (const char *name : {static_cast<const char *>(nullptr), "", "nosuch0", "lo0123456789abcd"})
        EXPECT_EQ(ek_dcd_get_addr_byname(name, &addr, &mask), -1) << (name ? name : "null");
    EXPECT_EQ(ek_dcd_get_addr_byname("lo", nullptr, &mask), -1);
    EXPECT_EQ(ek_dcd_get_addr_byname("lo", &addr, nullptr), -1);
    EXPECT_EQ(ek_host_dcd_set_wan_priority("wlan0", 3), -1) << "a name of no class";
    // Setting the priority keeps the rest of an existing record.
    int32_t want[24];
    std::fill(std::begin(want), std::end(want), 0x11111111);
    db = ek_db_open_ex(EK_HOST_DCD_USBNET_DB, EK_DB_MODE);
    ASSERT_EQ(ek_db_store(db, "usb2", 4, want, sizeof want), 0);
    ek_db_close(db);
    ASSERT_EQ(ek_host_dcd_set_wan_priority("usb2", 5), 0);
    ASSERT_EQ(ek_dcd_get_usbnet_mode_cfg("usb2", cfg), 0);
    want[5] = 5;
    EXPECT_EQ(std::vector<int32_t>(cfg, cfg + 24), std::vector<int32_t>(want, want + 24));
}

// Another local user's objects: a child dropped to uid 65534 plants them, and
// another child, as root or as that user, stores a record or attaches.
constexpr uid_t kNobody = 65534;
constexpr const char *kLog = "/tmp/trust.log";

// body's exit code in a child running as uid, its stderr going to kLog.
// A child that hangs is ended by its alarm, and the row fails.
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

int sh(const char *cmd) {
    return std::system(cmd) == 0 ? 0 : 1;
}

// A semaphore stamped by a semop (or not) and a segment at the CPE keys
// (mode 0: none).
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

template <size_t size = sizeof(ek_wanif_entry_t)>
int store() {
    std::string value(size, 'A');
    ek_db_handle_t db = ek_db_open_ex(kWanif, EK_DB_MODE);
    int rc = db != nullptr && ek_db_store(db, "eth0", 4, value.data(), size) == 0 ? 0 : 1;
    ek_db_close(db);
    return rc;
}

// wanif_db holding one record "eth0" of size bytes of 'A', as another tool
// could write it.
int plant_record(size_t size) {
    namespace db = ek::host::db;
    std::string value(size, 'A');
    std::vector<unsigned char> img(db::kHeaderSize + db::record_size(4, size));
    db::put_record(img.data() + db::kHeaderSize,
                   db::Bytes(reinterpret_cast<const unsigned char *>("eth0"), 4),
                   db::Bytes(reinterpret_cast<const unsigned char *>(value.data()), size));
    db::seal_image(img, 1);
    std::ofstream(kWanif, std::ios::binary).write(reinterpret_cast<char *>(img.data()), img.size());
    return chmod(kWanif, 0600);
}

// A store, the command, then an open in the same process: the open sees
// what the command did to the directory the store verified (1: refused, 0:
// opened, and empty, as a re-made directory is).
int around(const char *cmd) {
    if (store() != 0 || sh(cmd) != 0) return 2;
    ek_db_handle_t db = ek_db_open_ex(kWanif, EK_DB_MODE);
    int count = ek_db_count(db);
    ek_db_close(db);
    return db == nullptr ? 1 : count == 0 ? 0 : 3;
}

// A store through a handle opened before the command.
int through_handle(const char *cmd) {
    ek_db_handle_t db = ek_db_open_ex(kWanif, EK_DB_MODE);
    std::string value(sizeof(ek_wanif_entry_t), 'B');
    int rc = sh(cmd) != 0 ? 2 : ek_db_store(db, "eth1", 4, value.data(), value.size()) == 0 ? 0 : 1;
    ek_db_close(db);
    return rc;
}

// The lock taken by a grandchild that outlives the planter by 10 s.
int hold_lock() {
    int ready[2];
    if (store() != 0 || pipe(ready) != 0) return 1;
    if (fork() == 0) {
        int fd = open("/tmp/db/wanif_db.lock", O_RDWR);
        if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(ready[1], "x", 1) != 1) _exit(1);
        alarm(10);
        pause();
    }
    char c;
    return read(ready[0], &c, 1) == 1 ? 0 : 1;
}

// Root runs "probe" with a PATH whose empty, relative and foreign entries
// all lead to uid 65534's program.
int run_probe() {
    setenv("PATH", ":.:/tmp/evil:/usr/bin:/bin", 1);
    if (chdir("/tmp/evil") != 0) return 2;
    return ek_system("probe 2>/dev/null") == 127 && access("/tmp/pwned", F_OK) != 0 ? 1 : 0;
}

int attach() {
    return ek_brd_get_cpe_shm_data() != nullptr ? 0 : 1;
}

struct Row {
    const char *name;
    uid_t planter;
    std::function<int()> plant;
    uid_t user;
    int (*use)();
    // The line logged ("pid N (C)": any), or null: the use works; "":
    // refused without a line.
    const char *refusal;
};

constexpr const char *kForeignDir =
    "refusing directory /tmp/db (owner uid 65534, mode 0755): owned by another user: remove it, do "
    "not chown it";

const Row kRows[] = {
    {"foreign /tmp/db with links to root's files", kNobody,
     [] {
         return sh(
             "mkdir /tmp/db && ln -s /tmp/root_only/victim /tmp/db/wanif_db.new &&"
             " ln -s /tmp/root_only/x /tmp/db/wanif_db.lock");
     },
     0, store<>, kForeignDir},
    {"root's sticky /tmp/db open to all", 0, [] { return sh("mkdir -m 1777 /tmp/db"); }, 0, store<>,
     "refusing directory /tmp/db (owner uid 0, mode 1777): writable by group or others"},
    {"group-writable database", 0, [] { return store() + sh("chmod 0620 /tmp/db/wanif_db"); }, 0,
     store<>,
     "refusing file /tmp/db/wanif_db (owner uid 0, mode 0620): writable by group or others"},
    {"database is a link", 0,
     [] { return sh("mkdir /tmp/db && ln -s /tmp/root_only/victim /tmp/db/wanif_db"); }, 0, store<>,
     "refusing file /tmp/db/wanif_db (owner uid 0, mode 0777): a symbolic link, never followed"},
    {"foreign semaphore, no segment", kNobody, [] { return plant_ipc(0600, 0); }, 0, attach,
     "refusing SysV semaphore 0x00015010 (owner uid 65534, creator uid 65534, mode 0600): owned or "
     "created by another user"},
    {"root's segment readable by group", 0, [] { return plant_ipc(0, 0640); }, 0, attach,
     "refusing SysV segment 0x00015011 (owner uid 0, creator uid 0, mode 0640): open to group or "
     "others"},
    {"stale .new link in root's /tmp/db", 0,
     [] { return sh("mkdir /tmp/db && ln -s /tmp/root_only/victim /tmp/db/wanif_db.new"); }, 0,
     store<>, nullptr},
    {"own database of uid 65534", kNobody, store<>, kNobody, store<>, nullptr},
    {"own CPE objects of uid 65534", kNobody, attach, kNobody, attach, nullptr},
    {"/tmp/db re-made by another user while in use", 0, [] { return 0; }, 0,
     [] { return around("rm -r /tmp/db && mkdir /tmp/db && chown 65534 /tmp/db"); }, kForeignDir},
    {"/tmp/db opened to all while in use", 0, [] { return 0; }, 0,
     [] { return around("chmod 0777 /tmp/db"); },
     "refusing directory /tmp/db (owner uid 0, mode 0777): writable by group or others"},
    {"/tmp/db given away while in use", 0, [] { return 0; }, 0,
     [] { return around("chown 65534 /tmp/db"); }, kForeignDir},
    {"/tmp/db given away under an open handle", 0, [] { return store(); }, 0,
     [] { return through_handle("chown 65534 /tmp/db"); }, kForeignDir},
    {"a crashed writer's leftover .new", 0,
     [] { return store() + sh("echo x >/tmp/db/wanif_db.new"); }, 0,
     [] { return store() + (access("/tmp/db/wanif_db.new", F_OK) == 0); }, nullptr},
    {"root's semaphore met by another user", 0, [] { return plant_ipc(0600, 0); }, kNobody, attach,
     ""},
    {"commands run by another user", 0, [] { return 0; }, kNobody,
     [] { return ek_system("exit 0"); }, nullptr},
    {"/tmp/db re-made by root while in use", 0, [] { return 0; }, 0,
     [] { return around("rm -r /tmp/db && mkdir /tmp/db"); }, nullptr},
    {"FIFO at the database", 0,
     [] { return sh("mkdir /tmp/db && mkfifo -m 0600 /tmp/db/wanif_db"); }, 0, store<>,
     "refusing file /tmp/db/wanif_db (owner uid 0, mode 0600): not a regular file"},
    {"lock kept by another process", 0, hold_lock, 0, store<>,
     "cannot lock /tmp/db/wanif_db.lock: held by pid N (C) for more than 3 s; stop the "
     "process that holds it"},
    {"record of another size stored", 0, [] { return 0; }, 0, store<905>,
     "refusing to store a value of 905 bytes under key \"eth0\" in /tmp/db/wanif_db: its records "
     "are 904 bytes"},
    {"oversized record read by a WAN query", 0,
     [] { return sh("mkdir /tmp/db") + plant_record(4000); }, 0,
     [] { return ek_brd_check_intf_wanif("eth0") == 0 ? 1 : 0; },
     "refusing to hand out a value of 4000 bytes under key \"eth0\" in /tmp/db/wanif_db: its "
     "records are 904 bytes"},
    {"damaged image", 0,
     [] {
         return store() +
                sh("printf X | dd of=/tmp/db/wanif_db bs=1 seek=40 conv=notrunc status=none");
     },
     0, store<>,
     "refusing database /tmp/db/wanif_db: bad checksum or record count: restore it from a copy or "
     "remove it"},
    {"full disk", 0,
     [] { return sh("mkdir /tmp/db && mount -t tmpfs -o size=4k,mode=0755 t /tmp/db") + store(); },
     0, store<>,
     "cannot store in /tmp/db/wanif_db: writing /tmp/db/wanif_db.new failed: No space left on "
     "device"},
    {"foreign programs on root's PATH", kNobody,
     [] {
         return sh(
             "mkdir /tmp/evil && printf '#!/bin/sh\\ntouch /tmp/pwned\\n' >/tmp/evil/probe &&"
             " chmod 0755 /tmp/evil/probe");
     },
     0, run_probe,
     "running commands as root without the PATH entries \"\" (empty), \".\" (relative), "
     "\"/tmp/evil\" (not owned by root): a directory another user can write could hold any "
     "program"},
    {"segment of another size", 0, [] { return plant_ipc(0, 0600, 100); }, 0, attach,
     "refusing SysV segment 0x00015011: 100 bytes where 85896 belong; remove it (ipcrm -M "
     "0x00015011)"},
    {"semaphore its creator never set", 0, [] { return plant_ipc(0600, 0, 0, false); }, 0, attach,
     "refusing SysV semaphore 0x00015010: its creator never set its value within 2000 ms; remove "
     "it (ipcrm -S 0x00015010)"},
};

// Threads open the database while another removes and re-makes its
// directory: each open either finds the record whole or an empty database,
// never a refusal or another directory's state.
TEST(HostDb, VerifiedDirectorySharedByThreadsWhileReMade) {
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            std::string value(sizeof(ek_wanif_entry_t), '\0');
            while (!done) {
                ek_db_handle_t db = ek_db_open_ex(kWanif, EK_DB_MODE);
                int count = ek_db_count(db);
                bool whole = count == 0 || (ek_db_fetch(db, "eth0", 4, value.data()) == 0 &&
                                            value == std::string(value.size(), 'A'));
                bad += db == nullptr || count > 1 || !whole;
                ek_db_close(db);
            }
        });
    }
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(store(), 0) << i;
        EXPECT_EQ(sh("rm -r /tmp/db"), 0) << i;
    }
    done = true;
    for (auto &t : readers) t.join();
    EXPECT_EQ(bad, 0);
}

// Bytes this process has read so far, by any read.
long long bytes_read() {
    std::ifstream io("/proc/self/io");
    std::string word;
    long long n = -1;
    while (io >> word && word != "rchar:") {
    }
    io >> n;
    return n;
}

constexpr size_t kBig = 6000;

// An open of path: "refused", or whether it read the file ("read") or took
// the image kept from an earlier open ("kept"), and the letter its value
// "k" is made of.
std::string open_seen(const std::string &path) {
    long long before = bytes_read();
    ek_db_handle_t db = ek_db_open_ex(path.c_str(), EK_DB_MODE);
    bool kept = bytes_read() - before < static_cast<long long>(kBig);
    std::string v(kBig, '?');
    int rc = ek_db_fetch(db, "k", 1, v.data());
    ek_db_close(db);
    if (db == nullptr) return "refused";
    return (kept ? "kept " : "read ") + (rc == 0 ? v.substr(0, 1) : "?");
}

int store_big(const std::string &path, char c) {
    return Db(path.c_str()).store("k", std::string(kBig, c));
}

// A process keeps the image of a file that has not changed for 2 s and
// hands it out again without reading the file, as long as the file and its
// directory show what they showed then; any change is read or refused. The
// files are aged once, by one wait past that window.
TEST(HostDb, KeptImagesAreHandedOutUntilTheFileOrDirectoryChanges) {
    struct Change {
        const char *name;
        std::function<int(const std::string &)> change;
        const char *want;
        const char *log;
    } rows[] = {
        {"stored through a handle that was kept",
         [](const std::string &p) {
             return store_big(p, 'B') != 0 ||
                    wait_child(spawn([p] { return open_seen(p) == "read B" ? 0 : 1; }));
         },
         "read B", ""},
        {"replaced by rename",
         [](const std::string &p) {
             return store_big("/tmp/db/next", 'C') != 0 || rename("/tmp/db/next", p.c_str());
         },
         "read C", ""},
        {"written in place, its times put back",
         [](const std::string &p) {
             int fd = open(p.c_str(), O_WRONLY);
             struct stat st;
             fstat(fd, &st);
             timespec times[2] = {st.st_atim, st.st_mtim};
             int rc = pwrite(fd, "Z", 1, st.st_size - 1) != 1 || futimens(fd, times) != 0;
             close(fd);
             return rc;
         },
         "refused",
         "refusing database /tmp/db/c2: bad checksum or record count: restore it from a copy or "
         "remove it\n"},
        {"made writable by others", [](const std::string &p) { return chmod(p.c_str(), 0666); },
         "refused",
         "refusing file /tmp/db/c3 (owner uid 0, mode 0666): writable by group or others\n"},
        {"directory given away", [](const std::string &) { return chown("/tmp/db", kNobody, 0); },
         "refused",
         "refusing directory /tmp/db (owner uid 65534, mode 0755): owned by another user: remove "
         "it, do not chown it\n"},
    };
    std::vector<std::string> paths;
    for (size_t i = 0; i < std::size(rows); ++i) {
        paths.push_back("/tmp/db/c" + std::to_string(i));
        ASSERT_EQ(store_big(paths.back(), 'A'), 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    // Threads share kept images while their other opens push them out.
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (size_t t = 0; t < 3; ++t) {
        readers.emplace_back([&, t] {
            for (size_t n = 0; n < 200; ++n) bad += open_seen(paths[(t + n) % 5]).back() != 'A';
        });
    }
    for (auto &t : readers) t.join();
    EXPECT_EQ(bad, 0);
    setenv("EK_LOG_STDERR", "1", 1);
    int saved_stderr = dup(STDERR_FILENO);
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].name);
        open_seen(paths[i]);
        EXPECT_EQ(open_seen(paths[i]), "kept A");
        ASSERT_EQ(rows[i].change(paths[i]), 0);
        int log = open(kLog, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(log, STDERR_FILENO);
        close(log);
        EXPECT_EQ(open_seen(paths[i]), rows[i].want);
        dup2(saved_stderr, STDERR_FILENO);
        EXPECT_EQ(slurp(kLog), rows[i].log);
    }
    close(saved_stderr);
    unsetenv("EK_LOG_STDERR");
    ASSERT_EQ(sh("rm -r /tmp/db"), 0);
}

TEST(HostTrust, ForeignOrOpenObjectsAreRefusedOwnOnesWork) {
    if (geteuid() != 0 || as_user(kNobody, [] { return 0; }) != 0) {
        GTEST_SKIP() << "needs root and a uid 65534 to switch to";
    }
    ASSERT_EQ(sh("mkdir -m 0700 /tmp/root_only && echo precious >/tmp/root_only/victim"), 0);
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.name);
        // Every child inherits this process's verified directory, removed.
        ASSERT_EQ(sh("umount /tmp/db 2>/dev/null; rm -rf /tmp/db"), 0);
        ASSERT_EQ(store(), 0);
        ASSERT_EQ(sh("rm -r /tmp/db"), 0);
        semctl(semget(EK_BRD_CPE_SEM_KEY, 0, 0), 0, IPC_RMID);
        shmctl(shmget(EK_BRD_CPE_SHM_KEY, 0, 0), IPC_RMID, nullptr);
        ASSERT_EQ(as_user(row.planter, row.plant), 0);
        EXPECT_EQ(as_user(row.user, row.use), row.refusal != nullptr ? 1 : 0);
        std::string log =
            std::regex_replace(slurp(kLog), std::regex("pid [0-9]+ \\([^)]*\\)"), "pid N (C)");
        EXPECT_EQ(log,
                  row.refusal != nullptr && *row.refusal ? row.refusal + std::string("\n") : "");
        EXPECT_EQ(slurp("/tmp/root_only/victim"), "precious\n");
        EXPECT_NE(access("/tmp/root_only/x", F_OK), 0) << "root followed the lock link";
    }
}

// What root's shell finds on PATH: the trusted entries, resolved, in their
// order, and one line naming the dropped ones. Rows of as many entries
// follow each other longest first, so that a PATH built in the memory of the
// one before must end where it belongs.
TEST(HostTrust, RootsShellSeesTheTrustedPathEntriesOnly) {
    if (geteuid() != 0 || as_user(kNobody, [] { return 0; }) != 0) {
        GTEST_SKIP() << "needs root and a uid 65534 to switch to";
    }
    ASSERT_EQ(sh("mkdir -m 0755 /tmp/p1 /tmp/p2"), 0);
    std::string many = "/tmp/p1";
    while (many.size() < 5000) many += ":/tmp/p1";
    const std::string saved = getenv("PATH"), too_long = "/" + std::string(PATH_MAX - 1, 'a');
    // PATH given, PATH the shell sees, the entries the log line names.
    const std::string rows[][3] = {
        {"/tmp/p1:/tmp/p2", "/tmp/p1:/tmp/p2", ""},
        {"/:/tmp/p1", "/:/tmp/p1", ""},
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
