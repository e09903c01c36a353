// A fake shell for the USB probe and the serial device count: it writes
// canned command output into the command's redirect target. Each test
// binary runs with its own tmpfs /tmp, so the temporary files left behind
// or removed can be listed.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fake_platform.h"

namespace fake_shell {

inline std::vector<std::string> temp_files() {
    std::vector<std::string> out;
    for (const auto &e : std::filesystem::directory_iterator("/tmp")) {
        std::string name = e.path().string();
        if (name.rfind("/tmp/ek_brd_lib_usb_modem_", 0) == 0) out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

inline std::string redirect_target(const std::string &cmd) {
    size_t p = cmd.rfind("> ");
    return p == std::string::npos ? std::string() : cmd.substr(p + 2);
}

struct Shell {
    std::string output;  // written into the redirect target of lsusb / the count
    int32_t status = 0;  // of that command
    int32_t modeswitch_status = 0;
};

inline void install(const Shell &sh) {
    fake::state().system = [sh](const char *cmd) -> int32_t {
        std::string c = cmd;
        if (c.rfind("usb_modeswitch ", 0) == 0) return sh.modeswitch_status;
        std::ofstream(redirect_target(c), std::ios::trunc) << sh.output;
        return sh.status;
    };
}

}  // namespace fake_shell
