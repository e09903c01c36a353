// The library's objects on the fake platform, a row per answer and per failure
// path; sixteen threads racing their first attach run under tsan too.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/list.h"
#include "common/shm_word.h"
#include "cpe/nat_policy.h"
#include "ek_brd.h"
#include "fake_platform.h"

namespace {
using fake::Channel;
using Lines = std::vector<std::string>;
// Each call's answers in the order they come; a row lists what it expects.
using Answers = std::vector<long>;
using Call = std::function<Answers()>;
using One = std::function<long()>;
using Step = std::function<void()>;
using F = fake::Faults;
constexpr Channel kErr = Channel::ek_err, kSys = Channel::syslog;
constexpr char kCfgDb[] = "/tmp/db/usb_modem_cfg", kMsDb[] = "/tmp/db/usb_modem_mode_switch";
const std::string kCount = "ek_brd_lib_usb_modem_get_ttydev_count: ";
const std::string kWanOpen = "brd: open DB failed : /tmp/db/wanif_db\n";
const std::string kArray = "WANIF: malloc failed for all_entry";
const std::string kPbr = "WANIF: pbr: get routing policy entry failed!\n";
const std::string kCfgOpen = "usb_modem: open DB failed : /tmp/db/usb_modem_cfg\n";
const std::string kCfgNode = "usb_modem: fail to create usb modem config node.";
const std::string kMsOpen = "usb_modem: open DB failed : /tmp/db/usb_modem_mode_switch\n";
const std::string kMsKey = "(key=1a2b0003) [vid=0x1a2b, pid=0x3] failed!\n";
const char kListing[] =
    "Bus 001 Device 001: ID 1d6b:0002 root hub\nBus 001 Device 003: ID 12d1:1446 modem\n";
const uint32_t kMgt0 = 0x0a010200, kVpn = 0x0a080000, kMask = 0xffffff00;
// Colons in the header lines: only what follows them names interfaces.
const std::string kNetDevHead = "mgt0: header one\n mgt01: header two\n";
const std::string kWanDb = "/tmp/db/wanif_db";
fake::Faults &faults = fake::state().faults;
const fake::Counters &calls = fake::state().calls;
struct Wan {
    ek_wanif_entry_t r{};
    explicit Wan(const std::string &ifname) {
        memcpy(r.ifname, ifname.data(), std::min(ifname.size(), sizeof r.ifname));
    }
    Wan &name(const std::string &n) {
        memcpy(r.name, n.data(), std::min(n.size(), sizeof r.name - 1));
        return *this;
    }
    Wan &wan() { return r.is_wanif = 1, *this; }
    Wan &active() { return r.is_active_dft_wan = 1, *this; }
    Wan &ip(uint32_t a) { return r.ip_addr = a, *this; }
    Wan &kifidx(int32_t k) { return r.pppoe_ethnet_kifidx = k, *this; }
    Wan &pppoe(int32_t k) { return r.is_pppoe = 1, kifidx(k); }
    Wan &prio(int32_t p) { return r.priority = p, *this; }
    Wan &status(int32_t s) { return r.usbnet_status = s, *this; }
};
// Stored under its name, or its interface name without one.
Step wans(std::vector<Wan> list) {
    return [list] {
        for (const Wan &w : list) {
            const std::string ifname(w.r.ifname, strnlen(w.r.ifname, sizeof w.r.ifname));
            fake::put(kWanDb, w.r.name[0] != '\0' ? w.r.name : ifname, w.r);
        }
    };
}
// Every byte position-dependent, so a stray write shows; byte 4 is 28 plus the seed.
template <typename T>
T filled(uint8_t seed) {
    T v;
    auto *b = reinterpret_cast<uint8_t *>(&v);
    for (size_t i = 0; i < sizeof v; i++) b[i] = static_cast<uint8_t>(i * 7 + seed);
    return v;
}
long seed_of(const void *record) {
    return static_cast<const uint8_t *>(record)[4] - 28;
}
// Modem `id` for the usb ids 0x1000:pid and vid1:pid1, in `slots` counted slots.
ek_usb_modem_cfg_t cfg(const char *id, uint16_t pid, uint8_t seed, uint16_t vid1 = 0x2000,
                       uint16_t pid1 = 7, uint32_t slots = 2) {
    auto c = filled<ek_usb_modem_cfg_t>(seed);
    strcpy(c.modem_id, id), c.usbid_num = slots;
    c.usbid[0].vid = 0x1000, c.usbid[0].pid = pid;
    c.usbid[1].vid = vid1, c.usbid[1].pid = pid1;
    return c;
}
ek_usb_modeswitch_t modeswitch_record(uint16_t vid, uint16_t pid, uint8_t seed) {
    auto m = filled<ek_usb_modeswitch_t>(seed);
    m.vid = vid, m.pid = pid;
    return m;
}
uint16_t g_vid = 0xaaaa, g_pid = 0xaaaa;
char g_msg[128];
const std::string kUntouched(127, '#');
ek_usb_modem_cfg_t g_cfg = filled<ek_usb_modem_cfg_t>(0xee);
ek_usb_modeswitch_t g_ms = filled<ek_usb_modeswitch_t>(0xee);
std::string g_unaddressed;   // the interface dcd has no address for
Lines g_asked;               // the names dcd was asked for
std::vector<long> g_listed;  // the seed of every record a listing held
void *g_cpe;

// The probe's and the count's temporary files: /tmp is the test's own.
std::vector<std::string> temp_files() {
    std::vector<std::string> out;
    for (const auto &e : std::filesystem::directory_iterator("/tmp"))
        if (e.path().string().rfind("/tmp/ek_brd_lib_usb_modem_", 0) == 0) out.push_back(e.path());
    return out;
}
std::string redirect_target(const std::string &cmd) {
    size_t p = cmd.rfind("> ");
    return p == std::string::npos ? std::string() : cmd.substr(p + 2);
}
// lsusb and the count print `out` (the count `count`, if given) and exit with `status`.
Step shell(std::string out, int32_t status, int32_t modeswitch_status = 0, std::string count = "") {
    return [=] {
        fake::state().system = [=](const char *cmd) {
            const std::string c = cmd;
            if (c.rfind("usb_modeswitch ", 0) == 0) return modeswitch_status;
            std::ofstream(redirect_target(c))
                << (count.empty() || c.rfind("lsusb", 0) == 0 ? out : count);
            return status;
        };
    };
}
void subnet(uint32_t index, uint32_t addr, uint32_t mask, int32_t local = 1) {
    const uint32_t at = EK_BRD_CPE_VPN_SUBNETS_OFFSET + 4 + 36 * index;
    ek::shm_word(g_cpe, at) = static_cast<int32_t>(addr);
    ek::shm_word(g_cpe, at + 4) = static_cast<int32_t>(mask);
    ek::shm_word(g_cpe, at + 24) = local;
}
// Three records in each database, two local subnets, mgt0 in /proc/net/dev,
// and a shell that lists a modem, counts two serial devices and switches modes.
void seed() {
    wans({Wan("eth0").wan().active().ip(0x0a000001).prio(11),
          Wan("ppp0").wan().pppoe(7).ip(0x0a000002).prio(12),
          Wan("tunnel0").wan().ip(0x0a000003).prio(13)})();
    for (uint8_t i = 0; i < 3; i++) {
        const std::string id = "m" + std::to_string(i);
        fake::put(kCfgDb, id, cfg(id.c_str(), i, i));
        fake::put(kMsDb, "1000000" + std::to_string(i), modeswitch_record(0x1000, i, i));
    }
    g_cpe = fake::shared_segment(EK_BRD_CPE_SHM_KEY, EK_BRD_CPE_SHM_SIZE);
    ek::shm_word(g_cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET) = 2;
    subnet(0, kMgt0, kMask), subnet(1, kVpn, kMask);
    std::ofstream("/tmp/net_dev") << kNetDevHead << "  mgt0: 1 2 3\n";
    auto &s = fake::state();
    s.dcd_addr = [](const char *name, uint32_t *a, uint32_t *m) {
        g_asked.push_back(name);
        EXPECT_EQ(pthread_mutex_trylock(&internal_subnet_mutex), 0) << "held while reading";
        pthread_mutex_unlock(&internal_subnet_mutex);
        *a = 0x0a010203, *m = kMask;
        return name == g_unaddressed ? -1 : 0;
    };
    shell(kListing, 0, 0, "2\n")();
    memset(g_msg, '#', sizeof g_msg - 1);
}
struct Row {
    std::string name;
    Step arrange;
    Call call;
    Answers result;
    Channel channel;
    Lines lines = {};
    Step verify = {};
};
template <typename Fn>
Row row(std::string name, Step arrange, Fn call, Answers result, Channel channel, Lines lines = {},
        Step verify = {}) {
    // Answers{} of one answer or of a list: the call's answers as they come.
    return {name, arrange, [call] { return Answers{call()}; }, result, channel, lines, verify};
}
template <typename... Fn>
Call each(Fn... fn) {
    return [=] { return Answers{fn()...}; };
}
template <typename Fn, typename... A>
One on(Fn fn, A... args) {
    return [=] { return fn(args...); };
}
// In a fresh process, allocation fail_at failing (a sweep's last run must not
// reach it); afterwards nothing allocated, open or locked, and exactly the
// row's log lines ("@": the last command's temporary file), at error level.
void check(const Row &row, long fail_at = -1, bool last = false) {
    SCOPED_TRACE(row.name);
    fake::reset();
    for (const std::string &f : temp_files()) std::filesystem::remove(f);
    seed();
    fake::in_fresh_process([&] {
        if (row.arrange) row.arrange();
        fake::arm_malloc(fail_at);
        EXPECT_EQ(row.call(), row.result) << "the answers of " << row.name;
        fake::disarm_malloc();
        if (row.verify) row.verify();
        if (fail_at >= 0) {
            EXPECT_EQ(calls.mallocs > fail_at, !last);
            EXPECT_TRUE(temp_files().empty());
        }
        EXPECT_EQ(calls.live, 0);
        EXPECT_EQ(fake::open_handles(), 0);
        for (pthread_mutex_t *m : {&g_wanif_db_mutex, &internal_subnet_mutex}) {
            ASSERT_EQ(pthread_mutex_trylock(m), 0);
            pthread_mutex_unlock(m);
        }
        const auto &cmds = fake::state().commands;
        const std::string file = redirect_target(cmds.empty() ? "" : cmds.back());
        Lines want = row.lines;
        for (std::string &line : want)
            if (size_t at = line.find('@'); at != std::string::npos) line.replace(at, 1, file);
        std::map<Channel, Lines> texts;
        for (const fake::LogLine &l : fake::state().logs) {
            texts[l.channel].push_back(l.text);
            EXPECT_EQ(l.level, l.channel == Channel::ek_log ? 7 : 3);
            EXPECT_EQ(l.tag, l.channel == Channel::ek_err ? " " : "");
            EXPECT_EQ(l.line > 0, l.channel == Channel::ek_err);
        }
        for (Channel c : {Channel::ek_err, Channel::ek_log, Channel::syslog})
            EXPECT_EQ(texts[c], c == row.channel ? want : Lines{}) << static_cast<int>(c);
    });
}
const One probe = [] { return ek_brd_lib_usb_modem_get_attached_dev(&g_vid, &g_pid); };
const One count = ek_brd_lib_usb_modem_get_ttydev_count;
const One modeswitch = [] { return ek_brd_lib_usb_modem_modeswitch(0x12d1, 0x1446, "55"); };
// Lists after a node of the caller's own, which must stay first.
One getall(int (*fn)(ek_list_head *)) {
    return [fn] {
        ek_list_head list, mine;
        ek::list_init(&list);
        ek::list_add_tail(&mine, &list);
        long r = fn(&list);
        EXPECT_EQ(list.next, &mine);
        g_listed.clear();
        ek::list_for_each_safe(&list, [&mine](ek_list_head *node) {
            if (node == &mine) return;
            g_listed.push_back(seed_of(node + 1));
            free(node);
        });
        return r;
    };
}
const One cfg_getall = getall(ek_brd_lib_usb_modem_db_getall);
const One ms_getall = getall(ek_brd_lib_usb_modem_db_getall_usb_modeswitch);
// The result, then the seed of the record copied out.
Call by_usb_id(uint16_t vid, uint16_t pid) {
    return [=] {
        long r = ek_brd_lib_usb_modem_db_get_entry_by_usb_id(vid, pid, &g_cfg);
        return r < 0 ? Answers{r} : Answers{r, seed_of(&g_cfg)};
    };
}
Call modeswitch_entry(uint16_t pid) {
    return [=] {
        long r = ek_brd_lib_usb_modem_db_get_usb_modeswitch_entry(0x1000, pid, &g_ms);
        return r < 0 ? Answers{r} : Answers{r, seed_of(&g_ms)};
    };
}
One priority(int kind, int p) {
    return on(ek_brd_check_cfg_priority_valid, kind, p, g_msg);
}
std::string taken(int p) {
    return "Please use a different priority value since priority " + std::to_string(p) +
           " is in already configured\n";
}
// Whether the query had answered within 50 ms of a caller holding the mutex
// (-9: not), then its answer.
Call kept_out(pthread_mutex_t *mutex, One query) {
    return [=] {
        std::atomic<long> got{-9};
        pthread_mutex_lock(mutex);
        std::thread t([&] { got = query(); });
        usleep(50000);
        const long while_held = got;
        pthread_mutex_unlock(mutex);
        t.join();
        return Answers{while_held, got};
    };
}
// Then only the two slots counted before the other five records arrived.
Answers wan_counts() {
    const long all = ek_brd_get_wanif_count();
    faults.count_result = 2;
    return {all, ek_brd_get_wanif_count()};
}
// The call and the status (77 when not given); once known, -1 without a place to put it.
Answers usbnet_status() {
    int status = 77;
    const long r = ek_brd_lib_get_usbnet_status(&status);
    if (r != 0) return {r, status};
    return {r, status, ek_brd_lib_get_usbnet_status(nullptr)};
}
One local(uint32_t a, uint32_t m = kMask) {
    return [=] { return ek_brd_lib_is_cpe_local_subnet(&a, &m); };
}
One wanif(const char *ifname) {
    return on(ek_brd_check_intf_wanif, ifname);
}
One dcd_priority(const char *ifname) {
    return on(ek_wanif_get_wan_priority_from_dcd_shm, ifname);
}
const Call five_queries = each(ek_brd_get_wanif_count, on(ek_brd_check_intf_active_dft_wan, "eth0"),
                               wanif("ppp0"), on(ek_brd_cpe_shm_check_wan_intf_ip, 0x0a000002u),
                               on(ek_brd_get_pppoe_ethnet_kifidx, "ppp0"));
// Fresh memory is 0xa5 bytes: a slot not cleared (or filled with ones) would claim these.
const std::string kDirty(16, '\xa5'), kOnes(16, '\x01');
const Call unnamed_wan =
    each(wanif(""), on(ek_brd_cpe_shm_check_wan_intf_ip, 0u), wanif(kDirty.c_str()),
         on(ek_brd_check_intf_active_dft_wan, kDirty.c_str()),
         on(ek_brd_cpe_shm_check_wan_intf_ip, 0xa5a5a5a5u), wanif(kOnes.c_str()));
One attached(void *(*get)()) {
    return [get] { return get() != nullptr; };
}
// Both segments asked for twice: a failed attach is never retried.
const Call segments_twice =
    each(attached(ek_brd_get_routing_shm_data), attached(ek_brd_get_routing_shm_data),
         attached(ek_brd_get_cpe_shm_data), attached(ek_brd_get_cpe_shm_data));
// The two CPE fields, then the NAT table.
Answers cpe_without_segment() {
    ek_brd_set_save_report_flag(6), ek_brd_set_brd_auth(5);
    ek_brd_cpe_shm_save_nat_policy(1, "nat1", 2);
    ek_brd_cpe_shm_delete_nat_policy(0);
    char buf[8] = "keep";
    ek_brd_cpe_shm_get_nat_policy_output(0, buf);
    EXPECT_STREQ(buf, "keep");
    EXPECT_EQ(ek_brd_cpe_shm_get_nat_policy_name(1), nullptr);
    return {ek_brd_get_save_report_flag(), ek_brd_get_brd_auth(),
            ek_brd_cpe_shm_request_nat_policy_id(), ek_brd_cpe_shm_get_nat_policy_id("nat1"),
            ek_brd_cpe_shm_check_nat_policy_type_valid_for_interface("nat1", "eth0")};
}
// Saves outside the table are silent and change no byte of the segment.
Answers nat_out_of_range() {
    const auto *cpe = static_cast<const uint8_t *>(ek_brd_get_cpe_shm_data());
    const std::vector<uint8_t> before(cpe, cpe + EK_BRD_CPE_SHM_SIZE);
    for (int id : {0, -1, 129}) ek_brd_cpe_shm_delete_nat_policy(id);
    for (int id : {0, -1, 129}) ek_brd_cpe_shm_save_nat_policy(id, "x", 2);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), cpe));
    return {ek_brd_cpe_shm_get_nat_policy_name(129) != nullptr,
            ek_brd_cpe_shm_get_nat_policy_name(0) != nullptr,
            ek_brd_cpe_shm_get_nat_policy_name(-1) != nullptr};
}
// The lowest id of a name, before and after its slot is freed.
Answers nat_lowest_id() {
    ek_brd_cpe_shm_save_nat_policy(3, "dup", 2), ek_brd_cpe_shm_save_nat_policy(5, "dup", 1);
    const long first = ek_brd_cpe_shm_get_nat_policy_id("dup");
    ek_brd_cpe_shm_delete_nat_policy(3);
    return {first, ek_brd_cpe_shm_get_nat_policy_id("dup")};
}
long lock_state() {
    void *shm = &shm;
    EXPECT_EQ(ek_brd_lib_usb_modem_get_shm(&shm), 0);
    EXPECT_EQ(shm, nullptr);
    EXPECT_EQ(ek_brd_lib_usb_modem_cfg_unlock(), -1);
    return ek_brd_lib_usb_modem_cfg_lock();
}
// After init: the segment made for the key, and a lock answering the semaphore's
// results, 0 and then -5.
Answers usb_modem_after_init() {
    void *shm = nullptr;
    const long init = ek_brd_lib_usb_modem_init(), got = ek_brd_lib_usb_modem_get_shm(&shm);
    const auto &made = fake::state().shms[EK_USB_MODEM_SHM_KEY];
    Answers r = {init, got,
                 shm != nullptr && shm == made.first && made.second == EK_USB_MODEM_SHM_SIZE,
                 ek_brd_lib_usb_modem_cfg_lock(), ek_brd_lib_usb_modem_cfg_unlock()};
    faults.sem_op_result = -5;
    r.insert(r.end(), {ek_brd_lib_usb_modem_cfg_lock(), ek_brd_lib_usb_modem_cfg_unlock()});
    return r;
}
// No byte but the two words changes.
Answers cpe_fields_in_segment() {
    const auto *cpe = static_cast<const uint8_t *>(ek_brd_get_cpe_shm_data());
    std::vector<uint8_t> want(cpe, cpe + EK_BRD_CPE_SHM_SIZE);
    ek_brd_set_save_report_flag(0x01020304), ek_brd_set_brd_auth(-7);
    memcpy(&want[EK_BRD_CPE_SAVE_REPORT_OFFSET], &cpe[EK_BRD_CPE_SAVE_REPORT_OFFSET], 4);
    memcpy(&want[EK_BRD_CPE_BRD_AUTH_OFFSET], &cpe[EK_BRD_CPE_BRD_AUTH_OFFSET], 4);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), cpe));
    return {ek::shm_word(g_cpe, EK_BRD_CPE_SAVE_REPORT_OFFSET),
            ek::shm_word(g_cpe, EK_BRD_CPE_BRD_AUTH_OFFSET), ek_brd_get_save_report_flag(),
            ek_brd_get_brd_auth()};
}
One switch_with(std::string message) {
    return [message] { return ek_brd_lib_usb_modem_modeswitch(0x12d1, 0x1446, message.c_str()); };
}
// Every character the shell still reads between double quotes.
Answers unsafe_modeswitches() {
    Answers r;
    for (const char *bad : {"\"", "\\", "$", "`", "\n", "\r", "\t", "\x01", "\x1f", "\x7f"})
        r.push_back(switch_with(std::string("55") + bad + "; reboot")());
    return r;
}
const ek_usb_modem_cfg_t kCfg = cfg("m7", 2, 1);
const ek_usb_modeswitch_t kMs = modeswitch_record(0x1a2b, 3, 1);
const Call store_calls = each(
    on(ek_brd_lib_usb_modem_db_store_entry, &kCfg),
    on(ek_brd_lib_usb_modem_db_delete_entry_by_modem_id, "m1"),
    on(ek_brd_lib_usb_modem_db_get_entry_by_modem_id, "m1", &g_cfg),
    ek_brd_lib_usb_modem_db_get_num, cfg_getall, [] { return by_usb_id(0x2000, 7)()[0]; },
    on(ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry, &kMs),
    on(ek_brd_lib_usb_modem_db_delete_usb_modeswitch_entry, 0x1a2b, 3), ms_getall,
    [] { return modeswitch_entry(1)()[0]; });
