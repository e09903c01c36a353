// The state document of export and import, apart from the platform: what a
// document may hold, reading and checking one, and writing one. Nothing here
// attaches a segment or opens a database, so a fuzzer can drive it alone.
#ifndef BRDCTL_DOCUMENT_H
#define BRDCTL_DOCUMENT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "brdctl.h"

namespace brdctl {

using Bytes = std::vector<unsigned char>;

// Nesting of arrays and objects a document may have; the deepest a state
// needs is 5 (a modem's USB id slot).
constexpr int kMaxDepth = 16;

// The VPN internal-subnet table of the CPE segment: a count word, then
// records of 36 bytes sorted by (address, mask) as unsigned words, all of it
// before the save-report flag.
constexpr std::size_t kVpnRecord = 36;
constexpr std::size_t kVpnRecords = EK_BRD_CPE_VPN_SUBNETS_OFFSET + 4;
constexpr std::size_t kVpnMax = (EK_BRD_CPE_SAVE_REPORT_OFFSET - kVpnRecords) / kVpnRecord;
constexpr std::size_t kVpnLocalFlag = 24;
// The search key of a record: its address and mask words.
std::pair<std::uint32_t, std::uint32_t> vpn_key(const unsigned char *record);
// The records of the table at `table` (segment offset 24), or op_failed when
// its count is outside the room.
Bytes vpn_records(const unsigned char *table);

struct Field;

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
extern const std::vector<DbTable> kDbTables;

struct DbRecord {
    std::string key;
    Bytes value;
    bool operator==(const DbRecord &) const = default;
};

// A state, whole (export) or as much as a document names (import).
struct State {
    std::optional<std::int32_t> save_report, brd_auth;
    std::optional<Bytes> nat;  // all 128 slots
    std::optional<Bytes> vpn;  // the records, in the table's order
    std::vector<std::pair<const DbTable *, std::vector<DbRecord>>> dbs;
    bool operator==(const State &) const = default;
};

// Parses and checks a document whole, within kMaxDocument bytes and
// kMaxDepth levels; a usage error names the first bad value by its path.
State parse_state(std::string_view text, const std::string &source);
// The document of a state; parse_state gives the state back.
Json document_of(const State &state);

// Text from outside for an error line: at most `most` characters, control
// characters and bytes that are not UTF-8 as \xNN, "..." when cut.
std::string escaped_prefix(std::string_view text, std::size_t most = 32);

}  // namespace brdctl

#endif
