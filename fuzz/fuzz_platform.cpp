#include "fuzz_platform.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>

#include "platform/ek_platform.h"

namespace {

std::map<int32_t, uint8_t *> &segments() {
    static std::map<int32_t, uint8_t *> s;
    return s;
}

fuzz_platform::AddrByName g_addr_by_name = nullptr;

}  // namespace

namespace fuzz_platform {

uint8_t *segment(int32_t key) {
    auto it = segments().find(key);
    return it == segments().end() ? nullptr : it->second;
}

void set_addr_by_name(AddrByName fn) {
    g_addr_by_name = fn;
}

}  // namespace fuzz_platform

extern "C" {

int32_t ek_sem_create(int32_t key, int32_t) {
    return key & 0xffff;
}
int32_t ek_sem_wait(int32_t) {
    return 0;
}
int32_t ek_sem_signal(int32_t) {
    return 0;
}
int32_t ek_sem_destroy(int32_t) {
    return 0;
}

void *ek_shm_create(int32_t *shm_id, int32_t key, uint32_t size, int32_t) {
    *shm_id = key;
    uint8_t *&seg = segments()[key];
    if (seg == nullptr) seg = static_cast<uint8_t *>(calloc(1, size));
    return seg;
}

int32_t __ek_err(const char *, int32_t, const char *, ...) {
    return 0;
}

int32_t ek_log(int32_t, const char *, ...) {
    return 0;
}

int32_t ek_sprintf(char *buf, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsprintf(buf, fmt, ap);
    va_end(ap);
    return n;
}

int32_t ek_dcd_get_addr_byname(const char *name, uint32_t *addr, uint32_t *mask) {
    return g_addr_by_name != nullptr ? g_addr_by_name(name, addr, mask) : -1;
}

// The NAT table reports range errors through syslog; nothing to record.
void __wrap_syslog(int, const char *, ...) {}

}  // extern "C"
