// brdctl: shared pieces of the subcommand families.
//
// Every subcommand validates all of its arguments first, then touches the
// library, then prints exactly one result (a table or line, or one JSON
// document with --json). Problems travel as brdctl::Failure and are printed
// by main() as one line on stderr.
#ifndef BRDCTL_BRDCTL_H
#define BRDCTL_BRDCTL_H

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "ek_brd.h"

namespace brdctl {

using Json = nlohmann::ordered_json;

// Exit statuses, the interface scripts rely on.
enum Exit : int {
    kOk = 0,      // success, or the predicate holds
    kNo = 1,      // the predicate is false, or nothing was found
    kUsage = 2,   // bad arguments; nothing was touched
    kFailed = 3,  // the operation itself failed
};

// A usage error or a failed operation: the message becomes the text after
// "brdctl: <subcommand>: " on stderr.
class Failure : public std::runtime_error {
public:
    Failure(int code, const std::string &what) : std::runtime_error(what), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

[[noreturn]] inline void usage_error(const std::string &what) {
    throw Failure(kUsage, what);
}
[[noreturn]] inline void op_failed(const std::string &what) {
    throw Failure(kFailed, what);
}

struct Context {
    bool json = false;
    int status = kOk;              // exit status of a subcommand that printed its answer
    mutable bool emitted = false;  // the one document (or text) is out
};

// The databases brdctl reads; each is checked before a query (require_db),
// since the library answers a database it cannot open as an empty one.
constexpr const char *kWanifDb = "/tmp/db/wanif_db";
constexpr const char *kModemDb = "/tmp/db/usb_modem_cfg";
constexpr const char *kModeSwitchDb = "/tmp/db/usb_modem_mode_switch";

// The host platform logs why it refused a file or an IPC object; these
// carry that line into brdctl's own error line.
void forget_host_reason();
// ": " and the line logged since forget_host_reason(), or "".
std::string host_reason();

// An open database, closed on scope exit. op_failed("cannot open PATH:
// reason") unless libek_db opens it; a database nobody has written yet
// opens as an empty one.
class Db {
public:
    explicit Db(const char *path);
    ~Db();
    Db(const Db &) = delete;
    Db &operator=(const Db &) = delete;
    ek_db_handle_t get() const { return handle_; }

private:
    ek_db_handle_t handle_ = nullptr;
};
// Checked before a query: the library answers a database it cannot open as
// an empty one.
inline void require_db(const char *path) {
    Db db(path);
}

// --- the files export writes and import reads (files.cpp) ---

// The largest document import reads and export writes (32 MiB): several
// times a full state written by export, every reserved byte set
// (docs/brdctl.md has the sums), and small enough that what a file or a
// pipe can make brdctl hold and parse stays small.
constexpr std::size_t kMaxDocument = std::size_t{32} << 20;
// FILE's contents, or standard input's for "-", at most kMaxDocument
// (a usage error beyond). FILE must be a regular file that, like its
// directory and every directory on the way, passes the host platform's
// trust rule (a sticky directory root owns, such as /tmp, may serve); it
// is never followed if a link, never waited for if a FIFO. op_failed with
// one line naming what was refused, why and what to do, otherwise.
std::string read_document(const std::string &file);
// Replaces FILE (under the same rule; stdout for "-") with text: a new file
// of mode 0600 beside it, synced and renamed over it. A failure leaves FILE
// as it was and no other file behind.
void write_document(const std::string &file, const std::string &text);

// Holds the cross-process USB modem lock around a read-modify-write of the
// USB modem stores, as the platform's other writers do.
class ModemLock {
public:
    ModemLock();
    ~ModemLock();
    ModemLock(const ModemLock &) = delete;
    ModemLock &operator=(const ModemLock &) = delete;
};
// Whether the shell the library runs commands with finds `name` on PATH;
// host_reason() then names the PATH entries that shell does not get.
bool on_path(const char *name);
// The candidate closest to `word` by edit distance, or "" when none is
// close enough to be a likely typo.
std::string nearest(const std::string &word, const std::vector<std::string> &candidates);
// "; did you mean 'x'?" for the nearest candidate, or "".
std::string did_you_mean(const std::string &word, const std::vector<std::string> &candidates);

// --- argument parsing: every function throws a usage error naming `what` ---

// A decimal integer in [lo, hi]; "what" names the argument in the message.
std::int64_t parse_int(std::string_view text, std::string_view what, std::int64_t lo,
                       std::int64_t hi);
// A NAT policy id, 1 to 128.
int parse_nat_id(std::string_view text);
struct UsbId {
    std::uint16_t vid;
    std::uint16_t pid;
};
// "VID:PID", each one to four hexadecimal digits (an optional 0x prefix).
UsbId parse_usb_id(std::string_view text);
// A dotted quad, as a word in network byte order (the order the records and
// the device configuration service use).
std::uint32_t parse_ipv4(std::string_view text, std::string_view what);
// An interface's address: parse_ipv4, but never 0.0.0.0.
std::uint32_t parse_host_ipv4(std::string_view text);
// "ADDR/MASK" with MASK a dotted quad or a prefix length 0-32.
struct Subnet {
    std::uint32_t addr;
    std::uint32_t mask;
};
Subnet parse_subnet(std::string_view text);
// Interface names fill the 16-byte field of the WAN records.
constexpr std::size_t kIfNameMax = 16;
// The one rule for the names brdctl stores or looks up (interface, record,
// NAT policy and modem names; `import` applies it too): 1 to `max`
// characters, printable ASCII without blanks. name_fault gives what breaks
// the rule ("is empty", "has a blank at character 3; ...") or "";
// check_name throws it as a usage error after `what` and the quoted name.
std::string name_fault(std::string_view text, std::size_t max);
void check_name(std::string_view text, std::string_view what, std::size_t max);
// check_name, then the name.
std::string parse_name(std::string_view text, std::string_view what, std::size_t max);

// --- formatting ---

std::string format_ipv4(std::uint32_t network_order);
std::string format_usb_id(std::uint16_t vid, std::uint16_t pid);  // "1a2b:0003"
// Text of a fixed-size field that may lack its terminator.
std::string field_text(const char *field, std::size_t size);
// Text from outside (a record, a document, another process, an argument)
// made safe for a terminal or a log: control characters (C0, DEL, C1) and
// bytes that are not UTF-8 become \xNN; printable UTF-8 stays. A backslash
// stays too, so escaping twice changes nothing (the host platform's lines
// escape their keys the same way before they reach an error line); --json
// gives a name's exact bytes. Applied where text leaves: Table cells,
// not_found and main's error line escape whole, so Failure and not_found
// texts hold names raw; other human text passes outside names through it.
std::string escaped(std::string_view text);
// A JSON string for text, or {"hex": "..."} when it is not UTF-8, as
// `export` writes a name; every string taken from a record goes through
// this, so that no --json output fails to serialise.
Json json_text(std::string_view text);

// An aligned table: a header row and rows of cells.
class Table {
public:
    explicit Table(std::vector<std::string> header) : header_(std::move(header)) {}
    void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    std::string render() const;

private:
    std::vector<std::string> header_;
    std::vector<std::vector<std::string>> rows_;
};

// Prints the result: the JSON document with --json, else the human text
// (which should end with a newline, or be empty).
void emit(const Context &ctx, const Json &doc, const std::string &human);
// "Nothing found" (exit status 1), in one shape for every subcommand:
// the line on stdout, or {"found": false, "message": line} with --json.
void not_found(Context &ctx, const std::string &human);

// With EK_LOG_STDERR set, every message the library and the host platform
// log also goes to stderr, each once. Called first thing.
void start_log();

// Runs a library call that starts shell commands with brdctl's standard
// output (and standard error, unless EK_LOG_STDERR asks for the platform's
// log there) pointed at /dev/null, so that the commands' own chatter never
// mixes with brdctl's result.
void with_quiet_stdio(const std::function<void()> &fn);

// Readers shared by `status` and the USB families; each throws op_failed
// when its database cannot be read.
std::vector<ek_usb_modem_cfg_t> load_modems();
std::vector<ek_usb_modeswitch_t> load_modeswitches();
// Every wanif_db record, or op_failed when one cannot be read (as one of
// another size cannot): what the library's count would pass over.
std::vector<ek_wanif_entry_t> load_wanif();
struct Attached {
    bool any = false;       // some device besides the root hub of bus 1
    bool id_known = false;  // ...that is not one of the known hubs: vid/pid valid
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
};
Attached probe_usb();
Json attached_json(const Attached &dev);
// The CPE segment, or op_failed.
unsigned char *cpe_segment();

// Subcommand families; each adds its subcommands to `app`.
void add_status(CLI::App &app, Context &ctx);
void add_cpe(CLI::App &app, Context &ctx);
void add_nat(CLI::App &app, Context &ctx);
void add_subnet(CLI::App &app, Context &ctx);
void add_wanif(CLI::App &app, Context &ctx);
void add_modem(CLI::App &app, Context &ctx);
void add_modeswitch(CLI::App &app, Context &ctx);
void add_usb(CLI::App &app, Context &ctx);
void add_dcd(CLI::App &app, Context &ctx);
void add_state(CLI::App &app, Context &ctx);  // export, import

// Adds a subcommand whose callback runs `fn`; CLI11 is only the parser.
CLI::App *add_command(CLI::App &parent, const std::string &name, const std::string &help,
                      std::function<void()> fn);

}  // namespace brdctl

#endif
