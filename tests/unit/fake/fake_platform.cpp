#include "fake_platform.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdarg.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "platform/ek_db.h"
#include "platform/ek_platform.h"

struct ek_db {
    std::string path;
};

namespace fake {
namespace {

std::mutex g_mu;  // guards logs and counters against threaded tests

// Plain atomics: the malloc wrapper must not construct anything.
std::atomic<bool> g_malloc_armed{false};
std::atomic<long> g_malloc_count{0};
std::atomic<long> g_malloc_fail_at{-1};
std::atomic<bool> g_malloc_fail_all{false};
std::atomic<long> g_live{0};
std::atomic<int> g_open_handles{0};

std::string vformat(const char *fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) vsnprintf(out.data(), out.size() + 1, fmt, ap);
    return out;
}

void log(Channel c, int level, const char *tag, int line, std::string text) {
    std::lock_guard<std::mutex> lock(g_mu);
    state().logs.push_back({c, level, tag != nullptr ? tag : "", line, std::move(text)});
}

}  // namespace

State &state() {
    static State *s = new State();  // never destroyed: children _exit
    return *s;
}

void reset() {
    State &s = state();
    for (auto &[key, seg] : s.shms) munmap(seg.first, seg.second);
    s = State{};
    g_malloc_armed = false;
    g_malloc_count = 0;
    g_malloc_fail_at = -1;
    g_malloc_fail_all = false;
    g_open_handles = 0;
    g_live = 0;
}

Db &db(const std::string &path) {
    return state().dbs[path];
}

void put(const std::string &path, const std::string &key, const void *value, size_t len) {
    auto *bytes = static_cast<const uint8_t *>(value);
    Db &d = db(path);
    for (Record &r : d.records) {
        if (r.key == key) {
            r.value.assign(bytes, bytes + len);
            return;
        }
    }
    d.records.push_back({key, std::vector<uint8_t>(bytes, bytes + len)});
}

int open_handles() {
    return g_open_handles;
}

long live_allocations() {
    return g_live;
}

void arm_malloc(long fail_at) {
    g_malloc_count = 0;
    g_live = 0;
    g_malloc_fail_at = fail_at;
    g_malloc_armed = true;
}

void disarm_malloc() {
    g_malloc_armed = false;
    state().calls.mallocs = g_malloc_count;
}

std::vector<LogLine> logs(Channel c) {
    std::lock_guard<std::mutex> lock(g_mu);
    std::vector<LogLine> out;
    for (const LogLine &l : state().logs)
        if (l.channel == c) out.push_back(l);
    return out;
}

std::vector<std::string> texts(Channel c) {
    std::vector<std::string> out;
    for (const LogLine &l : logs(c)) out.push_back(l.text);
    return out;
}

void *shared_segment(int32_t key, size_t size) {
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    state().shms[key] = {p, size};
    return p;
}

bool in_fresh_process(const std::function<void()> &body) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        body();
        fflush(stdout);
        fflush(stderr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!ok) {
        ADD_FAILURE() << "the child process failed (wait status " << status << ")";
    }
    return ok;
}

}  // namespace fake

using fake::state;

