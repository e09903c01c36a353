// brdctl: see and change the brd component's shared state from a shell.
#include <cctype>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "brdctl.h"

namespace {

// "nat save" for the deepest subcommand the parser reached.
std::string command_path(const CLI::App &app) {
    std::string path;
    const CLI::App *cur = &app;
    for (;;) {
        auto subs = cur->get_subcommands();
        if (subs.empty()) break;
        cur = subs.front();
        if (!path.empty()) path += ' ';
        path += cur->get_name();
    }
    return path;
}

std::vector<const CLI::App *> subcommands_of(const CLI::App &app) {
    return app.get_subcommands([](const CLI::App *sub) { return !sub->get_name().empty(); });
}

std::string did_you_mean(const std::string &word, const std::vector<std::string> &known) {
    std::string best = brdctl::nearest(word, known);
    return best.empty() ? "" : "; did you mean '" + best + "'?";
}

struct Unknown {
    std::string path;  // the subcommands before the word
    std::string message;
};

// The first word of the command line that the command tree does not know.
// CLI11 reports such a word late and under the wrong subcommand ("A
// subcommand is required"), so a failed parse walks the tree again itself.
std::optional<Unknown> find_unknown(const CLI::App &app, int argc, char **argv) {
    const CLI::App *cur = &app;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--") break;
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
        if (subs.empty()) continue;  // an argument of the command
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
// unless the command already printed its answer.
int report(const brdctl::Context &ctx, const std::string &path, int code, const std::string &what) {
    std::string line = path + (path.empty() ? "" : ": ") + what;
    if (ctx.json && !ctx.emitted) {
        brdctl::Json doc{{"error", line}, {"status", code}};
        std::fputs((doc.dump(2) + "\n").c_str(), stdout);
    }
    std::fflush(stdout);
    std::fprintf(stderr, "brdctl: %s\n", line.c_str());
    return code;
}

}  // namespace

int main(int argc, char **argv) {
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

    // A usage error may stop the parser before it reaches --json.
    for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) {
        if (std::string(argv[i]) == "--json") ctx.json = true;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {  // --help, --version
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        if (auto unknown = find_unknown(app, argc, argv)) {
            return report(ctx, unknown->path, brdctl::kUsage, unknown->message);
        }
        return report(ctx, command_path(app), brdctl::kUsage, e.what());
    } catch (const brdctl::Failure &e) {
        return report(ctx, command_path(app), e.code(), e.what());
    } catch (const std::exception &e) {
        return report(ctx, command_path(app), brdctl::kFailed, e.what());
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        return report(ctx, command_path(app), brdctl::kFailed, "cannot write the output");
    }
    return ctx.status;
}
