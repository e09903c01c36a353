// In-process fake of the database library and the process services, with
// fault injection, call counters and captured log lines (libc calls wrapped).
#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace fake {
enum class Channel { ek_err, ek_log, syslog };
struct LogLine {
    Channel channel;
    int level, line;        // syslog priority or ek_log level (3 for __ek_err); its source line
    std::string tag, text;  // tag: __ek_err only
};
using Record = std::pair<std::string, std::vector<uint8_t>>;  // key, value
struct Faults {
    std::set<std::string> open_fails;  // paths whose open returns null
    bool store_fail = false, sem_create_fail = false, shm_create_fail = false;
    bool fopen_fail = false, mkstemp_fail = false;
    std::optional<int32_t> count_result;  // overrides ek_db_count
    std::set<int> fetch_bykey_fail_at;    // 0-based delivery index
    int32_t sem_op_result = 0;            // what ek_sem_wait and ek_sem_signal return
};
struct Counters {
    int fetches = 0;
    int sem_creates = 0, sem_waits = 0, sem_destroys = 0, shm_creates = 0;
    long mallocs = 0, live = 0;  // made while armed; and of them not freed while armed
};
struct State {
    std::map<std::string, std::vector<Record>> dbs;     // by path, in ek_db_foreach order
    std::map<int32_t, std::pair<void *, size_t>> shms;  // by key: MAP_SHARED, zero-filled
    Faults faults;
    Counters calls;
    std::vector<LogLine> logs;
    std::function<int32_t(const char *)> system;  // default: -1
    std::vector<std::string> commands;            // every ek_system line
    std::function<int32_t(uint32_t, void *)> dcd_eth;
    std::function<int32_t(const char *, void *)> dcd_usbnet;
    std::function<int32_t(const char *, uint32_t *, uint32_t *)> dcd_addr;
    std::function<int32_t(const char *)> is_eth, is_p, is_usbnet_ppp, is_usb;  // default: 0
    std::function<unsigned(const char *)> if_nametoindex;
};
State &state();
void reset();
void put(const std::string &path, const std::string &key, const void *value, size_t len);
template <typename T>
void put(const std::string &path, const std::string &key, const T &record) {
    put(path, key, &record, sizeof record);
}
int open_handles();
// Made now, so that children forked afterwards attach the same memory.
void *shared_segment(int32_t key, size_t size);
// The library's once flags never reset within a process: each case forks.
void in_fresh_process(const std::function<void()> &body);
// Counts malloc and calloc, in one sequence, and fails the fail_at-th (0-based).
void arm_malloc(long fail_at);
void disarm_malloc();
}  // namespace fake
