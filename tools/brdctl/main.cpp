// brdctl: see and change the brd component's shared state from a shell.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

#include "brdctl.h"

namespace {

// The deepest subcommand the parser reached.
const CLI::App &deepest(const CLI::App &app) {
    const CLI::App *cur = &app;
    while (!cur->get_subcommands().empty()) cur = cur->get_subcommands().front();
    return *cur;
}

// "nat save" for the deepest subcommand the parser reached.
std::string command_path(const CLI::App &app) {
    std::string path;
    for (const CLI::App *cur = &deepest(app); cur->get_parent() != nullptr;
         cur = cur->get_parent()) {
        path = cur->get_name() + (path.empty() ? "" : " ") + path;
    }
    return path;
}

std::vector<const CLI::App *> subcommands_of(const CLI::App &app) {
    return app.get_subcommands([](const CLI::App *sub) { return !sub->get_name().empty(); });
}

// "brdctl nat save ID NAME TYPE", "brdctl cpe get [FIELD]"
std::string usage_of(const CLI::App &app) {
    std::string line =
        "brdctl" + std::string(command_path(app).empty() ? "" : " ") + command_path(app);
    for (const CLI::Option *opt : app.get_options()) {
        if (opt->get_positional()) {
            std::string arg = opt->get_name() + (opt->get_items_expected_max() > 1 ? "..." : "");
            line += " " + (opt->get_required() ? arg : "[" + arg + "]");
        }
    }
    return line;
}

// The parser's complaint as a sentence of ours, with what would be right.
std::string in_our_words(const CLI::ParseError &e, const CLI::App &app) {
    const CLI::App &cmd = deepest(app);
    std::string text = e.what();
    // Some errors carry the subcommand's name in place of their own.
    auto is = [&e]<typename T>(T *) { return dynamic_cast<const T *>(&e) != nullptr; };
    bool required = is(static_cast<CLI::RequiredError *>(nullptr));
    if (required && text == "A subcommand is required") {
        std::string names;
        for (const CLI::App *sub : subcommands_of(cmd)) {
            names += (names.empty() ? "" : ", ") + sub->get_name();
        }
        return "a command is needed: one of " + names;
    }
    const std::string is_required = " is required";
    if (required && text.ends_with(is_required)) {
        return "missing " + text.substr(0, text.size() - is_required.size()) +
               "; usage: " + usage_of(cmd);
    }
    const std::string extras = "not expected: ";
    if (is(static_cast<CLI::ExtrasError *>(nullptr)) && text.find(extras) != std::string::npos) {
        // The parser lists them last first.
        std::istringstream words(text.substr(text.find(extras) + extras.size()));
        std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
        std::string list;
        for (auto it = args.rbegin(); it != args.rend(); ++it)
            list += (list.empty() ? "" : " ") + *it;
        return std::string(args.size() > 1 ? "unexpected arguments '" : "unexpected argument '") +
               list + "'; usage: " + usage_of(cmd);
    }
    if (is(static_cast<CLI::ArgumentMismatch *>(nullptr))) {
        std::string name = text.substr(0, text.find(':'));
        if (text.find("At Most") != std::string::npos) {
            return name + " is given more than once; it takes one value";
        }
        return "a value is missing after " + name;
    }
    if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

// What --help shows of every level: --json, and names for what each
// argument holds rather than the parser's TEXT.
void finish_tree(CLI::App &app, brdctl::Context &ctx, bool root) {
    if (!root) app.add_flag("--json", ctx.json, "Print one JSON document instead of text");
    // A positional keeps a type name that lists its values ("{a,b}"):
    // the completion offers them.
    for (CLI::Option *opt : app.get_options()) {
        if (opt->get_positional() && opt->get_type_name() == "TEXT") opt->type_name("");
    }
    for (CLI::App *sub : app.get_subcommands([](CLI::App *) { return true; })) {
        finish_tree(*sub, ctx, false);
    }
}

using brdctl::did_you_mean;

struct Unknown {
    std::string path;  // the subcommands before the word
    std::string message;
    bool after_mark = false;  // a word after "--" that no argument takes
};

// "unexpected argument 'x'; usage: ..." for the words [first, argc).
std::string unexpected(const CLI::App &cmd, int first, int argc, char **argv) {
    std::string list;
    for (int i = first; i < argc; ++i) list += (list.empty() ? "" : " ") + std::string(argv[i]);
    return std::string(argc - first > 1 ? "unexpected arguments '" : "unexpected argument '") +
           list + "'; usage: " + usage_of(cmd);
}

// The first word of the command line that the command tree does not know.
// CLI11 reports such a word late and under the wrong subcommand ("A
// subcommand is required"), so a failed parse walks the tree again itself.
// After "--" every word is an argument; CLI11 forgets that when the command
// has no argument left to fill and parses the rest as options of the
// commands above (`nat list -- --json`), so the walk, made before the
// parse too, names such words itself.
std::optional<Unknown> find_unknown(const CLI::App &app, int argc, char **argv) {
    const CLI::App *cur = &app;
    std::string path;
    std::size_t given = 0;  // arguments of the command before "--"
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--") {
            if (!subcommands_of(*cur).empty()) break;
            std::size_t room = 0;
            for (const CLI::Option *opt : cur->get_options()) {
                if (opt->get_positional()) room += opt->get_items_expected_max();
            }
            std::size_t after = static_cast<std::size_t>(argc - i - 1);
            if (given + after <= room) break;
            int first = i + 1 + static_cast<int>(room > given ? room - given : 0);
            return Unknown{path, unexpected(*cur, first, argc, argv), true};
        }
        if (word.size() > 1 && word[0] == '-' &&
            !std::isdigit(static_cast<unsigned char>(word[1]))) {
            std::string name = word.substr(0, word.find('='));
            // Options of the subcommands above are accepted too (fallthrough).
            const CLI::Option *opt = nullptr;
            std::vector<std::string> known;
            for (const CLI::App *a = cur; a != nullptr && opt == nullptr; a = a->get_parent()) {
                opt = a->get_option_no_throw(name);
                for (const CLI::Option *o : a->get_options()) {
                    for (const auto &l : o->get_lnames()) known.push_back("--" + l);
                }
            }
            if (opt == nullptr) {
                return Unknown{path, "unknown option '" + name + "'" + did_you_mean(name, known)};
            }
            if (opt->get_items_expected_max() > 0 && name.size() == word.size()) ++i;
            continue;
        }
        auto subs = subcommands_of(*cur);
        if (subs.empty()) {  // an argument of the command
            ++given;
            continue;
        }
        const CLI::App *next = nullptr;
        std::vector<std::string> names;
        for (const CLI::App *sub : subs) {
            names.push_back(sub->get_name());
            if (sub->get_name() == word) next = sub;
        }
        if (next == nullptr) {
            return Unknown{path, "unknown command '" + word + "'" + did_you_mean(word, names)};
        }
        cur = next;
        path += (path.empty() ? "" : " ") + word;
    }
    return std::nullopt;
}

