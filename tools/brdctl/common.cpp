#include "brdctl.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ek_host.h"
#include "platform/ek_db.h"

namespace brdctl {

namespace {

bool g_log_stderr = false;

std::string quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

constexpr char kHexDigits[] = "0123456789abcdef";

// The length of the well-formed UTF-8 sequence at `at` (no overlong forms,
// surrogates or code points past U+10FFFF), or 0.
std::size_t utf8_length(std::string_view text, std::size_t at) {
    auto byte = [&text](std::size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
    };
    unsigned c = byte(at);
    std::size_t n = c >= 0xc2 && c <= 0xdf   ? 2
                    : c >= 0xe0 && c <= 0xef ? 3
                    : c >= 0xf0 && c <= 0xf4 ? 4
                                             : 0;
    if (n == 0) return 0;
    unsigned second = byte(at + 1);
    unsigned lo = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80;
    unsigned hi = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
    if (second < lo || second > hi) return 0;
    for (std::size_t i = 2; i < n; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80) return 0;
    }
    return n;
}

bool parse_hex16(std::string_view text, std::uint16_t &out) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 4) return false;
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    out = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

std::int64_t parse_int(std::string_view text, std::string_view what, std::int64_t lo,
                       std::int64_t hi) {
    std::int64_t value = 0;
    const char *first = text.data();
    const char *last = text.data() + text.size();
    if (first != last && *first == '+') ++first;
    auto [end, ec] = std::from_chars(first, last, value, 10);
    if (text.empty() || ec == std::errc::invalid_argument || end != last) {
        usage_error(std::string(what) + " " + quoted(text) + " is not a number");
    }
    if (ec == std::errc::result_out_of_range || value < lo || value > hi) {
        if (lo == INT32_MIN && hi == INT32_MAX) {
            usage_error(std::string(what) + " " + std::string(text) +
                        " is not a signed 32-bit number");
        }
        usage_error(std::string(what) + " " + std::string(text) + " is not between " +
                    std::to_string(lo) + " and " + std::to_string(hi));
    }
    return value;
}

int parse_nat_id(std::string_view text) {
    return static_cast<int>(parse_int(text, "id", 1, 128));
}

UsbId parse_usb_id(std::string_view text) {
    auto colon = text.find(':');
    UsbId id{};
    if (colon == std::string_view::npos || !parse_hex16(text.substr(0, colon), id.vid) ||
        !parse_hex16(text.substr(colon + 1), id.pid)) {
        usage_error("USB id " + quoted(text) +
                    " is not VID:PID (two hexadecimal numbers 0-ffff, e.g. 1a2b:0003)");
    }
    // The stores treat an id of 0 as an empty slot; no device has one.
    if (id.vid == 0 || id.pid == 0) {
        usage_error("USB id " + quoted(text) + " names no device (vendor and product are 1-ffff)");
    }
    return id;
}

std::uint32_t parse_ipv4(std::string_view text, std::string_view what) {
    in_addr addr{};
    std::string copy(text);
    if (inet_pton(AF_INET, copy.c_str(), &addr) != 1) {
        // Leading zeros read as octal in some tools, so they are refused
        // rather than guessed at; the line says so and gives the plain form.
        std::string plain;
        bool zeros = false;
        int parts = 0;
        for (std::string_view rest = text; parts < 5; ++parts) {
            std::string_view part = rest.substr(0, rest.find('.'));
            unsigned value = 256;
            auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
            if (part.empty() || part.size() > 3 || ec != std::errc() ||
                end != part.data() + part.size() || value > 255) {
                break;
            }
            zeros = zeros || (part.size() > 1 && part[0] == '0');
            plain += (parts == 0 ? "" : ".") + std::to_string(value);
            if (part.size() == rest.size()) {
                ++parts;
                break;
            }
            rest.remove_prefix(part.size() + 1);
        }
        if (zeros && parts == 4 && std::count(text.begin(), text.end(), '.') == 3) {
            usage_error(std::string(what) + " " + quoted(text) +
                        " has leading zeros, which some tools read as octal: write " + plain);
        }
        usage_error(std::string(what) + " " + quoted(text) + " is not a dotted-quad IPv4 address");
    }
    return addr.s_addr;
}

std::uint32_t parse_host_ipv4(std::string_view text) {
    std::uint32_t addr = parse_ipv4(text, "address");
    // A record without an address holds 0, so 0.0.0.0 would name them all.
    if (addr == 0) usage_error("address 0.0.0.0 is no interface's address");
    return addr;
}

Subnet parse_subnet(std::string_view text) {
    auto slash = text.find('/');
    if (slash == std::string_view::npos) {
        usage_error("subnet " + quoted(text) +
                    " is not ADDR/MASK (e.g. 10.1.2.0/255.255.255.0 or "
                    "10.1.2.0/24)");
    }
    Subnet subnet{};
    subnet.addr = parse_ipv4(text.substr(0, slash), "address");
    std::string_view mask = text.substr(slash + 1);
    if (mask.find('.') != std::string_view::npos) {
        subnet.mask = parse_ipv4(mask, "mask");
    } else {
        auto bits = parse_int(mask, "prefix length", 0, 32);
        std::uint32_t host = bits == 0 ? 0u : ~0u << (32 - bits);
        subnet.mask = htonl(host);
    }
    return subnet;
}

