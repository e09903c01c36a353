// The state document: each record is described once, field by field,
// straight from the header's layouts; the same description writes a record
// as JSON and reads it back, so every byte another process can see makes the
// round trip, reserved bytes included.
//
// A document comes from anyone: it is read through a SAX handler that
// refuses a repeated key or a nesting deeper than kMaxDepth as it arrives,
// so no input builds more than its own size in values before it is refused,
// and nothing recurses on the document's depth. Lookups in objects are
// linear, so every object is checked for unknown keys before any lookup.
#include "document.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <numeric>
#include <set>

#include "ek_host.h"

namespace brdctl {

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
    bool filled = false;  // a name may fill a text field, without a terminator
};

namespace {

constexpr int kFormatVersion = 1;
// The longest key libek_db stores.
constexpr std::size_t kMaxKey = 4096;
// The records of the databases one document may hold, as stored: eight
// times the largest document, some 290,000 WAN records. Short records in
// a document are large ones in memory: they are counted as they arrive.
constexpr std::size_t kMaxRecords = 8 * kMaxDocument;
// Keys longer than this are no typo of a known name.
constexpr std::size_t kMaxGuess = 64;

#define EK_FIELD(type, member, kind)                                      \
    Field {                                                               \
#member, Kind::kind, offsetof(type, member), sizeof(type::member) \
    }

const std::vector<Field> kWanifFields = {
    EK_FIELD(ek_wanif_entry_t, name, text),
    {"ifname", Kind::text, offsetof(ek_wanif_entry_t, ifname), sizeof(ek_wanif_entry_t::ifname),
     true},
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
// A name is what `nat id` can look up: at most 32 characters; the byte
// behind them, the terminator the library writes, is kept as rsv_32.
const std::vector<Field> kNatFields = {
    {"name", Kind::text, 0, sizeof(ek_nat_policy_t::name) - 1, true},
    {"rsv_32", Kind::bytes, sizeof(ek_nat_policy_t::name) - 1, 1},
    EK_FIELD(ek_nat_policy_t, rsv_33, bytes),
    EK_FIELD(ek_nat_policy_t, type, i32),
};
const std::vector<Field> kVpnFields = {
    {"address", Kind::ipv4, 0, 4}, {"mask", Kind::ipv4, 4, 4},     {"rsv_8", Kind::bytes, 8, 16},
    {"local", Kind::i32, 24, 4},   {"rsv_28", Kind::bytes, 28, 8},
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

// The length of the well-formed UTF-8 sequence at p, or 0.
std::size_t utf8_at(const unsigned char *p, std::size_t n) {
    unsigned char c = p[0];
    if (c < 0x80) return 1;
    std::size_t len = c >= 0xC2 && c <= 0xDF   ? 2
                      : c >= 0xE0 && c <= 0xEF ? 3
                      : c >= 0xF0 && c <= 0xF4 ? 4
                                               : 0;
    if (len == 0 || len > n) return 0;
    // The second byte's range excludes overlong forms, surrogates and
    // code points above U+10FFFF.
    unsigned char lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    unsigned char hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if (p[1] < lo || p[1] > hi) return 0;
    for (std::size_t i = 2; i < len; ++i) {
        if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    }
    return len;
}

bool is_utf8(const std::string &text) {
    auto *p = reinterpret_cast<const unsigned char *>(text.data());
    for (std::size_t at = 0, len; at < text.size(); at += len) {
        if ((len = utf8_at(p + at, text.size() - at)) == 0) return false;
    }
    return true;
}

std::string hex_of(const unsigned char *p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out(2 * n, '0');
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = digits[p[i] >> 4];
        out[2 * i + 1] = digits[p[i] & 15];
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

// --- writing --------------------------------------------------------------

// A string, or {"hex": ...} for bytes that are not UTF-8.
Json text_json(const std::string &text) {
    if (is_utf8(text)) return text;
    return Json{{"hex", hex_of(reinterpret_cast<const unsigned char *>(text.data()), text.size())}};
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
                out.push_back(std::move(one));
            }
            return out;
        }
    }
    return nullptr;
}

void put_record(Json &out, const std::vector<Field> &fields, const unsigned char *rec) {
    for (const Field &f : fields) out[f.name] = field_json(f, rec);
}

// --- reading --------------------------------------------------------------

[[noreturn]] void bad(const std::string &path, const std::string &what) {
    usage_error(path + ": " + what);
}

// A value for an error line: never a dump of a whole array or object.
std::string shown(const Json &v) {
    if (v.is_string()) return "\"" + escaped_prefix(v.get_ref<const std::string &>()) + "\"";
    if (v.is_object()) return v.empty() ? "{}" : "{...}";
    if (v.is_array()) return v.empty() ? "[]" : "[...]";
    return v.dump();
}

std::string member(const std::string &key) {
    return "." + escaped_prefix(key);
}

std::string guess(const std::string &key, const std::vector<std::string> &names) {
    std::string best = key.size() <= kMaxGuess ? nearest(key, names) : "";
    return best.empty() ? "" : "; did you mean '" + best + "'?";
}

int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_hex(const std::string &text, Bytes &out) {
    if (text.size() % 2 != 0) return false;
    out.resize(text.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        int hi = nibble(text[2 * i]), lo = nibble(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    return true;
}

std::int64_t integer(const Json &v, const std::string &path, std::int64_t lo, std::int64_t hi,
                     const char *what) {
    // JSON's non-negative integers arrive unsigned: both bounds apply to them too.
    bool fits =
        (v.is_number_unsigned() && v.get<std::uint64_t>() <= static_cast<std::uint64_t>(hi) &&
         static_cast<std::int64_t>(v.get<std::uint64_t>()) >= lo) ||
        (v.is_number_integer() && !v.is_number_unsigned() && v.get<std::int64_t>() >= lo &&
         v.get<std::int64_t>() <= hi);
    if (!fits) bad(path, shown(v) + " is not " + what);
    return v.is_number_unsigned() ? static_cast<std::int64_t>(v.get<std::uint64_t>())
                                  : v.get<std::int64_t>();
}

void check_keys(const Json &obj, const std::string &path, const std::vector<Field> &fields,
                const std::vector<std::string> &extra) {
    for (const auto &item : obj.items()) {
        const std::string &key = item.key();
        bool known = std::find(extra.begin(), extra.end(), key) != extra.end() ||
                     std::any_of(fields.begin(), fields.end(),
                                 [&key](const Field &f) { return key == f.name; });
        if (!known) {
            std::vector<std::string> names(extra);
            for (const Field &f : fields) names.push_back(f.name);
            bad(path + member(key), "unknown field" + guess(key, names));
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
            // The name, up to its terminator, follows the commands' rule.
            std::string_view name(text.data(), strnlen(text.data(), text.size()));
            if (std::string why = name_fault(name, f.filled ? f.size : f.size - 1);
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
            if (!v.is_string() || v.get_ref<const std::string &>().size() > 15 ||
                inet_pton(AF_INET, v.get<std::string>().c_str(), &addr) != 1) {
                bad(path, shown(v) + " is not a dotted-quad IPv4 address");
            }
            std::memcpy(p, &addr.s_addr, sizeof addr.s_addr);
            return;
        }
        case Kind::hex16: {
            std::string text = v.is_string() ? v.get<std::string>() : "";
            unsigned value = 0;
            for (char c : text) value = value * 16 + static_cast<unsigned>(std::max(nibble(c), 0));
            if (text.empty() || text.size() > 4 ||
                !std::all_of(text.begin(), text.end(), [](char c) { return nibble(c) >= 0; })) {
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

std::string line_column(std::string_view text, std::size_t at) {
    at = std::min(at, text.size());
    auto line = 1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n');
    auto nl = text.rfind('\n', at == 0 ? 0 : at - 1);
    std::size_t column = at - (nl == std::string_view::npos || at == 0 ? 0 : nl + 1) + 1;
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// Builds the document's values, refusing a repeated key and a nesting
// deeper than kMaxDepth before they are built.
class Builder final : public nlohmann::json_sax<Json> {
public:
    Builder(std::string_view text, const std::string &source) : text_(text), source_(source) {}
    Json root;

    bool null() override { return put(nullptr); }
    bool boolean(bool v) override { return put(v); }
    bool number_integer(std::int64_t v) override { return put(v); }
    bool number_unsigned(std::uint64_t v) override { return put(v); }
    bool number_float(double v, const std::string &) override { return put(v); }
    bool string(std::string &v) override { return put(std::move(v)); }
    bool binary(Json::binary_t &) override { return put(nullptr); }
    bool start_object(std::size_t) override { return open(Json::object(), false); }
    bool start_array(std::size_t) override { return open(Json::array(), true); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool key(std::string &k) override {
        Frame &f = stack_.back();
        if (f.keys.size() >= f.most) {
            f.key = k;
            bad(path(true), "beyond the " + std::to_string(f.most) + " fields an object may have");
        }
        if (!f.keys.insert(k).second) {
            f.key = k;
            bad(path(true), "appears twice in one object");
        }
        f.key = std::move(k);
        return true;
    }
    bool parse_error(std::size_t position, const std::string &token,
                     const nlohmann::detail::exception &e) override {
        std::string head = source_ + " is not a JSON document: ";
        if (e.id == 406) {  // a number beyond double's range
            usage_error(head + "the number at " +
                        line_column(text_, position - std::min(position, token.size())) +
                        " is out of range (" + escaped_prefix(token) + ")");
        }
        usage_error(head + "it breaks off at " +
                    line_column(text_, position > 0 ? position - 1 : 0));
    }

private:
    struct Frame {
        Json *value;
        bool array;
        std::size_t most;    // elements or keys it may have
        std::size_t weight;  // bytes a record of its table takes, or 0
        std::string key;
        std::set<std::string> keys;
    };
    std::size_t stored_ = 0;
    std::string_view text_;
    const std::string &source_;
    std::vector<Frame> stack_;

    // The path of the value in the innermost container: its last element,
    // or with `next` the one that comes next.
    std::string path(bool next) const {
        std::string out;
        for (std::size_t i = 0; i < stack_.size(); ++i) {
            const Frame &f = stack_[i];
            bool last = i + 1 == stack_.size();
            if (!f.array) {
                out += out.empty() ? escaped_prefix(f.key) : member(f.key);
            } else {
                std::size_t n = f.value->size();
                out += "[" + std::to_string(last && next ? n : n - 1) + "]";
            }
        }
        return out;
    }
    Json *put_value(Json &&v) {
        if (stack_.empty()) {
            root = std::move(v);
            return &root;
        }
        Frame &f = stack_.back();
        if (f.array) {
            if (f.value->size() >= f.most) {
                bad(path(true), f.weight > 0 ? "beyond the " + std::to_string(kMaxRecords >> 20) +
                                                   " MiB of records one import writes"
                                             : "beyond the " + std::to_string(f.most) +
                                                   " elements this array may have");
            }
            f.value->push_back(std::move(v));
            return &f.value->back();
        }
        // The key is new (see key()): no search of the object for it.
        auto *obj = f.value->get_ptr<Json::object_t *>();
        obj->emplace_back(f.key, std::move(v));
        return &obj->back().second;
    }
    bool put(Json v) {
        put_value(std::move(v));
        return true;
    }
    bool open(Json v, bool array) {
        if (stack_.size() >= static_cast<std::size_t>(kMaxDepth)) {
            bad(path(true),
                "arrays and objects nested deeper than " + std::to_string(kMaxDepth) + " levels");
        }
        // An object has at most a record's fields and its key; an array
        // at most its table's records, or a modem's USB id slots and then
        // some, so that checking can name what is wrong with them.
        std::size_t most = array ? 64 : 32, weight = 0;
        if (array && stack_.size() == 1 && !stack_[0].array) {
            const std::string &table = stack_[0].key;
            if (table == "nat") most = EK_BRD_CPE_NAT_POLICY_MAX;
            if (table == "vpn_subnets") most = kVpnMax;
            for (const DbTable &t : kDbTables) {
                if (table == t.name) {
                    weight = t.size;
                    most = (kMaxRecords - stored_) / t.size;
                }
            }
        }
        Json *at = put_value(std::move(v));
        stack_.push_back(Frame{at, array, most, weight, {}, {}});
        return true;
    }
    bool close() {
        stored_ += stack_.back().weight * stack_.back().value->size();
        stack_.pop_back();
        return true;
    }
};

Json parse(std::string_view text, const std::string &source) {
    if (text.size() > kMaxDocument) {
        usage_error(source + " is larger than " + std::to_string(kMaxDocument >> 20) +
                    " MiB, the most import reads");
    }
    // The parser would take a NUL for the end of the input.
    if (auto nul = text.find('\0'); nul != std::string_view::npos) {
        usage_error(source + " is not a JSON document: a NUL byte at " + line_column(text, nul));
    }
    Builder builder(text, source);
    Json::sax_parse(text.begin(), text.end(), &builder);
    return std::move(builder.root);
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

std::string subnet_text(const unsigned char *rec) {
    return format_ipv4(load<std::uint32_t>(rec)) + "/" + format_ipv4(load<std::uint32_t>(rec + 4));
}

// The VPN subnets in the table's order; a pair given twice is refused.
Bytes read_vpn(const Json &rows) {
    Bytes all(rows.size() * kVpnRecord);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::string path = "vpn_subnets[" + std::to_string(i) + "]";
        Bytes rec = read_record(rows[i], path, kVpnFields, kVpnRecord, {});
        for (const char *need : {"address", "mask"}) {
            if (!rows[i].contains(need)) bad(path + "." + need, "missing");
        }
        std::copy(rec.begin(), rec.end(),
                  all.begin() + static_cast<std::ptrdiff_t>(i * kVpnRecord));
    }
    std::vector<std::size_t> order(rows.size());
    std::iota(order.begin(), order.end(), 0);
    auto at = [&all](std::size_t i) { return all.data() + i * kVpnRecord; };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return vpn_key(at(a)) < vpn_key(at(b)); });
    // The first record in document order whose pair an earlier one holds.
    std::size_t dup = rows.size(), first = 0;
    for (std::size_t i = 1; i < order.size(); ++i) {
        if (vpn_key(at(order[i])) == vpn_key(at(order[i - 1])) && order[i] < dup) {
            dup = order[i];
            first = order[i - 1];
            while (i + 1 < order.size() && vpn_key(at(order[i + 1])) == vpn_key(at(dup))) ++i;
        }
    }
    if (dup < rows.size()) {
        bad("vpn_subnets[" + std::to_string(dup) + "]",
            subnet_text(at(dup)) + " is already the subnet of vpn_subnets[" +
                std::to_string(first) + "]");
    }
    Bytes sorted;
    sorted.reserve(all.size());
    for (std::size_t i : order) sorted.insert(sorted.end(), at(i), at(i) + kVpnRecord);
    return sorted;
}

}  // namespace

const std::vector<DbTable> kDbTables = {
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

std::pair<std::uint32_t, std::uint32_t> vpn_key(const unsigned char *record) {
    return {load<std::uint32_t>(record), load<std::uint32_t>(record + 4)};
}

Bytes vpn_records(const unsigned char *table) {
    auto count = load<std::int32_t>(table);
    if (count < 0 || static_cast<std::size_t>(count) > kVpnMax) {
        op_failed("the VPN subnet table of the CPE segment counts " + std::to_string(count) +
                  " records, outside its room of 0-" + std::to_string(kVpnMax));
    }
    return Bytes(table + 4, table + 4 + kVpnRecord * static_cast<std::size_t>(count));
}

std::string escaped_prefix(std::string_view text, std::size_t most) {
    auto *p = reinterpret_cast<const unsigned char *>(text.data());
    std::string out;
    std::size_t at = 0;
    for (std::size_t shown = 0; at < text.size() && shown < most; ++shown) {
        std::size_t len = utf8_at(p + at, text.size() - at);
        bool c1 = len == 2 && p[at] == 0xC2 && p[at + 1] < 0xA0;  // C1 control codes
        if (len == 1 && p[at] >= 0x20 && p[at] < 0x7f) {
            if (p[at] == '\\' || p[at] == '"') out += '\\';
            out += static_cast<char>(p[at]);
        } else if (len > 1 && !c1) {
            out.append(text.substr(at, len));
        } else {
            len = c1 ? 2 : 1;
            for (std::size_t i = 0; i < len; ++i) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned>(p[at + i]));
                out += hex;
            }
        }
        at += len;
    }
    if (at < text.size()) out += "...";
    return out;
}

// A USB id two modems list: a lookup by USB id finds only the first, so
// the commands refuse it, and so does a document.
void check_usb_ids(const std::vector<DbRecord> &records) {
    std::map<std::pair<std::uint16_t, std::uint16_t>, std::size_t> owner;
    for (std::size_t i = 0; i < records.size(); ++i) {
        ek_usb_modem_cfg_t cfg;
        std::memcpy(&cfg, records[i].value.data(), sizeof cfg);
        std::uint32_t used = std::min<std::uint32_t>(cfg.usbid_num, EK_USB_MODEM_USBID_MAX);
        for (std::uint32_t s = 0; s < used; ++s) {
            auto [it, fresh] = owner.emplace(std::pair{cfg.usbid[s].vid, cfg.usbid[s].pid}, i);
            if (!fresh && it->second != i) {
                bad("usb_modem_cfg[" + std::to_string(i) + "].usbid[" + std::to_string(s) + "]",
                    format_usb_id(cfg.usbid[s].vid, cfg.usbid[s].pid) +
                        " is already listed by usb_modem_cfg[" + std::to_string(it->second) + "]");
            }
        }
    }
}

State parse_state(std::string_view text, const std::string &source) {
    Json doc = parse(text, source);
    if (!doc.is_object()) usage_error("the document is not a JSON object");
    std::vector<std::string> tables = {"format_version", "cpe", "nat", "vpn_subnets"};
    for (const DbTable &t : kDbTables) tables.push_back(t.name);
    for (const auto &[key, value] : doc.items()) {
        if (std::find(tables.begin(), tables.end(), key) == tables.end()) {
            bad(escaped_prefix(key), "unknown table" + guess(key, tables));
        }
    }
    if (!doc.contains("format_version")) bad("format_version", "missing");
    if (doc["format_version"] != kFormatVersion) {
        bad("format_version", shown(doc["format_version"]) + " is not " +
                                  std::to_string(kFormatVersion) +
                                  ", the only version this brdctl reads");
    }
    State state;
    if (doc.contains("cpe")) {
        const Json &cpe = doc["cpe"];
        if (!cpe.is_object()) bad("cpe", shown(cpe) + " is not an object");
        for (const auto &[key, value] : cpe.items()) {
            if (key != "save_report" && key != "brd_auth")
                bad("cpe" + member(key), "unknown field");
            auto n = static_cast<std::int32_t>(
                integer(value, "cpe." + key, INT32_MIN, INT32_MAX, "a signed 32-bit integer"));
            (key == "save_report" ? state.save_report : state.brd_auth) = n;
        }
    }
    if (doc.contains("nat")) {
        const Json &rows = table_array(doc, "nat");
        Bytes table(sizeof(ek_nat_policy_t) * EK_BRD_CPE_NAT_POLICY_MAX);
        std::vector<std::size_t> seen(EK_BRD_CPE_NAT_POLICY_MAX + 1, rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            std::string path = "nat[" + std::to_string(i) + "]";
            Bytes rec = read_record(rows[i], path, kNatFields, sizeof(ek_nat_policy_t), {"id"});
            if (!rows[i].contains("id")) bad(path + ".id", "missing");
            auto id = integer(rows[i]["id"], path + ".id", 1, EK_BRD_CPE_NAT_POLICY_MAX,
                              "an id of 1-128");
            auto slot = static_cast<std::size_t>(id);
            if (seen[slot] < i) {
                bad(path + ".id", std::to_string(id) + " is already the id of nat[" +
                                      std::to_string(seen[slot]) + "]");
            }
            seen[slot] = i;
            std::copy(rec.begin(), rec.end(),
                      table.begin() + static_cast<std::ptrdiff_t>(rec.size() * (slot - 1)));
        }
        state.nat = std::move(table);
    }
    if (doc.contains("vpn_subnets")) state.vpn = read_vpn(table_array(doc, "vpn_subnets"));
    for (const DbTable &t : kDbTables) {
        if (!doc.contains(t.name)) continue;
        const Json &rows = table_array(doc, t.name);
        std::vector<DbRecord> records;
        records.reserve(rows.size());
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
                bad(key_path, "'" + escaped_prefix(r.key) + "' is already the key of " + t.name +
                                  "[" + std::to_string(it->second) + "]");
            }
            records.push_back(std::move(r));
        }
        if (t.fields == &kModemFields) check_usb_ids(records);
        state.dbs.emplace_back(&t, std::move(records));
    }
    return state;
}

Json document_of(const State &state) {
    Json doc = Json::object();
    doc["format_version"] = kFormatVersion;
    if (state.save_report || state.brd_auth) {
        Json cpe = Json::object();
        if (state.save_report) cpe["save_report"] = *state.save_report;
        if (state.brd_auth) cpe["brd_auth"] = *state.brd_auth;
        doc["cpe"] = std::move(cpe);
    }
    if (state.nat) {
        Json rows = Json::array();
        for (int id = 1; id <= EK_BRD_CPE_NAT_POLICY_MAX; ++id) {
            const unsigned char *slot = state.nat->data() + sizeof(ek_nat_policy_t) * (id - 1);
            // A free slot may still hold bytes; only an all-zero one is left out.
            if (trimmed(slot, sizeof(ek_nat_policy_t)) == 0) continue;
            Json rec = Json{{"id", id}};
            put_record(rec, kNatFields, slot);
            rows.push_back(std::move(rec));
        }
        doc["nat"] = std::move(rows);
    }
    if (state.vpn) {
        Json rows = Json::array();
        for (std::size_t at = 0; at + kVpnRecord <= state.vpn->size(); at += kVpnRecord) {
            Json rec = Json::object();
            put_record(rec, kVpnFields, state.vpn->data() + at);
            rows.push_back(std::move(rec));
        }
        doc["vpn_subnets"] = std::move(rows);
    }
    for (const auto &[t, records] : state.dbs) {
        Json rows = Json::array();
        for (const DbRecord &r : records) {
            Json rec = Json::object();
            if (t->key_field != nullptr) rec[t->key_field] = text_json(r.key);
            put_record(rec, *t->fields, r.value.data());
            rows.push_back(std::move(rec));
        }
        doc[t->name] = std::move(rows);
    }
    return doc;
}

}  // namespace brdctl
