#include "fake_platform.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>
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

std::mutex g_mu;  // guards the captured logs against threaded tests
std::atomic<bool> g_armed{false};
std::atomic<long> g_count{0}, g_fail_at{-1}, g_live{0};
std::atomic<int> g_open_handles{0};

void log(Channel c, int level, const char *tag, int line, const char *fmt, va_list ap) {
    char text[1024];
    vsnprintf(text, sizeof text, fmt, ap);
    std::lock_guard<std::mutex> lock(g_mu);
    state().logs.push_back({c, level, line, tag, text});
}
Record *find(const std::string &path, const std::string &key) {
    for (Record &r : state().dbs[path])
        if (r.first == key) return &r;
    return nullptr;
}
template <typename Alloc>
void *counted(Alloc alloc) {
    if (!g_armed.load(std::memory_order_relaxed)) return alloc();
    if (g_count.fetch_add(1) == g_fail_at) return nullptr;
    void *p = alloc();
    if (p != nullptr) g_live++;
    return p;
}

}  // namespace

State &state() {
    static State *s = new State();  // never destroyed: children _exit
    return *s;
}
void reset() {
    for (auto &[key, seg] : state().shms) munmap(seg.first, seg.second);
    state() = State{};
    g_armed = false, g_open_handles = 0;
}
void put(const std::string &path, const std::string &key, const void *value, size_t len) {
    auto *bytes = static_cast<const uint8_t *>(value);
    Record *r = find(path, key);
    if (r == nullptr) r = &state().dbs[path].emplace_back(key, std::vector<uint8_t>{});
    r->second.assign(bytes, bytes + len);
}
int open_handles() {
    return g_open_handles;
}
void arm_malloc(long fail_at) {
    g_count = 0, g_live = 0, g_fail_at = fail_at, g_armed = true;
}
void disarm_malloc() {
    g_armed = false;
    state().calls.mallocs = g_count, state().calls.live = g_live;
}
void *shared_segment(int32_t key, size_t size) {
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    state().shms[key] = {p, size};
    return p;
}
void in_fresh_process(const std::function<void()> &body) {
    // Only the child's own failures count: an earlier case's must not fail it.
    const auto *result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
    const int before = result->total_part_count();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        body();
        fflush(nullptr);
        _exit(result->total_part_count() > before ? 1 : 0);
    }
    int status = -1;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    EXPECT_TRUE(pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "wait status " << status;
}

}  // namespace fake

using fake::state;

