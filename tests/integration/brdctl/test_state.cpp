// brdctl export and import against the real host platform: a round trip
// over random states, and bad documents that must change nothing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "ek_brd.h"
#include "ek_host.h"
#include "host/child.h"
#include "platform/ek_db.h"

namespace {

using hosttest::slurp;
using hosttest::TestDb;

// BRDCTL: the command that runs brdctl (with its emulator in a cross build); a hang ends as 124.
int brdctl(const std::string &args, std::string *err = nullptr, const std::string &before = "") {
    std::string cmd = before + "timeout 60 " + std::getenv("BRDCTL") + " " + args + " 2>/tmp/err";
    int rc = std::system(cmd.c_str());
    if (err != nullptr) *err = slurp("/tmp/err");
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

const char *const kDbs[] = {"/tmp/db/wanif_db", "/tmp/db/usb_modem_cfg",
                            "/tmp/db/usb_modem_mode_switch", EK_HOST_DCD_ETH_DB,
                            EK_HOST_DCD_USBNET_DB};

std::string hex(const void *p, size_t n) {
    std::string out;
    for (auto *b = static_cast<const unsigned char *>(p); n-- > 0; ++b)
        out.append({"0123456789abcdef"[*b >> 4], "0123456789abcdef"[*b & 15]});
    return out;
}

using Records = std::map<std::string, std::string>;

void collect(ek_db_handle_t db, ek_db_key_desc_t key, void *records) {
    char k[64], v[4096] = {};
    int32_t n = ek_host_db_key_bykey(db, key, k, sizeof k);
    ek_db_fetch_bykey(db, key, v);
    (*static_cast<Records *>(records))[std::string(k, n)] =
        std::string(v, ek_host_db_value_size(db, k, n));
}

// The VPN subnet table: count word, then the room for 759 records.
constexpr size_t kVpnBytes = 4 + 36 * 759;

// Everything another process can see: the CPE values, the NAT and VPN
// tables' bytes and each database's records by key.
std::string snapshot() {
    auto *cpe = static_cast<unsigned char *>(ek_brd_get_cpe_shm_data());
    std::ostringstream out;
    out << ek_brd_get_save_report_flag() << ' ' << ek_brd_get_brd_auth() << '\n'
        << hex(cpe + EK_BRD_CPE_NAT_TABLE_OFFSET,
               EK_BRD_CPE_NAT_POLICY_MAX * sizeof(ek_nat_policy_t))
        << '\n'
        << hex(cpe + EK_BRD_CPE_VPN_SUBNETS_OFFSET, kVpnBytes);
    for (const char *path : kDbs) {
        Records records;
        ek_db_foreach(TestDb(path).h, collect, &records);
        for (const auto &[k, v] : records)
            out << '\n' << path << ' ' << hex(k.data(), k.size()) << ' ' << hex(v.data(), v.size());
    }
    return out.str();
}

void wipe() {
    std::system("rm -rf /tmp/db");
    auto *cpe = static_cast<unsigned char *>(ek_brd_get_cpe_shm_data());
    std::memset(cpe + EK_BRD_CPE_NAT_TABLE_OFFSET, 0,
                EK_BRD_CPE_NAT_POLICY_MAX * sizeof(ek_nat_policy_t));
    std::memset(cpe + EK_BRD_CPE_VPN_SUBNETS_OFFSET, 0, kVpnBytes);
    ek_brd_set_save_report_flag(0), ek_brd_set_brd_auth(0);
}

// A state as other processes may leave it: any bytes in every field, mostly
// zero so that short and long fields both occur, text with bytes after its
// terminator or none at all.
void seed(std::mt19937 &rng) {
    auto fill = [&rng](void *p, size_t n) {
        for (auto *b = static_cast<unsigned char *>(p); n-- > 0; ++b) *b = rng() % 3 ? 0 : rng();
    };
    // 1-`size` bytes but NUL at the start of `field`, a terminator unless they fill it; a
    // name (printable, terminated) unless `raw`, as import refuses any other in a record.
    auto text = [&rng](char *field, size_t size, bool raw = false) {
        size_t n = 1 + rng() % (raw ? size : size - 1);
        for (size_t i = 0; i < n; ++i)
            field[i] = static_cast<char>(raw ? 1 + rng() % 255 : '!' + rng() % 94);
        if (n < size) field[n] = '\0';
        return std::string(field, n);
    };
    ek_brd_set_save_report_flag(static_cast<int>(rng()));
    ek_brd_set_brd_auth(static_cast<int>(rng()));
    auto *nat =
        static_cast<unsigned char *>(ek_brd_get_cpe_shm_data()) + EK_BRD_CPE_NAT_TABLE_OFFSET;
    for (int i = 0; i < EK_BRD_CPE_NAT_POLICY_MAX; ++i) {
        auto *slot =
            static_cast<ek_nat_policy_t *>(static_cast<void *>(nat + i * sizeof(ek_nat_policy_t)));
        if (rng() % 4 == 0) fill(slot, sizeof *slot);
        if (slot->name[0] != '\0') text(slot->name, sizeof slot->name);
    }
    // VPN subnets as their writers keep them: sorted by (address, mask) words, each pair once.
    std::map<std::pair<uint32_t, uint32_t>, std::array<unsigned char, 36>> vpn;
    for (int n = rng() % 5; n > 0; --n) {
        std::array<unsigned char, 36> rec;
        fill(rec.data(), rec.size());
        uint32_t key[2];
        memcpy(key, rec.data(), sizeof key);
        vpn[{key[0], key[1]}] = rec;
    }
    auto *table = nat - EK_BRD_CPE_NAT_TABLE_OFFSET + EK_BRD_CPE_VPN_SUBNETS_OFFSET;
    int32_t count = static_cast<int32_t>(vpn.size());
    memcpy(table, &count, sizeof count);
    table += 4;
    for (const auto &[key, rec] : vpn) table = std::copy(rec.begin(), rec.end(), table);
    // Fewer than `most` records like `rec`, each keyed by what `key` makes of it.
    auto records = [&](const char *path, int most, auto rec, auto key) {
        for (int n = rng() % most; n > 0; --n) {
            fill(&rec, sizeof rec);
            ASSERT_EQ(TestDb(path).store(key(rec), &rec, sizeof rec), 0);
        }
    };
    records(kDbs[0], 4, ek_wanif_entry_t{}, [&](auto &w) {
        text(w.ifname, sizeof w.ifname);
        return text(w.name, sizeof w.name);
    });
    uint16_t usb_vid = 0;  // no USB id listed twice, as import requires
    records(kDbs[1], 3, ek_usb_modem_cfg_t{}, [&](auto &m) {
        for (auto &u : m.usbid) u.vid = ++usb_vid;
        return text(m.modem_id, sizeof m.modem_id);
    });
    records(kDbs[2], 3, ek_usb_modeswitch_t{}, [](auto &s) {
        char key[16];
        snprintf(key, sizeof key, "%04x%04x", unsigned{s.vid}, unsigned{s.pid});
        return std::string(key);
    });
    auto ifname = [&](auto &) {
        char name[15];
        return text(name, sizeof name, true);
    };
    records(kDbs[3], 3, std::array<unsigned char, EK_HOST_DCD_ETH_CFG_SIZE>{}, ifname);
    records(kDbs[4], 3, std::array<unsigned char, EK_HOST_DCD_USBNET_CFG_SIZE>{}, ifname);
}

// import(export(s)) is s, byte for byte, and exporting it again writes the
// same document.
TEST(BrdctlState, RoundTripOverRandomStates) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 40; ++round) {
        wipe();
        seed(rng);
        std::string before = snapshot();
        std::string err;
        ASSERT_EQ(brdctl("export /tmp/a.json", &err), 0) << round << err;
        wipe();
        ASSERT_EQ(brdctl("import /tmp/a.json >/dev/null", &err), 0) << round << err;
        EXPECT_EQ(snapshot(), before) << round;
        ASSERT_EQ(brdctl("export >/tmp/b.json"), 0) << round;
        ASSERT_EQ(slurp("/tmp/a.json"), slurp("/tmp/b.json")) << round;
    }
}