template <typename T>
Step set(T F::*field, std::type_identity_t<T> v = true) {
    return [=] { faults.*field = v; };
}
const Step no_wan_records = [] { fake::state().dbs[kWanDb].clear(); };
Step usbnet0(int32_t status, int32_t priority = 0) {
    return wans({Wan("usb0").name("usbnet0").status(status).prio(priority)});
}
void dcd_word(void *cfg, size_t offset, int32_t word) {
    memcpy(static_cast<uint8_t *>(cfg) + offset, &word, sizeof word);
}
// A p name asked by its kernel index 4 (word at 12), ppp and usb names by name (word at 20;
// the last word shows a short buffer under asan); eth0 (index 3) and usbnet0 are not known.
const Step dcd_by_class = [] {
    auto &s = fake::state();
    s.is_eth = [](const char *n) { return strcmp(n, "eth0") == 0 ? 1 : 0; };
    s.is_p = [](const char *n) { return strcmp(n, "p1") == 0 ? 1 : 0; };
    s.is_usbnet_ppp = [](const char *n) { return strcmp(n, "ppp3") == 0 ? 1 : 0; };
    s.is_usb = [](const char *n) { return strncmp(n, "usb", 3) == 0 ? 1 : 0; };
    s.if_nametoindex = [](const char *n) { return strcmp(n, "p1") == 0 ? 4u : 3u; };
    s.dcd_eth = [](uint32_t index, void *cfg) {
        dcd_word(cfg, 12, 40);
        return index == 4 ? 0 : -1;
    };
    s.dcd_usbnet = [](const char *name, void *cfg) {
        dcd_word(cfg, 20, 4321), dcd_word(cfg, 92, -1);
        return strcmp(name, "ppp3") == 0 || strcmp(name, "usb0") == 0 ? 0 : -2;
    };
};
// Modem m3 lists 0x3000:3 in slot 1 but counts one slot.
const Step slot_past_count = [] { fake::put(kCfgDb, "m3", cfg("m3", 3, 3, 0x3000, 3, 1)); };
Step net_dev(std::string body, std::string unaddressed = "") {
    return [body, unaddressed] {
        std::ofstream("/tmp/net_dev") << kNetDevHead << body;
        g_unaddressed = unaddressed;
    };
}
// The n-th subnet; the count of the table raised to reach it.
Step subnet_at(uint32_t n, uint32_t addr, int32_t local) {
    return [=] {
        ek::shm_word(g_cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET) = static_cast<int32_t>(n + 1);
        subnet(n, addr, kMask, local);
    };
}
Step attempts(int sems, int shms, int destroys) {
    return [=] {
        EXPECT_EQ((std::vector<int>{calls.sem_creates, calls.shm_creates, calls.sem_destroys}),
                  (std::vector<int>{sems, shms, destroys}));
    };
}
// A failed init is tried again by the next call.
Step retried(bool F::*failing, int shms) {
    return [=] {
        EXPECT_EQ(lock_state(), -1);
        faults.*failing = false;
        EXPECT_EQ(ek_brd_lib_usb_modem_init(), 0);
        attempts(2, shms, shms - 1)();
    };
}
Step files(size_t left, size_t commands) {
    return [=] {
        EXPECT_EQ(temp_files().size(), left);
        EXPECT_EQ(fake::state().commands.size(), commands);
    };
}
// The whole buffer: the text, its terminator, the filler after them.
Step msg(std::string want) {
    return [want] {
        EXPECT_EQ(std::string(g_msg, sizeof g_msg - 1),
                  want == kUntouched ? want : want + '\0' + kUntouched.substr(want.size() + 1));
    };
}
template <typename T>
Step expect(const T &got, std::type_identity_t<T> want) {
    return [&got, want] { EXPECT_EQ(got, want); };
}
// The output records still hold the filler and nothing was listed.
const Step untouched = [] {
    const auto cfg = filled<ek_usb_modem_cfg_t>(0xee);
    const auto ms = filled<ek_usb_modeswitch_t>(0xee);
    EXPECT_EQ(memcmp(&g_cfg, &cfg, sizeof cfg), 0);
    EXPECT_EQ(memcmp(&g_ms, &ms, sizeof ms), 0);
    EXPECT_TRUE(g_listed.empty());
};
Step ids(uint16_t vid, uint16_t pid) {
    return [=] { EXPECT_EQ(std::make_pair(g_vid, g_pid), std::make_pair(vid, pid)); };
}
Step ran(std::string command) {
    return [command] { EXPECT_EQ(fake::state().commands.back(), command); };
}