// ---------------------------------------------------------------- database
extern "C" {

ek_db_handle_t ek_db_open_ex(const char *path, int32_t mode) {
    auto &s = state();
    s.calls.opens++;
    s.calls.open_paths.push_back(path);
    s.calls.open_modes.push_back(mode);
    if (s.faults.open_fail_all || s.faults.open_fails.count(path) != 0) return nullptr;
    fake::g_open_handles++;
    auto *h = new ek_db();
    h->path = path;
    return h;
}

int32_t ek_db_close(ek_db_handle_t h) {
    state().calls.closes++;
    fake::g_open_handles--;
    delete h;
    return 0;
}

int32_t ek_db_count(ek_db_handle_t h) {
    auto &s = state();
    s.calls.counts++;
    if (s.faults.count_result) return *s.faults.count_result;
    return static_cast<int32_t>(s.dbs[h->path].records.size());
}

int32_t ek_db_foreach(ek_db_handle_t h, ek_db_foreach_cb_t cb, void *arg) {
    auto &s = state();
    s.calls.foreach_calls++;
    size_t n = s.dbs[h->path].records.size();
    for (size_t i = 0; i < n; i++) {
        ek_db_key_desc_t key{{static_cast<uint32_t>(i), 0xfeedu}};
        cb(h, key, arg);
    }
    return 0;
}

int32_t ek_db_fetch_bykey(ek_db_handle_t h, ek_db_key_desc_t key, void *out) {
    auto &s = state();
    s.calls.fetches++;
    auto &recs = s.dbs[h->path].records;
    if (key.w[1] != 0xfeedu || key.w[0] >= recs.size()) return -1;
    if (s.faults.fetch_bykey_fail_at.count(static_cast<int>(key.w[0])) != 0) return -1;
    memcpy(out, recs[key.w[0]].value.data(), recs[key.w[0]].value.size());
    return 0;
}

int32_t ek_db_fetch(ek_db_handle_t h, const void *key, int32_t key_len, void *out) {
    auto &s = state();
    s.calls.fetches++;
    if (s.faults.fetch_fail) return -1;
    std::string k(static_cast<const char *>(key), static_cast<size_t>(key_len));
    for (const fake::Record &r : s.dbs[h->path].records) {
        if (r.key == k) {
            memcpy(out, r.value.data(), r.value.size());
            return 0;
        }
    }
    return -1;
}

int32_t ek_db_store(ek_db_handle_t h, const void *key, int32_t key_len, const void *value,
                    int32_t value_len) {
    auto &s = state();
    s.calls.stores++;
    if (s.faults.store_fail) return -1;
    fake::put(h->path, std::string(static_cast<const char *>(key), static_cast<size_t>(key_len)),
              value, static_cast<size_t>(value_len));
    return 0;
}

int32_t ek_db_delete_ex(ek_db_handle_t h, const void *key, int32_t key_len, int32_t mode) {
    auto &s = state();
    s.calls.deletes++;
    s.calls.delete_modes.push_back(mode);
    if (s.faults.delete_fail) return -1;
    std::string k(static_cast<const char *>(key), static_cast<size_t>(key_len));
    auto &recs = s.dbs[h->path].records;
    for (auto it = recs.begin(); it != recs.end(); ++it) {
        if (it->key == k) {
            recs.erase(it);
            return 0;
        }
    }
    return -1;
}

// ---------------------------------------------------------- process services

int32_t ek_sem_create(int32_t key, int32_t) {
    auto &s = state();
    s.calls.sem_creates++;
    s.calls.sem_keys.push_back(key);
    if (s.faults.sem_create_fail) return -1;
    return key & 0xffff;
}

int32_t ek_sem_wait(int32_t) {
    state().calls.sem_waits++;
    return state().faults.sem_op_result;
}

int32_t ek_sem_signal(int32_t) {
    state().calls.sem_signals++;
    return state().faults.sem_op_result;
}

int32_t ek_sem_destroy(int32_t) {
    state().calls.sem_destroys++;
    return 0;
}

void *ek_shm_create(int32_t *shm_id, int32_t key, uint32_t size, int32_t) {
    auto &s = state();
    s.calls.shm_creates++;
    s.calls.shm_keys.push_back(key);
    s.calls.shm_sizes.push_back(size);
    if (s.faults.shm_create_fail) return nullptr;
    *shm_id = key;
    auto it = s.shms.find(key);
    if (it != s.shms.end()) return it->second.first;
    return fake::shared_segment(key, size);
}

int32_t __ek_err(const char *tag, int32_t line, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fake::log(fake::Channel::ek_err, 3, tag, line, fake::vformat(fmt, ap));
    va_end(ap);
    return 0;
}

int32_t ek_log(int32_t level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fake::log(fake::Channel::ek_log, level, nullptr, 0, fake::vformat(fmt, ap));
    va_end(ap);
    return 0;
}

int32_t ek_sprintf(char *buf, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsprintf(buf, fmt, ap);
    va_end(ap);
    return n;
}

int32_t ek_system(const char *cmd) {
    auto &s = state();
    s.calls.systems++;
    s.commands.push_back(cmd);
    return s.system ? s.system(cmd) : -1;
}

int32_t ek_close(int32_t fd) {
    return close(fd);
}

int32_t ek_dcd_get_eth_mode_cfg(uint32_t idx, void *cfg) {
    auto &s = state();
    return s.dcd_eth ? s.dcd_eth(idx, cfg) : -1;
}

int32_t ek_dcd_get_usbnet_mode_cfg(const char *ifname, void *cfg) {
    auto &s = state();
    return s.dcd_usbnet ? s.dcd_usbnet(ifname, cfg) : -1;
}

int32_t ek_dcd_get_addr_byname(const char *ifname, uint32_t *addr, uint32_t *mask) {
    auto &s = state();
    return s.dcd_addr ? s.dcd_addr(ifname, addr, mask) : -1;
}

static int32_t ask(const char *which, const std::function<int32_t(const char *)> &fn,
                   const char *ifname) {
    state().predicate_calls.push_back(which);
    return fn ? fn(ifname) : 0;
}

int32_t ek_is_eth_ifname(const char *n) {
    return ask("eth", state().is_eth, n);
}
int32_t ek_is_p_ifname(const char *n) {
    return ask("p", state().is_p, n);
}
int32_t ek_is_usbnet_ppp_ifname(const char *n) {
    return ask("usbnet_ppp", state().is_usbnet_ppp, n);
}
int32_t ek_is_usb_ifname(const char *n) {
    return ask("usb", state().is_usb, n);
}

// ------------------------------------------------------ linker-wrapped libc

void *__real_malloc(size_t);
void *__wrap_malloc(size_t n) {
    if (fake::g_malloc_armed.load(std::memory_order_relaxed)) {
        long k = fake::g_malloc_count.fetch_add(1);
        if (fake::g_malloc_fail_all || k == fake::g_malloc_fail_at) return nullptr;
        void *p = __real_malloc(n);
        if (p != nullptr) fake::g_live++;
        return p;
    }
    return __real_malloc(n);
}

// The compiler may fold malloc followed by a zero fill into calloc; it is
// the same allocation to the tests, counted and failed like malloc.
void *__real_calloc(size_t, size_t);
void *__wrap_calloc(size_t n, size_t size) {
    if (fake::g_malloc_armed.load(std::memory_order_relaxed)) {
        long k = fake::g_malloc_count.fetch_add(1);
        if (fake::g_malloc_fail_all || k == fake::g_malloc_fail_at) return nullptr;
        void *p = __real_calloc(n, size);
        if (p != nullptr) fake::g_live++;
        return p;
    }
    return __real_calloc(n, size);
}

// Only frees made while armed count against the allocations made while
// armed; the caller-owned nodes a test frees afterwards are not seen.
void __real_free(void *);
void __wrap_free(void *p) {
    if (p != nullptr && fake::g_malloc_armed.load(std::memory_order_relaxed)) fake::g_live--;
    __real_free(p);
}

int __wrap_snprintf(char *buf, size_t size, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    const std::optional<int> &forced = state().faults.snprintf_result;
    return forced ? *forced : n;
}

void __wrap_syslog(int priority, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fake::log(fake::Channel::syslog, priority, nullptr, 0, fake::vformat(fmt, ap));
    va_end(ap);
}

FILE *__real_fopen(const char *, const char *);
FILE *__wrap_fopen(const char *path, const char *mode) {
    auto &s = state();
    if (s.faults.fopen_fail) {
        errno = ENOENT;
        return nullptr;
    }
    auto it = s.fopen_redirect.find(path);
    return __real_fopen(it != s.fopen_redirect.end() ? it->second.c_str() : path, mode);
}

int __real_mkstemp(char *);
int __wrap_mkstemp(char *tmpl) {
    if (state().faults.mkstemp_fail) {
        errno = EACCES;
        return -1;
    }
    return __real_mkstemp(tmpl);
}

int __real_unlink(const char *);
int __wrap_unlink(const char *path) {
    if (state().faults.unlink_result != 0) return state().faults.unlink_result;
    return __real_unlink(path);
}

unsigned __real_if_nametoindex(const char *);
unsigned __wrap_if_nametoindex(const char *name) {
    auto &s = state();
    return s.if_nametoindex ? s.if_nametoindex(name) : __real_if_nametoindex(name);
}

}  // extern "C"