extern "C" {

ek_db_handle_t ek_db_open_ex(const char *path, int32_t) {
    auto &s = state();
    if (s.faults.open_fails.count(path) != 0) return nullptr;
    fake::g_open_handles++;
    return new ek_db{path};
}
int32_t ek_db_close(ek_db_handle_t h) {
    fake::g_open_handles--;
    delete h;
    return 0;
}
int32_t ek_db_count(ek_db_handle_t h) {
    auto &s = state();
    return s.faults.count_result.value_or(static_cast<int32_t>(s.dbs[h->path].size()));
}
int32_t ek_db_foreach(ek_db_handle_t h, ek_db_foreach_cb_t cb, void *arg) {
    size_t n = state().dbs[h->path].size();
    for (uint32_t i = 0; i < n; i++) cb(h, ek_db_key_desc_t{{i, 0xfeedu}}, arg);
    return 0;
}
int32_t ek_db_fetch_bykey(ek_db_handle_t h, ek_db_key_desc_t key, void *out) {
    auto &s = state();
    s.calls.fetches++;
    auto &recs = s.dbs[h->path];
    if (key.w[1] != 0xfeedu || key.w[0] >= recs.size()) return -1;
    if (s.faults.fetch_bykey_fail_at.count(static_cast<int>(key.w[0])) != 0) return -1;
    memcpy(out, recs[key.w[0]].second.data(), recs[key.w[0]].second.size());
    return 0;
}
int32_t ek_db_fetch(ek_db_handle_t h, const void *key, int32_t key_len, void *out) {
    state().calls.fetches++;
    fake::Record *r =
        fake::find(h->path, {static_cast<const char *>(key), static_cast<size_t>(key_len)});
    if (r == nullptr) return -1;
    memcpy(out, r->second.data(), r->second.size());
    return 0;
}
int32_t ek_db_store(ek_db_handle_t h, const void *key, int32_t key_len, const void *value,
                    int32_t value_len) {
    if (state().faults.store_fail) return -1;
    fake::put(h->path, {static_cast<const char *>(key), static_cast<size_t>(key_len)}, value,
              static_cast<size_t>(value_len));
    return 0;
}
int32_t ek_db_delete_ex(ek_db_handle_t h, const void *key, int32_t key_len, int32_t) {
    auto &recs = state().dbs[h->path];
    fake::Record *r =
        fake::find(h->path, {static_cast<const char *>(key), static_cast<size_t>(key_len)});
    if (r == nullptr) return -1;
    recs.erase(recs.begin() + (r - recs.data()));
    return 0;
}
int32_t ek_sem_create(int32_t key, int32_t) {
    auto &s = state();
    s.calls.sem_creates++;
    return s.faults.sem_create_fail ? -1 : key & 0xffff;
}
int32_t ek_sem_wait(int32_t) {
    state().calls.sem_waits++;
    return state().faults.sem_op_result;
}
int32_t ek_sem_signal(int32_t) {
    return state().faults.sem_op_result;
}
int32_t ek_sem_destroy(int32_t) {
    state().calls.sem_destroys++;
    return 0;
}
void *ek_shm_create(int32_t *shm_id, int32_t key, uint32_t size, int32_t) {
    auto &s = state();
    s.calls.shm_creates++;
    if (s.faults.shm_create_fail) return nullptr;
    *shm_id = key;
    auto it = s.shms.find(key);
    if (it == s.shms.end()) return fake::shared_segment(key, size);
    return it->second.second == size ? it->second.first : nullptr;  // another size: no attach
}
#define FAKE_LOG(channel, level, tag, line)        \
    va_list ap;                                    \
    va_start(ap, fmt);                             \
    fake::log(channel, level, tag, line, fmt, ap); \
    va_end(ap)
int32_t __ek_err(const char *tag, int32_t line, const char *fmt, ...) {
    FAKE_LOG(fake::Channel::ek_err, 3, tag, line);
    return 0;
}
int32_t ek_log(int32_t level, const char *fmt, ...) {
    FAKE_LOG(fake::Channel::ek_log, level, "", 0);
    return 0;
}
void __wrap_syslog(int priority, const char *fmt, ...) {
    FAKE_LOG(fake::Channel::syslog, priority, "", 0);
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
    s.commands.push_back(cmd);
    return s.system ? s.system(cmd) : -1;
}
int32_t ek_close(int32_t fd) {
    return close(fd);
}
int32_t ek_dcd_get_eth_mode_cfg(uint32_t idx, void *cfg) {
    return state().dcd_eth ? state().dcd_eth(idx, cfg) : -1;
}
int32_t ek_dcd_get_usbnet_mode_cfg(const char *ifname, void *cfg) {
    return state().dcd_usbnet ? state().dcd_usbnet(ifname, cfg) : -1;
}
int32_t ek_dcd_get_addr_byname(const char *ifname, uint32_t *addr, uint32_t *mask) {
    return state().dcd_addr ? state().dcd_addr(ifname, addr, mask) : -1;
}

#define FAKE_PREDICATE(cls)                                   \
    int32_t ek_is_##cls##_ifname(const char *name) {          \
        return state().is_##cls ? state().is_##cls(name) : 0; \
    }
FAKE_PREDICATE(eth)
FAKE_PREDICATE(p)
FAKE_PREDICATE(usbnet_ppp)
FAKE_PREDICATE(usb)

void *__real_malloc(size_t);
// Fresh memory is dirty, so a buffer the library forgets to clear shows.
void *__wrap_malloc(size_t n) {
    return fake::counted([n] {
        void *p = __real_malloc(n);
        return p != nullptr ? memset(p, 0xa5, n) : p;
    });
}
// The compiler may fold malloc and a zero fill into calloc: the same allocation.
void *__real_calloc(size_t, size_t);
void *__wrap_calloc(size_t n, size_t size) {
    return fake::counted([n, size] { return __real_calloc(n, size); });
}
// Only frees made while armed count against allocations made while armed.
void __real_free(void *);
void __wrap_free(void *p) {
    if (p != nullptr && fake::g_armed.load(std::memory_order_relaxed)) fake::g_live--;
    __real_free(p);
}
FILE *__real_fopen(const char *, const char *);
FILE *__wrap_fopen(const char *path, const char *mode) {
    auto &s = state();
    if (s.faults.fopen_fail) return errno = ENOENT, nullptr;
    // The tests write the interface list the library reads.
    FILE *f = __real_fopen(strcmp(path, "/proc/net/dev") == 0 ? "/tmp/net_dev" : path, mode);
    fake::g_open_handles += f != nullptr;  // a stream left open counts as a handle
    return f;
}
int __real_fclose(FILE *);
int __wrap_fclose(FILE *f) {
    fake::g_open_handles--;
    return __real_fclose(f);
}
int __real_mkstemp(char *);
int __wrap_mkstemp(char *tmpl) {
    if (!state().faults.mkstemp_fail) return __real_mkstemp(tmpl);
    return errno = EACCES, -1;
}
unsigned __wrap_if_nametoindex(const char *name) {
    return state().if_nametoindex ? state().if_nametoindex(name) : 0;
}

}  // extern "C"