std::vector<Row> answer_rows() {
    const std::string root_hub = "Bus 001 Device 001: ID 1d6b:0002 root hub\n";
    const std::string hubs = "Bus 002 Device 001: ID 1d6b:0002\nBus 001 Device 002: ID 05e3:0608\n";
    const std::string k31(31, 'S'), head = "usb_modeswitch -Q -v 0x12d1 -p 0x1446 -M \"";
    const std::string harmless = "it's ;|&<>*?!~#(){}[]% \xc3\xa9", long_message(400, 'a');
    // usbnet0 is known by 7 characters.
    const Step usbnet_wans = wans({Wan("usb9").name("usbnet").prio(0), Wan("eth1").prio(9),
                                   Wan("usb0").name("usbnet01").prio(0)});
    // 16 bytes compared, null matching nothing, the first match deciding, case counting; a
    // record that is no PPPoE has no index.
    const Step odd_wans = wans({Wan("abcdefghijklmnop").wan(), Wan("ppp1").name("0").kifidx(5),
                                Wan("ppp1").name("a").pppoe(0), Wan("ppp1").name("b").pppoe(9),
                                Wan("eth9").active()});
    return {
        row(
            "exported data | the cursor as a fresh process has it", {}, [] { return db_wanif_idx; },
            {0}, kSys),
        // All but "tunnel0" and "tunnel"; the records the last load was handed, every fetch.
        row("wan count | tunnels, records past the count",
            wans({Wan("tunnel"), Wan("tunne"), Wan("Tunnel0"), Wan("ppp0tunnel")}), wan_counts,
            {5, 2}, kSys, {},
            [] {
                EXPECT_EQ((std::vector<int>{db_wanif_idx, calls.fetches}),
                          (std::vector<int>{7, 9}));
            }),
        row("wan count | kept out by a caller's lock", {},
            kept_out(&g_wanif_db_mutex, ek_brd_get_wanif_count), {-9, 2}, kSys),
        row("wan queries | names and the first match", odd_wans,
            each(wanif("abcdefghijklmnopXYZ"), wanif("abcdefghijklmno"), wanif(nullptr),
                 on(ek_brd_get_pppoe_ethnet_kifidx, "ppp1"),
                 on(ek_brd_check_intf_active_dft_wan, "eth9"), wanif("ETH0")),
            {1, 0, 0, 0, 1, 0}, kSys),
        row("usbnet status | code 4", usbnet0(4), usbnet_status, {0, 4, -1}, kErr),
        row("usbnet status | code 1", usbnet0(1), usbnet_status, {0, 1, -1}, kErr),
        // Only kind 45 asks whether usbnet0 is the primary WAN.
        row("priority | usbnet0, known by 7 characters, in primary-WAN mode", usbnet_wans,
            each(priority(46, 8), priority(45, 8)), {1, 0}, kSys, {},
            msg("Usbmode mode is primary-wan. Please change it to always-connected or on-demand "
                "first\n")),
        // 1 and 9999 are in range; usbnet0 in another mode.
        row("priority | free", usbnet0(0, 3),
            each(priority(0, 1), priority(0, 9999), priority(45, 8)), {1, 1, 1}, kSys, {},
            msg(kUntouched)),
        row("dcd priority | usb and ppp by name, p by index", dcd_by_class,
            each(dcd_priority("usb0"), dcd_priority("ppp3"), dcd_priority("p1")), {4321, 4321, 40},
            kSys),
        // Blanks before names and a line past getline's first 512 bytes.
        row("local | the first mgt0 interface in the subnet",
            net_dev("no colon mgt0 here\n" + std::string(700, ' ') +
                        "mgt01:" + std::string(900, '7') + "\n\t \tmgt0.5:  1 2 3\n  mgt0: 1 2\n",
                    "mgt01"),
            local(kMgt0 + 0x77), {1}, kErr, {}, expect(g_asked, {"mgt01", "mgt0.5"})),
        row("local | only with the interface's mask", {}, local(kMgt0, 0xffffff80), {0}, kErr, {},
            expect(g_asked, {"mgt0"})),
        row("local | no address or no mask", {},
            each(on(ek_brd_lib_is_cpe_local_subnet, nullptr, &kMask),
                 on(ek_brd_lib_is_cpe_local_subnet, &kVpn, nullptr)),
            {0, 0}, kErr),
        row(
            "local | an empty table's stale first record", subnet_at(0, kVpn, 1),
            [] {
                ek::shm_word(g_cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET) = 0;
                return local(kVpn)();
            },
            {0}, kErr),
        // Damage: a count past the records' room, the first record that does not fit.
        row("local | a count past the room is clamped", subnet_at(759, 0x0b000000, 1),
            local(0x0b000000), {0}, kErr),
        row("local | a subnet not marked local", subnet_at(2, 0x0a090000, 0), local(0x0a090000),
            {0}, kErr),
        row("local | kept out by a caller's lock", net_dev(""),
            kept_out(&internal_subnet_mutex, local(kVpn)), {-9, 1}, kErr),
        row("nat type | no such policy", {}, on(ek_brd_cpe_shm_get_nat_policy_type, "a"), {-1},
            kSys),
        row("cpe fields | at their offsets, without a lock", {}, cpe_fields_in_segment,
            {0x01020304, -7, 0x01020304, -7}, kErr, {}, expect(calls.sem_waits, 1)),
        row("usb modem | after init", {}, usb_modem_after_init, {0, 0, 1, 0, 0, -5, -5}, kErr, {},
            attempts(1, 1, 0)),
        row("nat id | the lowest of a name", {}, nat_lowest_id, {3, 5}, kSys),
        row("probe | hubs alone: attached, no ids", shell(root_hub + hubs, 0), probe, {1}, kErr, {},
            ids(0xaaaa, 0xaaaa)),
        // Lines too short, ids not split at the colon, words longer than their fields, then
        // words of full width on a long line, the first device that is no hub (though each half
        // of its id is a hub's).
        row("probe | the first usable line of a device that is no hub",
            shell(root_hub + hubs +
                      "Bus 001 Device 003: ID 12d1f:1446\n   \nBus 002 Device 003: ID 0abc:\n"
                      "Bus 002 Device 003: ID ab:cdef\n" +
                      std::string(32, 'S') +
                      " 002 Device 003: ID 0abc:0def\nBus 002000001 Dev 003: 0abc:0def ID "
                      "1111:2222\n" +
                      k31 + " 0000002 " + k31 + " 000003: " + k31 + " 05e3:0002 " +
                      std::string(2000, 'd') + "\nBus 001 Device 004: ID 19d2:0031\n",
                  0),
            probe, {1}, kErr, {}, ids(0x05e3, 0x0002)),
        row("mode switch | a harmless message unchanged", {}, switch_with(harmless), {0}, kErr, {},
            ran(head + harmless + "\"")),
        row("mode switch | the command cut to 320 characters", {}, switch_with(long_message), {0},
            kErr, {}, ran((head + long_message).substr(0, 320))),
    };
}

