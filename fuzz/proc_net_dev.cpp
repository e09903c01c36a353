// The local-subnet test reading /proc/net/dev: the first 8 bytes of an
// input are the caller's address and mask, the rest is what the file
// holds. fopen of /proc/net/dev is redirected to the input in memory. The
// answer, and the interfaces the configuration service is asked about, must
// be those of a plain re-reading of the file.
#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/shm_word.h"
#include "ek_brd.h"
#include "fuzz_platform.h"

namespace {

std::string g_file;
std::vector<std::string> g_asked;

void check(bool ok) {
    if (!ok) abort();
}

constexpr uint32_t kVpnAddr = 0x0a080000, kVpnMask = 0xffff0000;

// mgt0 itself is 10.1.2.3/24; other names get an address of their own,
// and names of odd length are unknown to the service.
int32_t addr_by_name(const char *name, uint32_t *addr, uint32_t *mask) {
    check(strncmp(name, "mgt0", 4) == 0 && strchr(name, ':') == nullptr);
    g_asked.push_back(name);
    size_t n = strlen(name);
    if (n % 2 == 1) return -1;
    if (n == 4) {
        *addr = 0x0a010203;
        *mask = 0xffffff00;
        return 0;
    }
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; i++) h = (h ^ static_cast<unsigned char>(name[i])) * 16777619u;
    *addr = h;
    *mask = 0xffffffffu << (h % 33 == 32 ? 0 : h % 33);
    return 0;
}

// The same file, re-read plainly: two header lines skipped, then every line
// up to its first NUL, the name between leading blanks and the first ':'.
int reread(uint32_t addr, uint32_t mask, std::vector<std::string> *asked) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < g_file.size()) {
        size_t nl = g_file.find('\n', start);
        size_t end = nl == std::string::npos ? g_file.size() : nl + 1;
        lines.push_back(g_file.substr(start, end - start));
        start = end;
    }
    for (size_t i = 2; i < lines.size(); i++) {
        std::string line = lines[i].substr(0, strnlen(lines[i].c_str(), lines[i].size()));
        size_t p = 0;
        while (p < line.size() && isspace(static_cast<unsigned char>(line[p]))) p++;
        size_t colon = line.find(':', p);
        if (colon == std::string::npos) continue;
        std::string name = line.substr(p, colon - p);
        if (name.compare(0, 4, "mgt0") != 0 || name.size() < 4) continue;
        uint32_t a = 0, m = 0;
        asked->push_back(name);
        if (addr_by_name(name.c_str(), &a, &m) != 0) continue;
        if ((a & m) == (addr & mask) && m == mask) return 1;
    }
    return addr == kVpnAddr && mask == kVpnMask ? 1 : 0;
}

}  // namespace

extern "C" FILE *__real_fopen(const char *, const char *);
extern "C" FILE *__wrap_fopen(const char *path, const char *mode) {
    if (strcmp(path, "/proc/net/dev") != 0) return __real_fopen(path, mode);
    if (g_file.empty()) return __real_fopen("/dev/null", mode);
    return fmemopen(g_file.data(), g_file.size(), mode);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint32_t words[2] = {0, 0};
    size_t head = size < sizeof words ? size : sizeof words;
    memcpy(words, data, head);
    g_file.assign(reinterpret_cast<const char *>(data) + head, size - head);

    static uint8_t *cpe = [] {
        fuzz_platform::set_addr_by_name(addr_by_name);
        auto *base = static_cast<uint8_t *>(ek_brd_get_cpe_shm_data());
        ek::shm_word(base, EK_BRD_CPE_VPN_SUBNETS_OFFSET) = 1;
        ek::shm_word(base, EK_BRD_CPE_VPN_SUBNETS_OFFSET + 4) = static_cast<int32_t>(kVpnAddr);
        ek::shm_word(base, EK_BRD_CPE_VPN_SUBNETS_OFFSET + 8) = static_cast<int32_t>(kVpnMask);
        ek::shm_word(base, EK_BRD_CPE_VPN_SUBNETS_OFFSET + 28) = 1;
        return base;
    }();
    check(cpe != nullptr);

    g_asked.clear();
    int got = ek_brd_lib_is_cpe_local_subnet(&words[0], &words[1]);
    std::vector<std::string> asked = std::move(g_asked);
    std::vector<std::string> want_asked;
    int want = reread(words[0], words[1], &want_asked);
    check(got == want);
    check(asked == want_asked);
    return 0;
}