// Names other programs left in the records leave brdctl escaped in text (\xNN, \\) and as
// {"hex": ...} in JSON when not UTF-8, never as a failure; the edges of well-formed UTF-8
// (UTF8_EDGES) leave as they are, the sequences just past them escaped. A row: the command, its
// status, its output (JSON on one line) and its error line.
#define UTF8_EDGES "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf"
TEST(BrdctlState, OutsideNamesLeaveEscaped) {
    wipe();
    // clang-format off
    ek_wanif_entry_t w{};
    ek_usb_modem_cfg_t m{};
    std::strcpy(w.name, "e\033]0;x\a"), std::strcpy(w.ifname, "\xff\x80"), w.ip_addr = htonl(0x0a000001);
    std::strcpy(m.modem_id, "m\\\xc2\x9b" UTF8_EDGES), m.usbid_num = 1, m.usbid[0] = {1, 2, {}}, m.usbid[1] = {3, 4, {}};
    ASSERT_EQ(TestDb(kDbs[0]).store(w.name, &w, sizeof w) | TestDb(kDbs[1]).store(m.modem_id, &m, sizeof m), 0);
    char *nat = static_cast<char *>(ek_brd_get_cpe_shm_data()) + EK_BRD_CPE_NAT_TABLE_OFFSET;
    std::strcpy(nat, "n\r\n\xc3\xa9\xed\xa0\x80\x7f\xf4\x90\x80\x80\xe0\x9f\xbf\xf0\x8f\xbf\xbf"), std::strcpy(nat + sizeof(ek_nat_policy_t), "\xf5\x80\x80\x80");
    struct { const char *args; int status; const char *out, *err; } const rows[] = {
        {"wanif list", 0, "NAME           IFNAME    PRIO  WAN  ACTIVE-DFT  IP        PPPOE-ETH  USBNET\n"
                          "e\\x1b]0;x\\x07  \\xff\\x80  0     no   no          10.0.0.1  -          -\n", ""},
        {"--json wanif list", 0, R"([{"name":"e\u001b]0;x\u0007","ifname":{"hex":"ff80"},"priority":0,"wan":false,)"
         R"("active_default":false,"ip":"10.0.0.1","pppoe":false,"pppoe_eth_index":null,"usbnet_status":null}])", ""},
        {"wanif owns-ip 10.0.0.1", 0, "10.0.0.1 belongs to WAN interface \\xff\\x80\n", ""},
        {"--json wanif owns-ip 10.0.0.1", 0, R"({"address":"10.0.0.1","wan":true,"interface":{"hex":"ff80"}})", ""},
        {"nat list", 0, "ID  NAME                                                                     TYPE  MEANING\n1   n\\x0d\\x0a\xc3\xa9\\xed\\xa0\\x80\\x7f\\xf4\\x90\\x80\\x80\\xe0\\x9f\\xbf\\xf0\\x8f\\xbf\\xbf  0     -\n"
                        "2   \\xf5\\x80\\x80\\x80                                                         0     -\n", ""},
        {"export - | jq -c '[.usb_modem_cfg[0].modem_id, .nat[1].name]'", 0, "[\"m\\\\\xc2\x9b" UTF8_EDGES "\",{\"hex\":\"f5808080\"}]\n", ""},
        {"--json nat name 1", 0, R"({"id":1,"name":{"hex":"6e0d0ac3a9eda0807ff4908080e09fbff08fbfbf"}})", ""},
        {"modem find 1:2", 0, "m\\\\xc2\\x9b" UTF8_EDGES "  0001:0002\n", ""},
        {"--json modem list", 0, R"([{"modem_id":"m\\\u009b\ud800\udc00\udbff\udfff\u07ff\u0800\ud7ff\uffff","usb_ids":["0001:0002"]}])", ""},
        {"--json modem store m2 1:2", 2, R"({"error":"modem store: USB id 0001:0002 is already listed by modem m\\\\xc2\\x9b\ud800\udc00\udbff\udfff\u07ff\u0800\ud7ff\uffff","status":2})",
         "brdctl: modem store: USB id 0001:0002 is already listed by modem m\\\\xc2\\x9b" UTF8_EDGES "\n"},
        {"--json modem store m2 3:4", 0, R"({"modem_id":"m2","usb_ids":["0003:0004"]})", ""},  // past m's count
    };
    // clang-format on
    for (const auto &row : rows) {
        std::string err;
        EXPECT_EQ(brdctl(std::string(row.args) + " >/tmp/out", &err), row.status) << row.args;
        std::string out = slurp("/tmp/out");
        for (size_t nl; row.args[0] == '-' && (nl = out.find('\n')) != std::string::npos;) {
            out.erase(nl,
                      out.find_first_not_of(' ', nl + 1) - nl);  // on one line, as jq -c prints it
        }
        for (size_t at; row.args[0] == '-' && (at = out.find("\": ")) != std::string::npos;)
            out.erase(at + 2, 1);
        EXPECT_EQ(out, row.out) << row.args;
        EXPECT_EQ(err, row.err) << row.args;
    }
}