std::vector<Row> failure_rows() {
    return {
        row("segments | sem", set(&F::sem_create_fail), segments_twice, {0, 0, 0, 0}, kErr,
            {"ek brd create create routing sem failed!"}, attempts(2, 0, 0)),
        row("segments | shm", set(&F::shm_create_fail), segments_twice, {0, 0, 0, 0}, kErr,
            {"Init routing share memory failed."}, attempts(2, 2, 2)),
        row("nat, cpe fields | no segment", set(&F::shm_create_fail), cpe_without_segment,
            {0, 0, 0, 0, 0}, kSys, {}, attempts(1, 1, 1)),
        row("nat delete | id outside 1-128", {}, nat_out_of_range, {0, 0, 0}, kSys,
            {"WANIF: ek_brd_cpe_shm_delete_nat_policy: id 0 is out or range (1-128)",
             "WANIF: ek_brd_cpe_shm_delete_nat_policy: id -1 is out or range (1-128)",
             "WANIF: ek_brd_cpe_shm_delete_nat_policy: id 129 is out or range (1-128)",
             "WANIF: ek_brd_cpe_shm_get_nat_policy_name: id 129 exceeds the max range 128"}),
        row("local | fopen", set(&F::fopen_fail), local(kMgt0), {0}, kErr,
            {"can't open /proc/net/dev\n"}, expect(g_asked, {})),
        row("local | no segment: interfaces only", set(&F::shm_create_fail),
            each(local(kMgt0 + 0x77), local(kVpn)), {1, 0}, kErr),
        row("wan queries | open", set(&F::open_fails, {kWanDb}), five_queries, Answers(5, 0), kSys,
            Lines(5, "WANIF: " + kWanOpen)),
        row("wan queries | negative count", set(&F::count_result, -3), five_queries, Answers(5, 0),
            kSys, {}, expect(calls.fetches, 0)),
        row("wan count | fetch: the zero slot counts, the cursor moves on",
            set(&F::fetch_bykey_fail_at, {2}), ek_brd_get_wanif_count, {3}, kSys, {kPbr},
            expect(db_wanif_idx, 3)),
        row("wan \"\" and 0 | fetch: the zero slot is no WAN and owns none",
            set(&F::fetch_bykey_fail_at, {0}), unnamed_wan, {0, 0, 0, 0, 0, 0}, kSys,
            Lines(6, kPbr)),
        row("priority | outside 1-9999", set(&F::open_fails, {kWanDb}),
            each(priority(45, 0), priority(45, 10000)), {0, 0}, kSys, {},
            msg("WAN priority can only be a value within 1 - 9999\n")),
        row("priority | open", set(&F::open_fails, {kWanDb}), priority(45, 5), {0}, kSys,
            {"WANIF: " + kWanOpen}, msg(kWanOpen)),
        row("priority | no records", no_wan_records, priority(45, 5), {0}, kSys, {},
            msg("brd db is empty\n")),
        row("usbnet status | open", set(&F::open_fails, {kWanDb}), usbnet_status, {-1, 77}, kErr,
            {kWanOpen}),
        row("usbnet status | code 5", usbnet0(5), usbnet_status, {-1, 77}, kErr),
        row("usbnet status | code 0", usbnet0(0), usbnet_status, {-1, 77}, kErr),
        // A name of no class is not asked, so its failure is not logged.
        row("dcd priority | usbnet, eth, no class", dcd_by_class,
            each(dcd_priority("usbnet0"), dcd_priority("eth0"), dcd_priority("wlan0")),
            {-1, -1, -1}, kSys,
            {"WANIF: ek_dcd_get_usbnet_mode_cfg failed usbnet0",
             "WANIF: ek_dcd_get_eth_mode_cfg failed eth0"}),
        row("usb init | again", {}, each(ek_brd_lib_usb_modem_init, ek_brd_lib_usb_modem_init),
            {0, 0}, Channel::ek_log, {"USB modem cfg shared mem already initialized\n"},
            attempts(1, 1, 0)),
        row("usb init | sem", set(&F::sem_create_fail), ek_brd_lib_usb_modem_init, {-1}, kErr,
            {"Failed to create sem id for USB modem shared mem cfg\n"},
            retried(&F::sem_create_fail, 1)),
        row("usb init | shm", set(&F::shm_create_fail), ek_brd_lib_usb_modem_init, {-1}, kErr, {},
            retried(&F::shm_create_fail, 2)),
        row("probe | lsusb exits 127", shell("", 127), probe, {0}, kErr, {}, files(0, 1)),
        row("count | mkstemp", set(&F::mkstemp_fail), count, {-1}, kErr,
            {kCount +
             "Failed to create temp file [/tmp/ek_brd_lib_usb_modem_get_ttydev_count.XXXXXX]"},
            files(0, 0)),
        row("probe | system", shell(kListing, -1), probe, {0}, kErr,
            {"ek_brd_lib_usb_modem_get_attached_dev: Failed to run cmd [lsusb 2>&1 > @]"},
            files(1, 1)),
        row("count | fopen", set(&F::fopen_fail), count, {-1}, kErr,
            {kCount + "Unable to open temp file [@]"}, files(1, 1)),
        row("mode switch | no device", shell("Bus 001 Device 001: ID 1d6b:0002 hub\n", 0),
            modeswitch, {-1}, kErr, {"usb_modem: failed to switch mode, no usb device attach."},
            files(0, 1)),
        row("mode switch | status 256", shell(kListing, 0, 256), modeswitch, {-1}, kErr,
            {"usb_modem: Got error 256 running usb_modeswitch: usb_modeswitch -Q -v 0x12d1 -p "
             "0x1446 -M \"55\""}),
        row("mode switch | unsafe messages", {}, unsafe_modeswitches, Answers(10, -1), kErr,
            Lines(10, "usb_modem: refusing unsafe mode switch message"), files(0, 0)),
        row("stores | open", set(&F::open_fails, {kCfgDb, kMsDb}), store_calls, Answers(10, -1),
            kErr,
            {"usb_modem: open DB failed when store entry: /tmp/db/usb_modem_cfg\n", kCfgOpen,
             kCfgOpen, kCfgOpen, kCfgOpen, kCfgOpen, "usb_modem: failed to get config from db.",
             "usb_modem: open DB failed when store modeswitch entry: "
             "/tmp/db/usb_modem_mode_switch\n",
             kMsOpen, kMsOpen, kMsOpen, "usb_modem: failed to get modeswitch from db."},
            untouched),
        // Deletes of records that are not there.
        row("stores | store, delete", set(&F::store_fail),
            each(on(ek_brd_lib_usb_modem_db_store_entry, &kCfg),
                 on(ek_brd_lib_usb_modem_db_store_usb_modeswitch_entry, &kMs),
                 on(ek_brd_lib_usb_modem_db_delete_entry_by_modem_id, "m7"),
                 on(ek_brd_lib_usb_modem_db_delete_usb_modeswitch_entry, 0x1a2b, 3)),
            {-1, -1, -1, -1}, kErr,
            {"usb_modem: store usbmodem cfg entry [key=m7] failed!\n",
             "usb_modem: store modeswitch entry " + kMsKey,
             "usb_modem: delete usbmodem cfg entry [modem_id=m7] failed!\n",
             "usb_modem: delete modeswitch entry " + kMsKey}),
        row("cfg get | no such modem", {},
            on(ek_brd_lib_usb_modem_db_get_entry_by_modem_id, "m9", &g_cfg), {-1}, kErr, {},
            untouched),
        row("cfg number | count", set(&F::count_result, -7), ek_brd_lib_usb_modem_db_get_num, {-7},
            kErr),
        row("cfg getall | fetch", set(&F::fetch_bykey_fail_at, {1}), cfg_getall, {0}, kErr,
            {"usb_modem: get usb modem config entry failed!\n"}, expect(g_listed, {0, 2})),
        row("cfg by usb id | a slot past the count", slot_past_count, by_usb_id(0x3000, 3), {-1},
            kErr, {}, untouched),
        row("modeswitch fetch | no match", {}, modeswitch_entry(9), {-1}, kErr, {}, untouched),
    };
}
void PrintTo(const Row &row, std::ostream *os) {
    *os << row.name;
}