std::string name_fault(std::string_view text, std::size_t max) {
    if (text.empty()) return "is empty";
    if (text.size() > max) return "is longer than " + std::to_string(max) + " characters";
    auto bad = std::find_if(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7f;
    });
    if (bad == text.end()) return "";
    char byte[8];
    std::snprintf(byte, sizeof byte, "0x%02x",
                  static_cast<unsigned>(static_cast<unsigned char>(*bad)));
    std::string why = *bad == ' ' ? std::string("a blank") : std::string("the byte ") + byte;
    return "has " + why + " at character " + std::to_string(bad - text.begin() + 1) +
           "; a name is printable ASCII without blanks";
}

void check_name(std::string_view text, std::string_view what, std::size_t max) {
    std::string why = name_fault(text, max);
    if (why.empty()) return;
    usage_error(std::string(what) + (text.empty() ? " " : " " + quoted(text) + " ") + why);
}

std::string parse_name(std::string_view text, std::string_view what, std::size_t max) {
    check_name(text, what, max);
    return std::string(text);
}

std::string format_ipv4(std::uint32_t network_order) {
    in_addr addr{};
    addr.s_addr = network_order;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

std::string format_usb_id(std::uint16_t vid, std::uint16_t pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", static_cast<unsigned>(vid),
                  static_cast<unsigned>(pid));
    return text;
}

std::string field_text(const char *field, std::size_t size) {
    return std::string(field, strnlen(field, size));
}

std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    auto hex = [&out](unsigned char c) {
        out += "\\x";
        out += kHexDigits[c >> 4];
        out += kHexDigits[c & 15];
    };
    for (std::size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t n = c < 0x80 ? 1 : utf8_length(text, i);
        if (c < 0x20 || c == 0x7f || n == 0) {
            hex(c);
        } else if (c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) {
            // U+0080-U+009F: C1 controls, CSI among them.
            hex(c);
            hex(static_cast<unsigned char>(text[i + 1]));
        } else {
            out.append(text.substr(i, n));
        }
        i += n == 0 ? 1 : n;
    }
    return out;
}

Json json_text(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = static_cast<unsigned char>(text[i]) < 0x80 ? 1 : utf8_length(text, i);
        if (n == 0) {
            std::string hex;
            for (char c : text) {
                hex += kHexDigits[static_cast<unsigned char>(c) >> 4];
                hex += kHexDigits[static_cast<unsigned char>(c) & 15];
            }
            return Json{{"hex", hex}};
        }
        i += n;
    }
    return std::string(text);
}

std::string Table::render() const {
    std::vector<std::size_t> width(header_.size());
    auto widen = [&width](const std::vector<std::string> &row) {
        for (std::size_t i = 0; i < row.size() && i < width.size(); ++i) {
            width[i] = std::max(width[i], escaped(row[i]).size());
        }
    };
    widen(header_);
    for (const auto &row : rows_) widen(row);

    std::string out;
    auto line = [&](std::vector<std::string> row) {
        for (auto &cell : row) cell = escaped(cell);
        std::string text;
        for (std::size_t i = 0; i < row.size() && i < width.size(); ++i) {
            text += row[i];
            if (i + 1 < row.size()) text += std::string(width[i] - row[i].size() + 2, ' ');
        }
        out += text + "\n";
    };
    line(header_);
    for (const auto &row : rows_) line(row);
    return out;
}

void emit(const Context &ctx, const Json &doc, const std::string &human) {
    ctx.emitted = true;
    if (ctx.json) {
        // All ASCII: a name's C1 control or other oddity stays a \u escape
        // on a terminal too.
        std::fputs((doc.dump(2, ' ', true) + "\n").c_str(), stdout);
    } else {
        std::fputs(human.c_str(), stdout);
    }
}

void not_found(Context &ctx, const std::string &human) {
    ctx.status = kNo;
    std::string line = escaped(human);
    emit(ctx, Json{{"found", false}, {"message", line}}, line + "\n");
}

void forget_host_reason() {
    ek_host_last_log_line()[0] = '\0';
}

std::string host_reason() {
    const char *line = ek_host_last_log_line();
    return line[0] != '\0' ? std::string(": ") + line : std::string();
}

Db::Db(const char *path) {
    forget_host_reason();
    errno = 0;
    handle_ = ek_db_open_ex(path, EK_DB_MODE);
    if (handle_ != nullptr) return;
    // The host logs what its trust rule refuses; what the kernel refuses
    // comes back in errno alone.
    int err = errno;
    std::string why = host_reason();
    if (why.empty() && (err == EACCES || err == EPERM) && geteuid() != 0) {
        why = ": permission denied to uid " + std::to_string(geteuid()) +
              " (the databases are root's, mode 0600): run brdctl as root";
    } else if (why.empty() && err != 0) {
        why = std::string(": ") + std::strerror(err);
    }
    op_failed(std::string("cannot open ") + path + why);
}

