// A fake shell for the USB probe and the serial device count: it writes
// canned output into the command's redirect target. Each test binary has
// its own tmpfs /tmp, so the temporary files left behind can be listed.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fake_platform.h"

namespace fake_shell {

inline std::vector<std::string> temp_files() {
    std::vector<std::string> out;
    for (const auto &e : std::filesystem::directory_iterator("/tmp"))
        if (e.path().string().rfind("/tmp/ek_brd_lib_usb_modem_", 0) == 0) out.push_back(e.path());
    return out;
}

inline std::string redirect_target(const std::string &cmd) {
    size_t p = cmd.rfind("> ");
    return p == std::string::npos ? std::string() : cmd.substr(p + 2);
}

struct Shell {
    std::string output;  // of lsusb or the count, and that command's status
    int32_t status = 0;
    int32_t modeswitch_status = 0;
};

inline void install(const Shell &sh) {
    fake::state().system = [sh](const char *cmd) -> int32_t {
        if (std::string(cmd).rfind("usb_modeswitch ", 0) == 0) return sh.modeswitch_status;
        std::ofstream(redirect_target(cmd), std::ios::trunc) << sh.output;
        return sh.status;
    };
}

}  // namespace fake_shell