// One test per row, named after it: --gtest_filter='*/Rows.Run/wan_count*'.
class Rows : public ::testing::TestWithParam<Row> {};
TEST_P(Rows, Run) {
    check(GetParam());
}
std::string row_name(const ::testing::TestParamInfo<Row> &info) {
    std::string name;
    for (char c : info.param.name)
        if (isalnum(static_cast<unsigned char>(c)) || (c == ' ' && name.back() != '_'))
            name += isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}
INSTANTIATE_TEST_SUITE_P(Answer, Rows, ::testing::ValuesIn(answer_rows()), row_name);
INSTANTIATE_TEST_SUITE_P(Failure, Rows, ::testing::ValuesIn(failure_rows()), row_name);
// One run of a sweep: the answers and log lines with the run's allocation failing.
struct Outcome {
    Answers answer;
    Lines lines;
    Step verify = {};
};
template <typename Fn>
void sweep(const std::string &name, Fn f, Channel channel, const std::vector<Outcome> &runs) {
    for (size_t k = 0; k < runs.size(); k++)
        check(row(name + ", allocation " + std::to_string(k) + " failing", {}, f, runs[k].answer,
                  channel, runs[k].lines, runs[k].verify),
              static_cast<long>(k), k + 1 == runs.size());
}
// A WAN load over the three records: the array, then each record.
std::vector<Outcome> wan_load(long failed, long answer, Step array = {}, Step record = {},
                              Step done = {}) {
    std::vector<Outcome> runs = {{{failed}, {kArray}, array}};
    for (char i : {'0', '1', '2'}) runs.push_back({{failed}, {kArray + '[' + i + ']'}, record});
    runs.push_back({{answer}, {}, done});
    return runs;
}