Db::~Db() {
    ek_db_close(handle_);
}

ModemLock::ModemLock() {
    forget_host_reason();
    if (ek_brd_lib_usb_modem_init() != 0 || ek_brd_lib_usb_modem_cfg_lock() == -1) {
        op_failed("cannot take the USB modem lock" + host_reason());
    }
}

ModemLock::~ModemLock() {
    ek_brd_lib_usb_modem_cfg_unlock();
}

// Asks in the PATH the library's commands get (for root, only the entries
// the trust rule accepts): a program in an entry the shell never sees is
// not there.
bool on_path(const char *name) {
    forget_host_reason();  // then holds the line naming the entries dropped, if any
    std::string path(256, '\0');
    std::int32_t len = ek_host_command_path(path.data(), static_cast<std::int32_t>(path.size()));
    if (len >= static_cast<std::int32_t>(path.size())) {
        path.resize(static_cast<std::size_t>(len) + 1);
        len = ek_host_command_path(path.data(), static_cast<std::int32_t>(path.size()));
    }
    if (len < 0 || len >= static_cast<std::int32_t>(path.size())) return false;
    path.resize(static_cast<std::size_t>(len));
    std::string_view dirs = len > 0 ? std::string_view(path) : "/usr/bin:/bin";
    for (;;) {
        auto colon = dirs.find(':');
        std::string dir(dirs.substr(0, colon));
        std::string file = (dir.empty() ? "." : dir) + "/" + name;
        if (access(file.c_str(), X_OK) == 0) return true;
        if (colon == std::string_view::npos) return false;
        dirs.remove_prefix(colon + 1);
    }
}

std::string nearest(const std::string &word, const std::vector<std::string> &candidates) {
    std::string best;
    // A typo is a letter or two off, and never most of the word.
    std::size_t best_distance = std::min<std::size_t>(2, (word.size() + 1) / 2);
    // An abbreviation of exactly one candidate names it.
    auto abbreviates = [&word](const std::string &c) { return c.rfind(word, 0) == 0; };
    auto first = std::find_if(candidates.begin(), candidates.end(), abbreviates);
    if (word.size() > 2 && first != candidates.end() &&
        std::find_if(first + 1, candidates.end(), abbreviates) == candidates.end()) {
        return *first;
    }
    for (const auto &candidate : candidates) {
        // Levenshtein distance, one row at a time.
        std::vector<std::size_t> row(candidate.size() + 1);
        for (std::size_t j = 0; j < row.size(); ++j) row[j] = j;
        for (std::size_t i = 1; i <= word.size(); ++i) {
            std::size_t diagonal = row[0];
            row[0] = i;
            for (std::size_t j = 1; j <= candidate.size(); ++j) {
                std::size_t up = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                                   diagonal + (word[i - 1] == candidate[j - 1] ? 0 : 1)});
                diagonal = up;
            }
        }
        if (row.back() <= best_distance && (best.empty() || row.back() < best_distance)) {
            best = candidate;
            best_distance = row.back();
        }
    }
    return best;
}

std::string did_you_mean(const std::string &word, const std::vector<std::string> &candidates) {
    std::string best = nearest(word, candidates);
    return best.empty() ? "" : "; did you mean '" + best + "'?";
}

void start_log() {
    if (std::getenv("EK_LOG_STDERR") == nullptr) return;
    g_log_stderr = true;
    // syslog itself copies every record to stderr then: the library's own
    // syslog calls and the host platform's lines alike. The platform's
    // separate copy is turned off so that each line shows once.
    openlog("brdctl", LOG_PERROR, LOG_USER);
    unsetenv("EK_LOG_STDERR");
}

void with_quiet_stdio(const std::function<void()> &fn) {
    std::fflush(stdout);
    std::fflush(stderr);
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) {
        fn();
        return;
    }
    bool keep_stderr = g_log_stderr;
    int saved_out = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    int saved_err = keep_stderr ? -1 : fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    dup2(null_fd, STDOUT_FILENO);
    if (saved_err >= 0) dup2(null_fd, STDERR_FILENO);
    close(null_fd);

    struct Restore {
        int out, err;
        ~Restore() {
            if (out >= 0) {
                dup2(out, STDOUT_FILENO);
                close(out);
            }
            if (err >= 0) {
                dup2(err, STDERR_FILENO);
                close(err);
            }
        }
    } restore{saved_out, saved_err};
    fn();
}

CLI::App *add_command(CLI::App &parent, const std::string &name, const std::string &help,
                      std::function<void()> fn) {
    CLI::App *cmd = parent.add_subcommand(name, help);
    cmd->callback(std::move(fn));
    return cmd;
}

}  // namespace brdctl
