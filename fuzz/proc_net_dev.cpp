// Address and mask, then /proc/net/dev: the answer and the interfaces asked
// about must be those of a plain re-reading of the file.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/shm_word.h"
#include "ek_brd.h"

static std::string g_file;
static std::vector<std::string> g_asked;

// mgt0 is 10.1.2.3/24; other names of even length get an address and mask of
// their own, names of odd length are unknown.
extern "C" int32_t ek_dcd_get_addr_byname(const char *name, uint32_t *addr, uint32_t *mask) {
    g_asked.push_back(name);
    uint32_t h = 2166136261u;
    for (const char *c = name; *c != '\0'; c++) h = (h ^ static_cast<uint8_t>(*c)) * 16777619u;
    *addr = strcmp(name, "mgt0") == 0 ? 0x0a010203 : h;
    *mask = strcmp(name, "mgt0") == 0 ? 0xffffff00 : 0xffffffffu << (h % 32);
    return strlen(name) % 2 == 0 ? 0 : -1;
}

extern "C" FILE *__real_fopen(const char *, const char *);
extern "C" FILE *__wrap_fopen(const char *path, const char *mode) {
    if (strcmp(path, "/proc/net/dev") != 0) return __real_fopen(path, mode);
    return g_file.empty() ? __real_fopen("/dev/null", mode)
                          : fmemopen(g_file.data(), g_file.size(), mode);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint32_t want[2] = {0, 0};  // address, mask
    size_t head = size < 8 ? size : 8;
    memcpy(want, data, head);
    g_file.assign(reinterpret_cast<const char *>(data) + head, size - head);
    // One local VPN subnet, 10.8.0.0/16: count, address, mask, the flag.
    static auto *cpe = static_cast<uint8_t *>(ek_brd_get_cpe_shm_data());
    const int32_t vpn[] = {1, 0x0a080000, static_cast<int32_t>(0xffff0000u), 0, 0, 0, 0, 1};
    for (int i = 0; i < 8; i++) ek::shm_word(cpe, EK_BRD_CPE_VPN_SUBNETS_OFFSET + 4 * i) = vpn[i];
    bool got = ek_brd_lib_is_cpe_local_subnet(&want[0], &want[1]) != 0;
    std::vector<std::string> asked = std::exchange(g_asked, {});
    // Past two header lines, each line up to its first NUL names an interface
    // between its leading blanks and its first ':'; the first match ends the read.
    bool in_vpn = want[0] == 0x0a080000 && want[1] == 0xffff0000u, found = false;
    std::istringstream file(g_file);
    std::string line;
    for (int n = 0; !found && std::getline(file, line); n++) {
        line.resize(strlen(line.c_str()));
        size_t start = line.find_first_not_of(" \t\n\v\f\r"), colon = line.find(':', start);
        if (n < 2 || colon == std::string::npos || line.compare(start, 4, "mgt0") != 0) continue;
        uint32_t addr, mask;
        found =
            ek_dcd_get_addr_byname(line.substr(start, colon - start).c_str(), &addr, &mask) == 0 &&
            (addr & mask) == (want[0] & want[1]) && mask == want[1];
    }
    if (got != (in_vpn || found) || asked != std::exchange(g_asked, {})) abort();
    return 0;
}