TEST(FailureRows, AllocationSweepOfEveryExportedFunction) {
    sweep("probe", probe, kErr, {{{0}, {"malloc failed"}, files(0, 0)}, {{1}, {}}});
    sweep("count", count, kErr, {{{-1}, {"malloc failed"}, files(0, 0)}, {{2}, {}}});
    sweep("local subnet", local(kVpn), kErr,
          {{{0}, {"malloc failed"}, expect(g_asked, {})}, {{1}, {}}});
    // Each record's node failing in turn: the listing goes on without it, the lookup of
    // record 1 fails only without its own.
    sweep("cfg getall", cfg_getall, kErr,
          {{{0}, {kCfgNode}, expect(g_listed, {1, 2})},
           {{0}, {kCfgNode}, expect(g_listed, {0, 2})},
           {{0}, {kCfgNode}, expect(g_listed, {0, 1})},
           {{0}, {}, expect(g_listed, {0, 1, 2})}});
    sweep(
        "cfg by usb id", by_usb_id(0x1000, 1), kErr,
        {{{0, 1}, {kCfgNode}}, {{-1}, {kCfgNode}, untouched}, {{0, 1}, {kCfgNode}}, {{0, 1}, {}}});
    sweep("wan count", ek_brd_get_wanif_count, kSys, wan_load(0, 2));
    sweep(
        "priority", priority(45, 11), kSys,
        wan_load(1, 0, msg("brd: malloc failed for all_entry\n"), msg(kUntouched), msg(taken(11))));
}

