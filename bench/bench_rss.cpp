// Resident memory that loading libek_brd.so adds to a process. The process
// already holds the platform libraries (as every caller does); the delta is
// the library's own mapped and touched pages after dlopen with every
// symbol bound.
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

namespace {

long vm_rss_kib() {
    FILE *f = fopen("/proc/self/status", "r");
    if (f == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, "VmRSS:", 6) == 0) {
            sscanf(line + 6, "%ld", &kib);
            break;
        }
    }
    fclose(f);
    return kib;
}

// Resident pages of the mappings of one file (its code, data and relro).
long mapped_rss_kib(const char *name) {
    FILE *f = fopen("/proc/self/smaps", "r");
    if (f == nullptr) return -1;
    char line[512];
    bool mine = false;
    long kib = 0;
    while (fgets(line, sizeof line, f) != nullptr) {
        unsigned long from, to;
        long v;
        if (sscanf(line, "%lx-%lx ", &from, &to) == 2) {
            mine = strstr(line, name) != nullptr;
        } else if (mine && sscanf(line, "Rss: %ld kB", &v) == 1) {
            kib += v;
        }
    }
    fclose(f);
    return kib;
}

}  // namespace

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : EK_BRD_SO;
    long before = vm_rss_kib();
    void *lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    long loaded = vm_rss_kib();
    // The first accessor call attaches the CPE segment: its pages count
    // only once touched, so this adds the page of the header and the one
    // of the word read.
    auto get_auth = reinterpret_cast<int (*)()>(dlsym(lib, "ek_brd_get_brd_auth"));
    if (get_auth != nullptr) get_auth();
    long attached = vm_rss_kib();
    printf(
        "{\"rss_before_kib\": %ld, \"rss_loaded_kib\": %ld, \"rss_attached_kib\": %ld, "
        "\"library_mappings_kib\": %ld}\n",
        before, loaded, attached, mapped_rss_kib("libek_brd.so"));
    return 0;
}
