// The writers' lock (db_lock.h). Writers serialise on flock of
// "<path>.lock"; nothing waits without a deadline: a writer gives up on a
// lock that another process keeps for kLockWaitMs and names the process
// that holds it.
#include "db/db_lock.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "common/escape.h"
#include "common/trust.h"
#include "db/db_paths.h"

namespace ek::host::db {

namespace {

// A store takes milliseconds even on a slow disk.
constexpr int kLockWaitMs = 3000;
// Looking for the lock's holder through every process's descriptors, once
// the wait is over.
constexpr int kHolderSearchMs = 1000;
// A command name as /proc gives it: 15 bytes and a line end.
constexpr size_t kCommMax = 16;
constexpr size_t kHolderMax = sizeof " by pid 123456789012345 ()" + kCommMax * 4;

// An open directory, closed on scope exit.
struct Dir {
    explicit Dir(DIR *d) : d_(d) {}
    Dir(const Dir &) = delete;
    Dir &operator=(const Dir &) = delete;
    ~Dir() {
        if (d_ != nullptr) closedir(d_);
    }
    DIR *get() const { return d_; }
    explicit operator bool() const { return d_ != nullptr; }

private:
    DIR *d_;
};

// Whether one of the descriptors of process pid (digits) is of the file st
// describes and holds a lock on it: a descriptor's fdinfo lists the locks
// of its open file.
bool holds_lock(const char *pid, const struct stat &st) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%.15s/fd", pid);
    Dir fds(opendir(path));
    while (fds) {
        const dirent *e = readdir(fds.get());
        if (e == nullptr) return false;
        struct stat fst;
        if (e->d_name[0] == '.' || fstatat(dirfd(fds.get()), e->d_name, &fst, 0) != 0 ||
            fst.st_dev != st.st_dev || fst.st_ino != st.st_ino) {
            continue;
        }
        snprintf(path, sizeof path, "/proc/%.15s/fdinfo/%.16s", pid, e->d_name);
        char info[1024];
        UniqueFd f(open(path, O_RDONLY | O_CLOEXEC));
        ssize_t n = f ? read(f.get(), info, sizeof info - 1) : -1;
        info[n > 0 ? n : 0] = '\0';
        if (strstr(info, "\nlock:") != nullptr) return true;
    }
    return false;
}

// The process that holds the lock on the file st describes, as " by pid N
// (comm)", the name escaped; empty when it cannot be told within
// kHolderSearchMs. /proc/locks names the process that took the lock, which
// may since have closed its copy or ended while a child it forked keeps
// the lock through its own: every process is asked for a descriptor that
// holds it.
void lock_holder(const struct stat &st, char (&out)[kHolderMax]) {
    out[0] = '\0';
    char holder[16] = "";
    Dir procs(opendir("/proc"));
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (procs && holder[0] == '\0') {
        const dirent *e = readdir(procs.get());
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (e == nullptr ||
            (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 >=
                kHolderSearchMs) {
            return;
        }
        size_t len = strlen(e->d_name);
        if (strspn(e->d_name, "0123456789") == len && len < sizeof holder &&
            holds_lock(e->d_name, st)) {
            memcpy(holder, e->d_name, len + 1);
        }
    }
    if (holder[0] == '\0') return;
    // The kernel keeps 15 bytes and adds a line end; a longer read is cut.
    char comm_path[32], comm[kCommMax], shown[kCommMax * 4 + 1];
    snprintf(comm_path, sizeof comm_path, "/proc/%s/comm", holder);
    UniqueFd f(open(comm_path, O_RDONLY | O_CLOEXEC));
    ssize_t n = f ? read(f.get(), comm, kCommMax) : -1;
    size_t len = n > 0 ? static_cast<size_t>(n) : 0;
    if (len > 0 && comm[len - 1] == '\n') --len;
    ek::host::escape_text(reinterpret_cast<unsigned char *>(comm), len, shown);
    snprintf(out, sizeof out, " by pid %s (%s)", holder, shown);
}

}  // namespace

StoreLock take_lock(int dir, const char *lock_path, const char *name) {
    struct stat st;
    UniqueFd lock = open_checked(dir, name, lock_path, O_RDWR | O_CREAT, Use::file, &st, 0600);
    if (!lock) return StoreLock();
    // Polled: a blocking flock cannot be given a deadline without a
    // signal, and a library must not take the process's signals.
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    long pause_ns = 200000;
    while (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) return StoreLock();
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 >=
            kLockWaitMs) {
            char holder[kHolderMax];
            lock_holder(st, holder);
            log_format(LOG_ERR,
                       "cannot lock %s: held%s for more than %d s; stop the process that "
                       "holds it",
                       lock_path, holder, kLockWaitMs / 1000);
            return StoreLock();
        }
        timespec pause{0, pause_ns};
        nanosleep(&pause, nullptr);
        if (pause_ns < 16000000) pause_ns *= 2;
    }
    return StoreLock(std::move(lock));
}

}  // namespace ek::host::db