#if defined(__mips__)
constexpr int kRounds = 30;
#else
constexpr int kRounds = 150;
#endif
constexpr int kThreads = 16;
int32_t &word(void *base, uint32_t offset) {
    return const_cast<int32_t &>(ek::shm_word(base, offset));
}
// Against a segment made here, which stays readable after each child's attach; the fake
// hands it out only for its key and size.
TEST(Segments, OnlyAFreshCpeHeaderIsInitialised) {
    fake::reset();
    void *cpe = fake::shared_segment(0x15011, 85896);
    word(cpe, 4) = 0x7f7f7f7f, word(cpe, 8) = -3;  // stray words under a zero marker: still fresh
    for (bool fresh : {true, false}) {
        fake::in_fresh_process([] { ek_brd_get_cpe_shm_data(); });
        EXPECT_EQ((std::vector<int32_t>{word(cpe, 0), word(cpe, 4), word(cpe, 8)}),
                  (std::vector<int32_t>{1, fresh ? 0 : 77, fresh ? 60 : -3}));
        word(cpe, 4) = 77, word(cpe, 8) = -3;  // an initialised header is left alone
    }
}
// One round's answers; every round of every thread must give kRound.
Answers round_of_queries(int thread) {
    char text[128];
    Answers r = five_queries();
    r.push_back(ek_brd_check_cfg_priority_valid(45, 11, text));
    r.push_back(ek_brd_check_cfg_priority_valid(0, 100 + thread, text));
    for (uint32_t addr : {kMgt0 + 0x77, kVpn, 0x0b000000u}) r.push_back(local(addr)());
    r.push_back(ek_brd_get_brd_auth());
    return r;
}
const Answers kRound = {2, 1, 1, 1, 7, 0, 1, 1, 1, 0, 0};
TEST(Hammer, SixteenThreadsFromTheFirstAttachOn) {
    fake::reset();
    seed();
    // Made before the fork, so that the child's first attach finds them.
    void *routing = fake::shared_segment(EK_BRD_ROUTING_SHM_KEY, EK_BRD_ROUTING_SHM_SIZE);
    fake::state().dcd_addr = [](const char *, uint32_t *a, uint32_t *m) {
        *a = 0x0a010203, *m = kMask;
        return 0;
    };
    fake::in_fresh_process([routing] {
        std::barrier start(kThreads);
        std::vector<std::pair<void *, void *>> got(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                // The first call of each thread is a different accessor.
                if (t % 3 == 0) ek_brd_get_brd_auth();
                if (t % 3 == 1) ek_brd_get_routing_shm_data();
                got[t] = {ek_brd_get_cpe_shm_data(), ek_brd_get_routing_shm_data()};
                for (int r = 0; r < kRounds; r++) {
                    const Answers answers = round_of_queries(t);
                    EXPECT_EQ(answers, kRound) << "thread " << t << ", round " << r;
                    if (answers != kRound) break;
                }
            });
        }
        for (auto &th : threads) th.join();
        for (const auto &segments : got) EXPECT_EQ(segments, std::make_pair(g_cpe, routing));
        // One attach per segment, whoever came first.
        EXPECT_EQ((std::vector<int>{calls.shm_creates, calls.sem_waits}), (std::vector<int>{2, 2}));
        EXPECT_EQ(fake::open_handles(), 0);
        EXPECT_TRUE(fake::state().logs.empty());
    });
}

}  // namespace