// A bad document is refused whole, naming its first bad value, and leaves
// every table as it was, also the ones before the bad value. A case a line:
// the document ("\n" a line break, "\0" a NUL byte) => what brdctl says after "import: ".
constexpr const char *kBadDocuments = R"(
{"format_version": 1, "cpe": {"brd_auth": 9}, "nat": [{"id": 1, "name": "a"}, {"id": 2}, {"id": 3}, {"id": 4, "type": 4294967296}]} => nat[3].type: 4294967296 is not a signed 32-bit integer
{"format_version": 1, "cpe": {"brd_auth": 9}, "nat": [{"id": 1, "name": "a"}, {"id": 2}, {"id": 3}, {"id": 2}]} => nat[3].id: 2 is already the id of nat[1]
{"format_version": 1, "cpe": {"brd_auth": 9}, "nat": [{"id": 129}]} => nat[0].id: 129 is not an id of 1-128
{"format_version": 1, "cpe": {"brd_auth": 9}, "nat": [{"name": "x"}]} => nat[0].id: missing
{"format_version": 1, "cpe": {"brd_auth": 9}, "nat": [{"id": 0, "name": "x", "type": 2}]} => nat[0].id: 0 is not an id of 1-128
{"format_version": 1, "cpe": {"brd_auth": 9}, "nat": [{"id": 1, "name": "123456789012345678901234567890123"}]} => nat[0].name: "12345678901234567890123456789012..." is longer than 32 bytes
{"format_version": 1, "cpe": {"brd_auth": 9}, "usb_modem_cfg": [{"modem_id": {"hex": "6d1b006a"}}]} => usb_modem_cfg[0].modem_id: {...} has the byte 0x1b at character 2; a name is printable ASCII without blanks
{"format_version": 1, "cpe": {"brd_auth": 9}, "usb_modem_cfg": [{"modem_id": "a", "usbid_num": 1, "usbid": [{"vid": "12d1", "pid": "1"}]}, {"modem_id": "b", "usbid_num": 2, "usbid": [{}, {"vid": "12d1", "pid": "1"}]}]} => usb_modem_cfg[1].usbid[1]: 12d1:0001 is already listed by usb_modem_cfg[0]
{"format_version": 1, "cpe": {"brd_auth": 9}, "wanif": [{"name": "e", "ifname": {"hex": "6120ff"}}]} => wanif[0].ifname: {...} has a blank at character 2; a name is printable ASCII without blanks
{"format_version": 1, "cpe": {"brd_auth": 9}, "nat": [{"id": 1, "typo": 1}]} => nat[0].typo: unknown field; did you mean 'type'?
{"format_version": 1, "cpe": {"brd_auth": 9}, "wanfi": []} => wanfi: unknown table; did you mean 'wanif'?
{"format_version": 1, "cpe": {"brd_auth": 9}, "wanif": {}} => wanif: {} is not an array
{"format_version": 1, "cpe": {"brd_auth": 9}, "wanif": [{"name": "a", "name": "b"}]} => wanif[0].name: appears twice in one object
{"format_version": 1, "cpe": {"brd_auth": 9}, "wanif": [{"name": "e"}, {"ifname": "e"}]} => wanif[1].name: is empty, and it is the record's key
{"format_version": 1, "cpe": {"brd_auth": 9}, "wanif": [{"name": "\u0085\u00e9\"\\"}, {"name": "\u0085\u00e9\"\\"}]} => wanif[0].name: "\xc2\x85é\"\\" has the byte 0xc2 at character 1; a name is printable ASCII without blanks
{"format_version": 1, "cpe": {"brd_auth": 9}, "wanif": [{"name": "e", "x\u001b[2J\r\u000a": 1}]} => wanif[0].x\x1b[2J\x0d\x0a: unknown field
{"format_version": 1, "cpe": {"brd_auth": 9}, "vpn_subnets": [{"address": "10.8.0.0"}]} => vpn_subnets[0].mask: missing
{"format_version": 1, "cpe": {"brd_auth": 9}, "vpn_subnets": [{"address": "10.8.0.0", "mask": "255.255.0.0"}, {"address": "9.0.0.0", "mask": "255.0.0.0"}, {"address": "10.8.0.0", "mask": "255.255.0.0", "local": 1}]} => vpn_subnets[2]: 10.8.0.0/255.255.0.0 is already the subnet of vpn_subnets[0]
{"format_version": 1, "cpe": {"brd_auth": 9}, "wanif": [{"name": "e", "ip_addr": "10.1.2"}]} => wanif[0].ip_addr: "10.1.2" is not a dotted-quad IPv4 address
{"format_version": 1, "cpe": {"brd_auth": 9}, "wanif": [{"name": "e", "rsv_49": "0g"}]} => wanif[0].rsv_49: "0g" is not bytes in hexadecimal
{"format_version": 1, "cpe": {"brd_auth": 9}, "wanif": [{"name": "e", "priority": 1.5}]} => wanif[0].priority: 1.5 is not a signed 32-bit integer
{"format_version": 1, "cpe": {"brd_auth": 9}, "usb_modem_cfg": [{"modem_id": "m", "usbid_num": -1}]} => usb_modem_cfg[0].usbid_num: -1 is not an unsigned 32-bit integer
{"format_version": 1, "cpe": {"brd_auth": 9}, "usb_modem_cfg": [{"modem_id": "m", "usbid": [{"vid": "12345"}]}]} => usb_modem_cfg[0].usbid[0].vid: "12345" is not a 16-bit id of 1-4 hexadecimal digits
{"format_version": 1, "cpe": {"brd_auth": 9}, "usb_modem_cfg": [{"modem_id": "m", "usbid": [{},{},{},{},{},{},{},{},{}]}]} => usb_modem_cfg[0].usbid: 9 slots, at most 8
{"format_version": 1, "cpe": {"brd_auth": 9}, "usb_modem_cfg": [{"modem_id": "m", "usbid": ["\u007f\u009b"]}]} => usb_modem_cfg[0].usbid[0]: "\x7f\xc2\x9b" is not an object
{"format_version": 1, "cpe": {"brd_auth": 9}, "usb_modem_mode_switch": [{"vid": "1", "pid": "2"}, {"vid": "0001", "pid": "2"}]} => usb_modem_mode_switch[1].vid: '00010002' is already the key of usb_modem_mode_switch[0]
{"format_version": 1, "cpe": {"brd_auth": 9}, "dcd_eth_mode_cfg": [{"priority": 3}]} => dcd_eth_mode_cfg[0].ifname: missing
{"format_version": 2} => format_version: 2 is not 1, the only version this brdctl reads
{"nat": []} => format_version: missing
[1] => the document is not a JSON object
{\n  "format_version": 1,\n  "nat": [\n => standard input is not a JSON document: it breaks off at line 4, column 1
{"format_version": 1, "cpe": {"brd_auth": 1e400}} => standard input is not a JSON document: the number at line 1, column 43 is out of range (1e400)
{"format_version": 1, "cpe": {"brd_auth": 9}}\0{"nat": []} => standard input is not a JSON document: a NUL byte at line 1, column 46
{"format_version": 1, "wanif": [[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]} => wanif[0][0][0][0][0][0][0][0][0][0][0][0][0][0][0]: arrays and objects nested deeper than 16 levels
)";

TEST(BrdctlState, BadDocumentsChangeNothing) {
    wipe();
    std::mt19937 rng(7);
    seed(rng);
    std::string before = snapshot();
    std::istringstream cases(kBadDocuments);
    for (std::string doc; std::getline(cases, doc);) {
        if (doc.empty()) continue;
        size_t at = doc.find(" => ");
        ASSERT_NE(at, std::string::npos) << doc;
        std::string want = "brdctl: import: " + doc.substr(at + 4) + "\n";
        doc.resize(at);
        for (size_t i = 0; (i = doc.find('\\', i)) != std::string::npos; ++i) {
            if (doc[i + 1] == 'n' || doc[i + 1] == '0')
                doc.replace(i, 2, 1, "\n\0"[doc[i + 1] == '0']);
            else
                ++i;  // a JSON escape stays
        }
        std::ofstream("/tmp/bad.json") << doc;
        std::string err;
        EXPECT_EQ(brdctl("import - </tmp/bad.json", &err), 2) << doc;
        EXPECT_EQ(err, want) << doc;
        EXPECT_EQ(snapshot(), before) << doc;
    }
}

// What uid 65534 (or root, for a mode) plants where root's brdctl reads or writes a document: a
// line says what was refused and why, nothing is followed or waited for, no table changes, and the
// planted entry and root's files stay as they were. A case a line: the planter's uid, what it runs
// in /tmp ($DOC: a good document) | brdctl's arguments => the status and what brdctl says.
constexpr const char *kPlanted = R"(
65534 echo "$DOC" >x | import /tmp/x => 3 import: refusing /tmp/x (owner uid 65534, mode 0644): owned by another user; remove it, do not chown it
65534 ln -s /tmp/root_only/doc x | import /tmp/x => 3 import: refusing /tmp/x (symbolic link, owner uid 65534): links are never followed; name the file it points to
65534 mkfifo -m 0666 x | import /tmp/x => 3 import: refusing /tmp/x (owner uid 65534, mode 0666): not a regular file; import reads a regular file, or standard input for -
65534 ln -s /dev/zero x | import /tmp/x => 3 import: refusing /tmp/x (symbolic link, owner uid 65534): links are never followed; name the file it points to
65534 mkdir d && echo "$DOC" >d/x | import /tmp/d/x => 3 import: refusing directory /tmp/d (owner uid 65534, mode 0755): owned by another user; use a directory of your own
65534 ln -s /tmp/root_only/victim x | export /tmp/x => 3 export: refusing /tmp/x (symbolic link, owner uid 65534): links are never followed; name the file it points to
65534 mkfifo -m 0666 x | export /tmp/x => 3 export: refusing /tmp/x (owner uid 65534, mode 0666): not a regular file; export writes a regular file, or standard output for -
65534 echo theirs >x | export /tmp/x => 3 export: refusing /tmp/x (owner uid 65534, mode 0644): owned by another user; remove it, do not chown it
65534 ln -s /tmp/root_only d | export /tmp/d/victim => 3 export: refusing directory /tmp/d (symbolic link, owner uid 65534): links are never followed; name the directory it points to
0 mkdir -m 0777 d && cp root_only/doc d/x | import /tmp/d/x => 3 import: refusing directory /tmp/d (owner uid 0, mode 0777): writable by group or others; use a directory only you can write
0 cp root_only/doc x && chmod 0664 x | import /tmp/x => 3 import: refusing /tmp/x (owner uid 0, mode 0664): writable by group or others; check what it holds, then chmod go-w it
0 mkdir -m 0755 d | import /tmp/d => 3 import: refusing /tmp/d (owner uid 0, mode 0755): not a regular file; import reads a regular file, or standard input for -
0 head -c 33554433 /dev/zero >x | import /tmp/x => 2 import: /tmp/x is larger than 32 MiB, the most import reads
0 head -c 33554433 /dev/zero >x | import - </tmp/x => 2 import: standard input is larger than 32 MiB, the most import reads
0 true | import '' => 2 import: FILE is empty; name a file, or - for standard input
0 true | export '' => 2 export: FILE is empty; name a file, or - for standard output
)";

TEST(BrdctlState, WhatAnotherUserPlantsIsRefused) {
    if (geteuid() != 0 || std::system("setpriv --reuid 65534 --regid 65534 --clear-groups true"))
        GTEST_SKIP() << "needs root and a uid 65534 to switch to";
    wipe();
    std::mt19937 rng(11);
    seed(rng);
    const std::string before = snapshot();
    setenv("DOC", R"({"format_version": 1, "cpe": {"brd_auth": 66}})", 1);
    ASSERT_EQ(std::system("mkdir -m 0700 /tmp/root_only && echo precious >/tmp/root_only/victim &&"
                          " echo \"$DOC\" >/tmp/root_only/doc"),
              0);
    std::istringstream cases(kPlanted);
    for (std::string c; std::getline(cases, c);) {
        if (c.empty()) continue;
        SCOPED_TRACE(c.substr(0, c.find(" => ")));
        size_t uid_end = c.find(' '), bar = c.find(" | "), arrow = c.find(" => ");
        bool by_nobody = c[0] != '0';
        std::string plant =
            "sh -c 'cd /tmp && umask 022 && " + c.substr(uid_end + 1, bar - uid_end - 1) + "'";
        if (by_nobody) plant = "setpriv --reuid 65534 --regid 65534 --clear-groups " + plant;
        ASSERT_EQ(std::system(("rm -rf /tmp/x /tmp/d && " + plant).c_str()), 0);
        std::string err;
        EXPECT_EQ(brdctl(c.substr(bar + 3, arrow - bar - 3), &err), c[arrow + 4] - '0');
        EXPECT_EQ(err, "brdctl: " + c.substr(arrow + 6) + "\n");
        EXPECT_EQ(snapshot(), before);
        EXPECT_EQ(slurp("/tmp/root_only/victim"), "precious\n");
        struct stat st;
        EXPECT_TRUE(!by_nobody || (lstat("/tmp/x", &st) != 0 && lstat("/tmp/d", &st) != 0) ||
                    st.st_uid == 65534)
            << "the planted entry was replaced";
    }
    EXPECT_EQ(std::system("ls -A /tmp | grep -q '^\\.'"), 256) << "a temporary file was left";
    ek_wanif_entry_t wan{};
    ASSERT_EQ(TestDb(kDbs[0]).store("eth9", &wan, sizeof wan), 0);
    std::string err;
    EXPECT_EQ(brdctl("wanif count", &err, "setpriv --reuid 65534 --regid 65534 --clear-groups "),
              3);
    EXPECT_EQ(err,
              "brdctl: wanif count: cannot open /tmp/db/wanif_db: permission denied to uid 65534 "
              "(the databases are root's, mode 0600): run brdctl as root\n");
}

// A failed export leaves the old file byte for byte and nothing beside it; a good one replaces it
// with a file of mode 0600, whatever the umask and the old file's mode.
TEST(BrdctlState, ExportReplacesTheFileWholeOrNotAtAll) {
    wipe();
    std::mt19937 rng(3);
    seed(rng);
    ASSERT_EQ(brdctl("export >/tmp/doc.json"), 0);
    ASSERT_GT(slurp("/tmp/doc.json").size(), 4096u);
    const struct {
        const char *dir, *before;  // how /tmp/e is made, what runs brdctl
        int status;
        const char *line;
    } rows[] = {
        {"mkdir /tmp/e", "ulimit -f 1; ", 3,
         "brdctl: export: cannot write /tmp/e/s.json: File too large; /tmp/e/s.json is "
         "unchanged\n"},
        {"mkdir /tmp/e && mount -t tmpfs -o size=4k t /tmp/e", "", 3,
         "brdctl: export: cannot write /tmp/e/s.json: No space left on device; /tmp/e/s.json is "
         "unchanged\n"},
        {"mkdir /tmp/e", "umask 0277; ", 0, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.dir + std::string(" / ") + row.before);
        ASSERT_EQ(std::system((std::string("umount /tmp/e 2>/dev/null; rm -rf /tmp/e; ") + row.dir +
                               " && echo old >/tmp/e/s.json && chmod 0644 /tmp/e/s.json")
                                  .c_str()),
                  0);
        std::string err;
        EXPECT_EQ(brdctl("export /tmp/e/s.json >/dev/null", &err, row.before), row.status);
        EXPECT_EQ(err, row.line);
        struct stat st;
        ASSERT_EQ(stat("/tmp/e/s.json", &st), 0);
        EXPECT_EQ(st.st_mode & 07777, row.status == 0 ? 0600u : 0644u);
        EXPECT_EQ(slurp("/tmp/e/s.json"), row.status == 0 ? slurp("/tmp/doc.json") : "old\n");
        EXPECT_EQ(std::system("test \"$(ls -A /tmp/e)\" = s.json"), 0)
            << "a temporary file was left";
    }
    std::system("umount /tmp/e 2>/dev/null");
}

// Documents made to exhaust memory, stack or time: each answered within a
// deadline (which a check of every key against every other misses at
// 100,000 records), the hostile ones refused before their values are built.
TEST(BrdctlState, HostileDocumentsAreAnsweredQuickly) {
    wipe();
    std::string records, nested;
    for (int i = 0; i < 100000; ++i) records += ",{\"name\":\"w" + std::to_string(i) + "\"}";
    for (int i = 0; i < 100000; ++i) nested += "{\"a\":";
    std::string ones, wide;
    for (int i = 0; i < 128; ++i) ones += ",1";
    for (int i = 0; i < 33; ++i) wide += ",\"k" + std::to_string(i) + "\":0";
    const std::pair<std::string, std::string> cases[] = {
        {std::string(10 << 20, '['),
         "[0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0]: arrays and objects nested deeper than "
         "16 levels"},
        {nested,
         "a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a: arrays and objects nested deeper than 16 levels"},
        {std::string((32 << 20) + 1, ' '),
         "standard input is larger than 32 MiB, the most import reads"},
        {"{\"format_version\":1,\"wanif\":[" + records.substr(1) + "]}", ""},
        // Records short in the document and large in memory, a table too long, a record too wide.
        {"{\"wanif\":[" + records.substr(1) + records + records + "]}",
         "wanif[296941]: beyond the 256 MiB of records one import writes"},
        {"{\"nat\":[1" + ones + "]}", "nat[128]: beyond the 128 elements this array may have"},
        {"{\"wanif\":[{" + wide.substr(1) + "}]}",
         "wanif[0].k32: beyond the 32 fields an object may have"},
    };
    // An emulator runs brdctl tens of times slower.
    auto deadline = std::chrono::seconds(std::strchr(std::getenv("BRDCTL"), ' ') ? 300 : 20);
    for (const auto &[doc, want] : cases) {
        std::ofstream("/tmp/big.json") << doc;
        auto start = std::chrono::steady_clock::now();
        std::string err;
        EXPECT_EQ(brdctl("import - </tmp/big.json >/dev/null", &err), want.empty() ? 0 : 2) << want;
        EXPECT_EQ(err, want.empty() ? "" : "brdctl: import: " + want + "\n");
        EXPECT_LT(std::chrono::steady_clock::now() - start, deadline) << want;
    }
    EXPECT_EQ(brdctl("wanif count"), 0);
}

// A record of another size than the database's: every reader refuses it alike.
TEST(BrdctlState, ReadersAgreeOnARecordOfAnotherSize) {
    wipe();
    ASSERT_EQ(TestDb("/tmp/db/odd").store("e", "short"), 0);
    ASSERT_EQ(std::rename("/tmp/db/odd", "/tmp/db/wanif_db"), 0);
    std::string err;
    for (std::string cmd : {"wanif list", "wanif count", "status", "export"})
        EXPECT_EQ(brdctl(cmd + " >/dev/null", &err), 3) << cmd;
    EXPECT_EQ(err, "brdctl: export: record 'e' of /tmp/db/wanif_db is 5 bytes, not 904\n");
}

}  // namespace
