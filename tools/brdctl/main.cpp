// brdctl: see and change the brd component's shared state from a shell.
#include <cstdio>
#include <exception>
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

int report(const CLI::App &app, int code, const std::string &what) {
    std::string path = command_path(app);
    std::fflush(stdout);
    std::fprintf(stderr, "brdctl: %s%s%s\n", path.c_str(), path.empty() ? "" : ": ", what.c_str());
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

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        return report(app, brdctl::kUsage, e.what());
    } catch (const brdctl::Failure &e) {
        return report(app, e.code(), e.what());
    } catch (const std::exception &e) {
        return report(app, brdctl::kFailed, e.what());
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        return report(app, brdctl::kFailed, "cannot write the output");
    }
    return ctx.status;
}