// The error line on stderr, and with --json the one document on stdout
// unless the command already printed its answer. Messages hold names raw
// (from arguments, records, documents, the host's log); they are escaped
// here, once.
int report(const brdctl::Context &ctx, const std::string &path, int code, const std::string &what) {
    std::string line = brdctl::escaped(path + (path.empty() ? "" : ": ") + what);
    if (ctx.json && !ctx.emitted) {
        brdctl::Json doc{{"error", line}, {"status", code}};
        std::fputs((doc.dump(2, ' ', true) + "\n").c_str(), stdout);
    }
    std::fflush(stdout);
    std::fprintf(stderr, "brdctl: %s\n", line.c_str());
    return code;
}

// Whether standard output is a pipe or socket whose reading end is closed.
bool reader_gone() {
    struct stat st {};
    if (fstat(STDOUT_FILENO, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
        return false;
    }
    pollfd out{STDOUT_FILENO, POLLOUT, 0};
    return poll(&out, 1, 0) == 1 && (out.revents & POLLERR) != 0;
}

}  // namespace

int main(int argc, char **argv) {
    brdctl::start_log();
    brdctl::Context ctx;
    CLI::App app(
        "See and change the shared state of the brd component: CPE segment values, WAN "
        "interfaces, NAT policies, USB modem configurations and the USB bus.\n"
        "Exit status: 0 success or yes, 1 no or not found, 2 usage error, 3 failure.",
        "brdctl");
    app.add_flag("--json", ctx.json, "Print one JSON document instead of text");
    app.set_version_flag("--version", "brdctl " BRDCTL_VERSION, "Print the version and exit");
    app.require_subcommand(1);
    app.fallthrough();  // --json is accepted after the subcommand too

    brdctl::add_status(app, ctx);
    brdctl::add_cpe(app, ctx);
    brdctl::add_wanif(app, ctx);
    brdctl::add_nat(app, ctx);
    brdctl::add_subnet(app, ctx);
    brdctl::add_modem(app, ctx);
    brdctl::add_modeswitch(app, ctx);
    brdctl::add_usb(app, ctx);
    brdctl::add_dcd(app, ctx);
    brdctl::add_state(app, ctx);
    finish_tree(app, ctx, true);

    // A usage error may stop the parser before it reaches --json.
    for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) {
        if (std::string(argv[i]) == "--json") ctx.json = true;
    }
    if (auto extra = find_unknown(app, argc, argv); extra && extra->after_mark) {
        return report(ctx, extra->path, brdctl::kUsage, extra->message);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {  // --help, --version
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        if (auto unknown = find_unknown(app, argc, argv)) {
            return report(ctx, unknown->path, brdctl::kUsage, unknown->message);
        }
        return report(ctx, command_path(app), brdctl::kUsage, in_our_words(e, app));
    } catch (const brdctl::Failure &e) {
        return report(ctx, command_path(app), e.code(), e.what());
    } catch (const std::exception &e) {
        return report(ctx, command_path(app), brdctl::kFailed, e.what());
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        // The reader went away (`brdctl export | head`): nothing to report,
        // and the same end as any tool whose output is cut short, whether
        // SIGPIPE came ignored or not.
        if (errno == EPIPE || reader_gone()) {
            std::signal(SIGPIPE, SIG_DFL);
            std::raise(SIGPIPE);
        }
        return report(ctx, command_path(app), brdctl::kFailed, "cannot write the output");
    }
    return ctx.status;
}
