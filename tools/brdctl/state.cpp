// export and import: every table of the brd state as one JSON document.
//
// Each record is described once, field by field, straight from the header's
// layouts; the same description writes a record as JSON and reads it back,
// so every byte another process can see makes the round trip, reserved
// bytes included. A document is checked whole before anything is touched;
// then each table is replaced in one step.
#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "brdctl.h"
#include "ek_host.h"
#include "platform/ek_db.h"

namespace brdctl {

namespace {

constexpr int kFormatVersion = 1;

using Bytes = std::vector<unsigned char>;

enum class Kind {
    text,   // characters up to the last non-NUL byte
    i32,    // signed 32-bit integer
    u32,    // unsigned 32-bit integer
    ipv4,   // 32-bit word as stored, written as a dotted quad
    hex16,  // 16-bit id as four hexadecimal digits
    bytes,  // hexadecimal, trailing zero bytes left out
    slots,  // the USB id slots of a modem configuration
};

struct Field {
    const char *name;
    Kind kind;
    std::size_t offset, size;
};

#define EK_FIELD(type, member, kind)                                      \
    Field {                                                               \
#member, Kind::kind, offsetof(type, member), sizeof(type::member) \
    }

const std::vector<Field> kWanifFields = {
    EK_FIELD(ek_wanif_entry_t, name, text),
    EK_FIELD(ek_wanif_entry_t, ifname, text),
    EK_FIELD(ek_wanif_entry_t, rsv_49, bytes),
    EK_FIELD(ek_wanif_entry_t, priority, i32),
    EK_FIELD(ek_wanif_entry_t, is_wanif, i32),
    EK_FIELD(ek_wanif_entry_t, is_active_dft_wan, i32),
    EK_FIELD(ek_wanif_entry_t, ip_addr, ipv4),
    EK_FIELD(ek_wanif_entry_t, rsv_80, bytes),
    EK_FIELD(ek_wanif_entry_t, usbnet_status, i32),
    EK_FIELD(ek_wanif_entry_t, rsv_276, bytes),
    EK_FIELD(ek_wanif_entry_t, is_pppoe, i32),
    EK_FIELD(ek_wanif_entry_t, pppoe_ethnet_kifidx, i32),
    EK_FIELD(ek_wanif_entry_t, rsv_304, bytes),
};
const std::vector<Field> kNatFields = {
    EK_FIELD(ek_nat_policy_t, name, text),
    EK_FIELD(ek_nat_policy_t, rsv_33, bytes),
    EK_FIELD(ek_nat_policy_t, type, i32),
};
const std::vector<Field> kUsbIdFields = {
    EK_FIELD(ek_usb_modem_usbid_t, vid, hex16),
    EK_FIELD(ek_usb_modem_usbid_t, pid, hex16),
    EK_FIELD(ek_usb_modem_usbid_t, rest, bytes),
};
const std::vector<Field> kModemFields = {
    EK_FIELD(ek_usb_modem_cfg_t, modem_id, text),
    EK_FIELD(ek_usb_modem_cfg_t, usbid_num, u32),
    EK_FIELD(ek_usb_modem_cfg_t, usbid, slots),
    EK_FIELD(ek_usb_modem_cfg_t, rest, bytes),
};
const std::vector<Field> kModeSwitchFields = {
    EK_FIELD(ek_usb_modeswitch_t, vid, hex16),
    EK_FIELD(ek_usb_modeswitch_t, pid, hex16),
    EK_FIELD(ek_usb_modeswitch_t, rest, bytes),
};
// The configuration service's records have no header layout: the priority
// and the bytes around it.
const std::vector<Field> kDcdEthFields = {
    {"rsv_0", Kind::bytes, 0, EK_HOST_DCD_ETH_PRIORITY_OFFSET},
    {"priority", Kind::i32, EK_HOST_DCD_ETH_PRIORITY_OFFSET, 4},
    {"rsv_16", Kind::bytes, EK_HOST_DCD_ETH_PRIORITY_OFFSET + 4,
     EK_HOST_DCD_ETH_CFG_SIZE - EK_HOST_DCD_ETH_PRIORITY_OFFSET - 4},
};
const std::vector<Field> kDcdUsbnetFields = {
    {"rsv_0", Kind::bytes, 0, EK_HOST_DCD_USBNET_PRIORITY_OFFSET},
    {"priority", Kind::i32, EK_HOST_DCD_USBNET_PRIORITY_OFFSET, 4},
    {"rsv_24", Kind::bytes, EK_HOST_DCD_USBNET_PRIORITY_OFFSET + 4,
     EK_HOST_DCD_USBNET_CFG_SIZE - EK_HOST_DCD_USBNET_PRIORITY_OFFSET - 4},
};

// A database table: where it lives, its record, and how a record's key is
// formed. A key field named in `key_field` is not part of the record.
struct DbTable {
    const char *name;
    const char *path;
    std::size_t size;
    const std::vector<Field> *fields;
    const char *key_field;  // a JSON field holding the key, or null
    const char *key_from;   // else the field whose text is the key
    bool modem_lock;        // replaced under the USB modem lock
};

const DbTable kDbTables[] = {
    {"wanif", kWanifDb, sizeof(ek_wanif_entry_t), &kWanifFields, nullptr, "name", false},
    {"usb_modem_cfg", kModemDb, sizeof(ek_usb_modem_cfg_t), &kModemFields, nullptr, "modem_id",
     true},
    {"usb_modem_mode_switch", kModeSwitchDb, sizeof(ek_usb_modeswitch_t), &kModeSwitchFields,
     nullptr, nullptr, true},
    {"dcd_eth_mode_cfg", EK_HOST_DCD_ETH_DB, EK_HOST_DCD_ETH_CFG_SIZE, &kDcdEthFields, "ifname",
     nullptr, false},
    {"dcd_usbnet_mode_cfg", EK_HOST_DCD_USBNET_DB, EK_HOST_DCD_USBNET_CFG_SIZE, &kDcdUsbnetFields,
     "ifname", nullptr, false},
};

// The longest key libek_db stores.
constexpr std::size_t kMaxKey = 4096;

std::string hex_of(const unsigned char *p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::size_t trimmed(const unsigned char *p, std::size_t n) {
    while (n > 0 && p[n - 1] == 0) --n;
    return n;
}

template <typename T>
T load(const unsigned char *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// A string, or {"hex": ...} for bytes that are not UTF-8.
Json text_json(const std::string &text) {
    try {
        (void)Json(text).dump();  // throws for bytes that are not UTF-8
        return text;
    } catch (const Json::type_error &) {
        return Json{
            {"hex", hex_of(reinterpret_cast<const unsigned char *>(text.data()), text.size())}};
    }
}

Json field_json(const Field &f, const unsigned char *rec) {
    const unsigned char *p = rec + f.offset;
    switch (f.kind) {
        case Kind::text:
            return text_json(std::string(reinterpret_cast<const char *>(p), trimmed(p, f.size)));
        case Kind::i32:
            return load<std::int32_t>(p);
        case Kind::u32:
            return load<std::uint32_t>(p);
        case Kind::ipv4:
            return format_ipv4(load<std::uint32_t>(p));
        case Kind::hex16: {
            char text[8];
            std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(load<std::uint16_t>(p)));
            return text;
        }
        case Kind::bytes:
            return hex_of(p, trimmed(p, f.size));
        case Kind::slots: {
            constexpr std::size_t slot = sizeof(ek_usb_modem_usbid_t);
            Json out = Json::array();
            // Slots after the last one with a non-zero byte are left out.
            std::size_t used = trimmed(p, f.size);
            for (std::size_t at = 0; at < used; at += slot) {
                Json one = Json::object();
                for (const Field &sf : kUsbIdFields) one[sf.name] = field_json(sf, p + at);
                out.push_back(one);
            }
            return out;
        }
    }
    return nullptr;
}

Json record_json(const std::vector<Field> &fields, const unsigned char *rec) {
    Json out = Json::object();
    for (const Field &f : fields) out[f.name] = field_json(f, rec);
    return out;
}

// --- reading a document ---------------------------------------------------

[[noreturn]] void bad(const std::string &path, const std::string &what) {
    usage_error(path + ": " + what);
}

std::string shown(const Json &v) {
    std::string text = v.dump();
    return text.size() > 60 ? text.substr(0, 57) + "..." : text;
}

bool parse_hex(const std::string &text, Bytes &out) {
    if (text.size() % 2 != 0) return false;
    out.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        if (std::sscanf(text.c_str() + i, "%2x", &value) != 1 ||
            !std::isxdigit(static_cast<unsigned char>(text[i])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
            return false;
        }
        out.push_back(static_cast<unsigned char>(value));
    }
    return true;
}

std::int64_t integer(const Json &v, const std::string &path, std::int64_t lo, std::int64_t hi,
                     const char *what) {
    bool fits =
        (v.is_number_integer() && !v.is_number_unsigned() && v.get<std::int64_t>() >= lo &&
         v.get<std::int64_t>() <= hi) ||
        (v.is_number_unsigned() && v.get<std::uint64_t>() <= static_cast<std::uint64_t>(hi));
    if (!fits) bad(path, shown(v) + " is not " + what);
    return v.is_number_unsigned() ? static_cast<std::int64_t>(v.get<std::uint64_t>())
                                  : v.get<std::int64_t>();
}

void check_keys(const Json &obj, const std::string &path, const std::vector<Field> &fields,
                const std::vector<std::string> &extra) {
    for (const auto &[key, value] : obj.items()) {
        bool known = std::find(extra.begin(), extra.end(), key) != extra.end() ||
                     std::any_of(fields.begin(), fields.end(),
                                 [&key](const Field &f) { return key == f.name; });
        if (!known) {
            std::vector<std::string> names(extra);
            for (const Field &f : fields) names.push_back(f.name);
            std::string best = nearest(key, names);
            bad(path + "." + key,
                "unknown field" + (best.empty() ? "" : "; did you mean '" + best + "'?"));
        }
    }
}

std::string read_text(const Json &v, const std::string &path, std::size_t max) {
    std::string text;
    Bytes raw;
    if (v.is_string()) {
        text = v.get<std::string>();
    } else if (v.is_object() && v.size() == 1 && v.contains("hex") && v["hex"].is_string() &&
               parse_hex(v["hex"].get<std::string>(), raw)) {
        text.assign(raw.begin(), raw.end());
    } else {
        bad(path, shown(v) + " is not a string");
    }
    if (text.size() > max) {
        bad(path, shown(v) + " is longer than " + std::to_string(max) + " bytes");
    }
    return text;
}

void read_field(const Field &f, const Json &v, const std::string &path, unsigned char *rec) {
    unsigned char *p = rec + f.offset;
    switch (f.kind) {
        case Kind::text: {
            std::string text = read_text(v, path, f.size);
            // The name, up to its terminator, follows the commands' rule (an
            // interface name may fill its 16 bytes; the others keep a NUL).
            std::string_view name(text.data(), strnlen(text.data(), text.size()));
            if (std::string why = name_fault(name, f.size - (f.size == kIfNameMax ? 0 : 1));
                !name.empty() && !why.empty()) {
                bad(path, shown(v) + " " + why);
            }
            std::memcpy(p, text.data(), text.size());
            return;
        }
        case Kind::i32: {
            auto n = static_cast<std::int32_t>(
                integer(v, path, INT32_MIN, INT32_MAX, "a signed 32-bit integer"));
            std::memcpy(p, &n, sizeof n);
            return;
        }
        case Kind::u32: {
            auto n = static_cast<std::uint32_t>(
                integer(v, path, 0, UINT32_MAX, "an unsigned 32-bit integer"));
            std::memcpy(p, &n, sizeof n);
            return;
        }
        case Kind::ipv4: {
            in_addr addr{};
            if (!v.is_string() || inet_pton(AF_INET, v.get<std::string>().c_str(), &addr) != 1) {
                bad(path, shown(v) + " is not a dotted-quad IPv4 address");
            }
            std::memcpy(p, &addr.s_addr, sizeof addr.s_addr);
            return;
        }
        case Kind::hex16: {
            std::string text = v.is_string() ? v.get<std::string>() : "";
            unsigned value = 0;
            std::size_t used = 0;
            if (text.empty() || text.size() > 4 ||
                !std::all_of(text.begin(), text.end(),
                             [](unsigned char c) { return std::isxdigit(c) != 0; }) ||
                std::sscanf(text.c_str(), "%4x%zn", &value, &used) != 1 || used != text.size()) {
                bad(path, shown(v) + " is not a 16-bit id of 1-4 hexadecimal digits");
            }
            auto id = static_cast<std::uint16_t>(value);
            std::memcpy(p, &id, sizeof id);
            return;
        }
        case Kind::bytes: {
            Bytes raw;
            if (!v.is_string() || !parse_hex(v.get<std::string>(), raw)) {
                bad(path, shown(v) + " is not bytes in hexadecimal");
            }
            if (raw.size() > f.size) {
                bad(path, shown(v) + " is longer than " + std::to_string(f.size) + " bytes");
            }
            std::copy(raw.begin(), raw.end(), p);
            return;
        }
        case Kind::slots: {
            constexpr std::size_t slot = sizeof(ek_usb_modem_usbid_t);
            if (!v.is_array()) bad(path, shown(v) + " is not an array");
            if (v.size() * slot > f.size) {
                bad(path,
                    std::to_string(v.size()) + " slots, at most " + std::to_string(f.size / slot));
            }
            for (std::size_t i = 0; i < v.size(); ++i) {
                std::string at = path + "[" + std::to_string(i) + "]";
                if (!v[i].is_object()) bad(at, shown(v[i]) + " is not an object");
                check_keys(v[i], at, kUsbIdFields, {});
                for (const Field &sf : kUsbIdFields) {
                    if (v[i].contains(sf.name)) {
                        read_field(sf, v[i][sf.name], at + "." + sf.name, p + i * slot);
                    }
                }
            }
            return;
        }
    }
}

// A record from its object; absent fields are zero.
Bytes read_record(const Json &obj, const std::string &path, const std::vector<Field> &fields,
                  std::size_t size, const std::vector<std::string> &extra) {
    if (!obj.is_object()) bad(path, shown(obj) + " is not an object");
    check_keys(obj, path, fields, extra);
    Bytes rec(size);
    for (const Field &f : fields) {
        if (obj.contains(f.name)) read_field(f, obj[f.name], path + "." + f.name, rec.data());
    }
    return rec;
}

const Json &table_array(const Json &doc, const char *name) {
    const Json &t = doc[name];
    if (!t.is_array()) bad(name, shown(t) + " is not an array");
    return t;
}

// Parses text, naming a repeated object key by its path: the parser itself
// would keep the last one silently.
Json parse_document(const std::string &text, const std::string &source) {
    struct Frame {
        bool array;
        std::size_t index = 0;
        std::string key;
        std::set<std::string> keys;
    };
    std::vector<Frame> stack;
    std::string duplicate;
    auto path_of = [&stack] {
        std::string path;
        for (const Frame &f : stack) {
            path +=
                f.array ? "[" + std::to_string(f.index) + "]" : (path.empty() ? "" : ".") + f.key;
        }
        return path;
    };
    auto done_value = [&stack] {
        if (!stack.empty() && stack.back().array) ++stack.back().index;
    };
    Json::parser_callback_t cb = [&](int, Json::parse_event_t event, Json &parsed) {
        switch (event) {
            case Json::parse_event_t::object_start:
            case Json::parse_event_t::array_start:
                stack.push_back(Frame{event == Json::parse_event_t::array_start, 0, {}, {}});
                break;
            case Json::parse_event_t::object_end:
            case Json::parse_event_t::array_end:
                stack.pop_back();
                done_value();
                break;
            case Json::parse_event_t::key:
                stack.back().key = parsed.get<std::string>();
                if (!stack.back().keys.insert(stack.back().key).second && duplicate.empty()) {
                    duplicate = path_of();
                }
                break;
            case Json::parse_event_t::value:
                done_value();
                break;
        }
        return true;
    };
    Json doc;
    try {
        doc = Json::parse(text, cb);
    } catch (const Json::parse_error &e) {
        std::size_t at = std::min<std::size_t>(e.byte > 0 ? e.byte - 1 : 0, text.size());
        auto line =
            1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n');
        auto nl = text.rfind('\n', at == 0 ? 0 : at - 1);
        std::size_t column = at - (nl == std::string::npos || at == 0 ? 0 : nl + 1) + 1;
        usage_error(source + " is not a JSON document: it breaks off at line " +
                    std::to_string(line) + ", column " + std::to_string(column));
    }
    if (!duplicate.empty()) bad(duplicate, "appears twice in one object");
    return doc;
}

// --- the state itself -----------------------------------------------------

struct DbRecord {
    std::string key;
    Bytes value;
};

std::vector<DbRecord> read_db(const DbTable &t) {
    Db db(t.path);
    struct Walk {
        const DbTable *table;
        std::vector<DbRecord> records;
        std::string failure;
    } walk{&t, {}, {}};
    ek_db_foreach(
        db.get(),
        [](ek_db_handle_t h, ek_db_key_desc_t desc, void *arg) {
            auto *w = static_cast<Walk *>(arg);
            if (!w->failure.empty()) return;
            DbRecord r;
            std::int32_t key_len = ek_host_db_key_bykey(h, desc, nullptr, 0);
            if (key_len > 0) {
                r.key.resize(static_cast<std::size_t>(key_len));
                ek_host_db_key_bykey(h, desc, r.key.data(), key_len);
            }
            std::int32_t size = key_len > 0 ? ek_host_db_value_size(h, r.key.data(), key_len) : -1;
            if (size != static_cast<std::int32_t>(w->table->size)) {
                w->failure = "record '" + r.key + "' of " + w->table->path + " is " +
                             std::to_string(size) + " bytes, not " + std::to_string(w->table->size);
                return;
            }
            r.value.resize(w->table->size);
            if (ek_db_fetch_bykey(h, desc, r.value.data()) < 0) {
                w->failure = std::string("cannot read record '") + r.key + "' of " + w->table->path;
                return;
            }
            w->records.push_back(std::move(r));
        },
        &walk);
    if (!walk.failure.empty()) op_failed(walk.failure);
    std::sort(walk.records.begin(), walk.records.end(),
              [](const DbRecord &a, const DbRecord &b) { return a.key < b.key; });
    return std::move(walk.records);
}

std::string key_of(const DbTable &t, const Bytes &rec) {
    if (t.key_from == nullptr) {  // mode-switch records: the ids as "%04x%04x"
        ek_usb_modeswitch_t ms;
        std::memcpy(&ms, rec.data(), sizeof ms);
        char key[16];
        std::snprintf(key, sizeof key, "%04x%04x", static_cast<unsigned>(ms.vid),
                      static_cast<unsigned>(ms.pid));
        return key;
    }
    for (const Field &f : *t.fields) {
        if (std::string(f.name) == t.key_from) {
            const char *p = reinterpret_cast<const char *>(rec.data()) + f.offset;
            return std::string(p, strnlen(p, f.size));
        }
    }
    return "";
}

Json export_state() {
    Json doc = Json::object();
    doc["format_version"] = kFormatVersion;
    unsigned char *cpe = cpe_segment();
    doc["cpe"] = {{"save_report", ek_brd_get_save_report_flag()},
                  {"brd_auth", ek_brd_get_brd_auth()}};
    Json nat = Json::array();
    for (int id = 1; id <= EK_BRD_CPE_NAT_POLICY_MAX; ++id) {
        const unsigned char *slot =
            cpe + EK_BRD_CPE_NAT_TABLE_OFFSET + sizeof(ek_nat_policy_t) * (id - 1);
        // A free slot may still hold bytes; only an all-zero one is left out.
        if (trimmed(slot, sizeof(ek_nat_policy_t)) == 0) continue;
        Json rec = Json{{"id", id}};
        rec.update(record_json(kNatFields, slot));
        nat.push_back(rec);
    }
    doc["nat"] = nat;
    for (const DbTable &t : kDbTables) {
        Json rows = Json::array();
        for (const DbRecord &r : read_db(t)) {
            Json rec = Json::object();
            if (t.key_field != nullptr) rec[t.key_field] = text_json(r.key);
            rec.update(record_json(*t.fields, r.value.data()));
            rows.push_back(rec);
        }
        doc[t.name] = rows;
    }
    return doc;
}

// A checked document: what each table it names becomes.
struct Plan {
    const Json *cpe = nullptr;
    std::optional<Bytes> nat;  // the whole NAT table
    std::vector<std::pair<const DbTable *, std::vector<DbRecord>>> dbs;
};

Plan check_document(const Json &doc) {
    if (!doc.is_object()) usage_error("the document is not a JSON object");
    std::vector<std::string> tables = {"format_version", "cpe", "nat"};
    for (const DbTable &t : kDbTables) tables.push_back(t.name);
    for (const auto &[key, value] : doc.items()) {
        if (std::find(tables.begin(), tables.end(), key) == tables.end()) {
            std::string best = nearest(key, tables);
            bad(key, "unknown table" + (best.empty() ? "" : "; did you mean '" + best + "'?"));
        }
    }
    if (!doc.contains("format_version")) bad("format_version", "missing");
    if (doc["format_version"] != kFormatVersion) {
        bad("format_version", shown(doc["format_version"]) + " is not " +
                                  std::to_string(kFormatVersion) +
                                  ", the only version this brdctl reads");
    }
    Plan plan;
    if (doc.contains("cpe")) {
        const Json &cpe = doc["cpe"];
        if (!cpe.is_object()) bad("cpe", shown(cpe) + " is not an object");
        for (const auto &[key, value] : cpe.items()) {
            if (key != "save_report" && key != "brd_auth") bad("cpe." + key, "unknown field");
            integer(value, "cpe." + key, INT32_MIN, INT32_MAX, "a signed 32-bit integer");
        }
        plan.cpe = &cpe;
    }
    if (doc.contains("nat")) {
        const Json &rows = table_array(doc, "nat");
        Bytes table(sizeof(ek_nat_policy_t) * EK_BRD_CPE_NAT_POLICY_MAX);
        std::map<std::int64_t, std::size_t> seen;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            std::string path = "nat[" + std::to_string(i) + "]";
            Bytes rec = read_record(rows[i], path, kNatFields, sizeof(ek_nat_policy_t), {"id"});
            if (!rows[i].contains("id")) bad(path + ".id", "missing");
            auto id = integer(rows[i]["id"], path + ".id", 1, EK_BRD_CPE_NAT_POLICY_MAX,
                              "an id of 1-128");
            if (auto [it, fresh] = seen.emplace(id, i); !fresh) {
                bad(path + ".id", std::to_string(id) + " is already the id of nat[" +
                                      std::to_string(it->second) + "]");
            }
            std::copy(rec.begin(), rec.end(),
                      table.begin() + static_cast<std::ptrdiff_t>(rec.size() * (id - 1)));
        }
        plan.nat = std::move(table);
    }
    for (const DbTable &t : kDbTables) {
        if (!doc.contains(t.name)) continue;
        const Json &rows = table_array(doc, t.name);
        std::vector<DbRecord> records;
        std::map<std::string, std::size_t> seen;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            std::string path = std::string(t.name) + "[" + std::to_string(i) + "]";
            std::vector<std::string> extra;
            if (t.key_field != nullptr) extra.push_back(t.key_field);
            DbRecord r{"", read_record(rows[i], path, *t.fields, t.size, extra)};
            std::string key_path = path + "." +
                                   (t.key_field  ? t.key_field
                                    : t.key_from ? t.key_from
                                                 : "vid");
            if (t.key_field != nullptr) {
                if (!rows[i].contains(t.key_field)) bad(key_path, "missing");
                r.key = read_text(rows[i][t.key_field], key_path, kMaxKey);
            } else {
                r.key = key_of(t, r.value);
            }
            if (r.key.empty()) bad(key_path, "is empty, and it is the record's key");
            if (auto [it, fresh] = seen.emplace(r.key, i); !fresh) {
                bad(key_path, "'" + r.key + "' is already the key of " + t.name + "[" +
                                  std::to_string(it->second) + "]");
            }
            records.push_back(std::move(r));
        }
        plan.dbs.emplace_back(&t, std::move(records));
    }
    return plan;
}

// Replaces each table of the plan in turn; a failure names the tables that
// were already replaced.
std::vector<std::string> apply(const Plan &plan) {
    std::vector<std::string> done;
    auto fail = [&done](const std::string &what) {
        std::string list;
        for (const auto &d : done) list += (list.empty() ? "" : ", ") + d;
        op_failed(what + "; " +
                  (done.empty() ? "nothing was replaced" : "replaced before: " + list));
    };
    if (plan.cpe != nullptr || plan.nat) {
        try {
            cpe_segment();
        } catch (const Failure &e) {
            fail(e.what());
        }
    }
    if (plan.cpe != nullptr) {
        const Json &cpe = *plan.cpe;
        if (cpe.contains("save_report")) {
            ek_brd_set_save_report_flag(static_cast<int>(cpe["save_report"].get<std::int64_t>()));
        }
        if (cpe.contains("brd_auth")) {
            ek_brd_set_brd_auth(static_cast<int>(cpe["brd_auth"].get<std::int64_t>()));
        }
        done.emplace_back("cpe");
    }
    if (plan.nat) {
        // The library's writers take no lock on this table: one copy is the
        // shortest window another process can see.
        std::memcpy(cpe_segment() + EK_BRD_CPE_NAT_TABLE_OFFSET, plan.nat->data(),
                    plan.nat->size());
        done.emplace_back("nat");
    }
    for (const auto &[table, records] : plan.dbs) {
        std::vector<ek_host_db_record_t> raw;
        for (const DbRecord &r : records) {
            raw.push_back({r.key.data(), static_cast<std::int32_t>(r.key.size()), r.value.data(),
                           static_cast<std::int32_t>(r.value.size())});
        }
        try {
            std::optional<ModemLock> lock;
            if (table->modem_lock) lock.emplace();
            Db db(table->path);
            forget_host_reason();
            if (ek_host_db_replace(db.get(), raw.data(), static_cast<std::int32_t>(raw.size())) !=
                0) {
                op_failed(std::string("cannot write ") + table->path + host_reason());
            }
        } catch (const Failure &e) {
            fail(std::string("cannot replace ") + table->name + " (" + e.what() + ")");
        }
        done.emplace_back(table->name);
    }
    return done;
}

}  // namespace

void add_state(CLI::App &app, Context &ctx) {
    static std::string export_file = "-";
    auto *exp = add_command(app, "export", "Write every table as one JSON document", [&ctx] {
        write_document(export_file, export_state().dump(2) + "\n");
        ctx.emitted = true;
        if (export_file != "-") {
            emit(ctx, Json{{"exported", json_text(export_file)}},
                 "exported to " + escaped(export_file) + "\n");
        }
    });
    exp->add_option("FILE", export_file, "file to write (default: standard output)");

    static std::string import_file;
    auto *imp = add_command(
        app, "import", "Replace the tables a document holds (checked whole first)", [&ctx] {
            Json doc = parse_document(read_document(import_file),
                                      import_file == "-" ? "standard input" : import_file);
            Plan plan = check_document(doc);
            std::vector<std::string> done = apply(plan);
            std::string list;
            for (const auto &d : done) list += (list.empty() ? "" : ", ") + d;
            emit(ctx, Json{{"imported", done}},
                 done.empty() ? "imported nothing\n" : "replaced " + list + "\n");
        });
    imp->add_option("FILE", import_file, "document to read, - for standard input")->required();
}

}  // namespace brdctl
