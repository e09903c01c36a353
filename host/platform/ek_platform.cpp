// Process services on plain Linux: SysV semaphores and shared memory,
// syslog, and the shell.
#include "platform/ek_platform.h"

#include <errno.h>
#include <limits.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "common/raii.h"
#include "common/trust.h"
#include "ek_host.h"

extern char **environ;

namespace {

// Owner only: the platform's processes all run as one user.
constexpr int kIpcMode = 0600;

// How long an opener waits for the creator of a semaphore to set its value.
constexpr int kInitWaitMs = 2000;

union SemArg {
    int val;
    struct semid_ds *buf;
    unsigned short *array;
};

bool semop_retrying(int id, sembuf *ops, size_t n) {
    while (semop(id, ops, n) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

enum class Ready { yes, gone, timeout };

// semctl(SETVAL) would leave sem_otime at 0, so creators set the value with
// semop and openers take a non-zero sem_otime as "initialised".
Ready wait_initialised(int id) {
    for (int waited = 0; waited < kInitWaitMs; ++waited) {
        struct semid_ds ds;
        SemArg arg;
        arg.buf = &ds;
        if (semctl(id, 0, IPC_STAT, arg) != 0) return Ready::gone;
        if (ds.sem_otime != 0) return Ready::yes;
        timespec ms{0, 1000000};
        nanosleep(&ms, nullptr);
    }
    return Ready::timeout;
}

// The semaphores this process created, as id + 1 (0: free slot):
// ek_sem_destroy removes no other. A process whose attach fails after it
// merely opened a semaphore (a segment another user planted at the key
// beside it) would otherwise remove the one that running processes share.
// The table names the process it belongs to, so a fork's child starts with
// none; the oldest is forgotten when all slots are taken, and a note lost
// to a race with a fork's first note is forgotten too: both err on the side
// of keeping. Atomic rather than under a mutex, which a fork could copy
// locked, and 32-bit, which every target has without a helper library.
constexpr size_t kCreatedSlots = 16;
std::atomic<uint32_t> g_created[kCreatedSlots];
std::atomic<uint32_t> g_created_next{0};
std::atomic<pid_t> g_created_by{0};

void note_created(int id) {
    pid_t me = getpid(), owner = g_created_by.load();
    if (owner != me && g_created_by.compare_exchange_strong(owner, me)) {
        for (std::atomic<uint32_t> &slot : g_created) slot.store(0);
    }
    const auto key = static_cast<uint32_t>(id) + 1;
    for (std::atomic<uint32_t> &slot : g_created) {
        uint32_t free_slot = 0;
        if (slot.compare_exchange_strong(free_slot, key)) return;
    }
    g_created[g_created_next.fetch_add(1) % kCreatedSlots].store(key);
}

// Forgets id; whether this process had created it.
bool forget_created(int id) {
    if (g_created_by.load() != getpid()) return false;
    for (std::atomic<uint32_t> &slot : g_created) {
        uint32_t mine = static_cast<uint32_t>(id) + 1;
        if (slot.compare_exchange_strong(mine, 0)) return true;
    }
    return false;
}

constexpr size_t kTextMax = 1024;
// The text with the line number in front of it.
constexpr size_t kRecordMax = kTextMax + 32;

// Drops the line ends that messages carry for the platform's own sink.
void trim_newlines(char *text) {
    size_t len = strlen(text);
    while (len > 0 && text[len - 1] == '\n') text[--len] = '\0';
}

// Whether root may run programs found in the PATH entry of len bytes at
// entry: an absolute directory that it and every directory above it pass
// the trust rule once links are resolved; real receives the resolved path,
// which the shell gets instead of the entry, so that a link changed after
// this check leads nowhere new. A missing entry is left out as well,
// without a word: it runs nothing, and a directory that appears there
// later has not been checked.
const char *path_entry_fault(const char *entry, size_t len, char (&real)[PATH_MAX]) {
    if (len == 0) return "empty";
    if (entry[0] != '/') return "relative";
    char given[PATH_MAX];
    if (len >= sizeof given) return "too long";
    memcpy(given, entry, len);
    given[len] = '\0';
    if (realpath(given, real) == nullptr) return "";
    // The shell would split it into entries of which one is relative.
    if (strchr(real, ':') != nullptr) return "leads to a name with a colon";
    // real is absolute, without links, "." or "..": each prefix is checked.
    size_t real_len = strlen(real);
    for (size_t end = 1; end <= real_len; ++end) {
        if (end < real_len && real[end] != '/') continue;
        char saved = real[end];
        real[end] = '\0';
        struct stat st;
        bool last = end == real_len;
        if (stat(real, &st) != 0) return "";
        real[end] = saved;
        if (ek::host::entry_fault(st, last ? ek::host::Use::directory : ek::host::Use::passage) ==
            nullptr) {
            continue;
        }
        if (!S_ISDIR(st.st_mode)) return "not a directory";
        return st.st_uid != 0 ? "not owned by root" : "writable by group or others";
    }
    return nullptr;
}

// Whether the caller is root outside any user namespace too. Root of a
// namespace that another user made (unshare --map-root-user) sees the
// system's directories as owned by nobody and has no more power than that
// user: its PATH is theirs to pick.
bool real_root() {
    if (geteuid() != 0) return false;
    ek::File map(fopen("/proc/self/uid_map", "re"));
    unsigned long inside, outside, count;
    return !map || fscanf(map.get(), "%lu %lu %lu", &inside, &outside, &count) != 3 ||
           (inside == 0 && outside == 0);
}

// The caller's environment for the shell; for root, PATH keeps only the
// entries path_entry_fault accepts, and the log says which were dropped.
class TrustedEnv {
public:
    bool build() {
        if (!real_root()) return true;
        size_t n = 0;
        const char *path = nullptr;
        for (; environ[n] != nullptr; ++n) {
            if (strncmp(environ[n], "PATH=", 5) == 0) path = environ[n] + 5;
        }
        if (path == nullptr) return true;  // the shell's own default
        size_t path_len = strlen(path), entries = 1;
        for (const char *c = path; *c != '\0'; ++c) entries += *c == ':';
        vars_ = ek::MallocPtr<char *>::alloc((n + 1) * sizeof(char *));
        // "PATH=", the kept entries resolved and their separators.
        path_ = ek::MallocPtr<char>::alloc(entries * PATH_MAX + sizeof "PATH=/nonexistent");
        // The dropped entries, quoted, each with its reason, for the log.
        ek::MallocPtr<char> dropped = ek::MallocPtr<char>::alloc(path_len + (path_len + 1) * 40);
        if (!vars_ || !path_ || !dropped) return false;
        char *kept = path_.get();
        memcpy(kept, "PATH=", 5);
        size_t kept_len = 5, dropped_len = 0;
        for (const char *at = path;; ++at) {
            const char *end = strchrnul(at, ':');
            auto len = static_cast<size_t>(end - at);
            char real[PATH_MAX];
            const char *fault = path_entry_fault(at, len, real);
            if (fault == nullptr) {
                if (kept_len > 5) kept[kept_len++] = ':';
                size_t real_len = strlen(real);
                memcpy(kept + kept_len, real, real_len);
                kept_len += real_len;
            } else if (*fault != '\0') {
                dropped_len += static_cast<size_t>(
                    sprintf(dropped.get() + dropped_len, "%s\"%.*s\" (%s)",
                            dropped_len > 0 ? ", " : "", static_cast<int>(len), at, fault));
            }
            if (*end == '\0') break;
            at = end;
        }
        // An empty PATH would be read as the working directory.
        if (kept_len == 5) {
            memcpy(kept + kept_len, "/nonexistent", 12);
            kept_len += 12;
        }
        kept[kept_len] = '\0';
        for (size_t i = 0; i < n; ++i) {
            vars_.get()[i] = strncmp(environ[i], "PATH=", 5) == 0 ? kept : environ[i];
        }
        vars_.get()[n] = nullptr;
        // Once for each PATH that loses entries, not once per command.
        uint32_t said = 2166136261u;
        for (size_t i = 0; i < dropped_len; ++i) said = (said ^ dropped.get()[i]) * 16777619u;
        static std::atomic<uint32_t> last_said{0};
        if (dropped_len > 0 && last_said.exchange(said) != said) {
            ek::host::log_format(LOG_WARNING,
                                 "running commands as root without the PATH entries %s: a "
                                 "directory another user can write could hold any program",
                                 dropped.get());
        }
        return true;
    }
    char **get() const { return vars_ ? vars_.get() : environ; }

private:
    ek::MallocPtr<char *> vars_;
    ek::MallocPtr<char> path_;
};

}  // namespace

extern "C" {

int32_t ek_sem_create(int32_t key, int32_t value) {
    if (value < 0 || value > SHRT_MAX) return -1;
    // Retries cover a semaphore removed between our attempts to create it
    // and to open it.
    for (int attempt = 0; attempt < 100; ++attempt) {
        int id = semget(key, 1, IPC_CREAT | IPC_EXCL | kIpcMode);
        if (id >= 0) {
            sembuf set[2] = {{0, static_cast<short>(value), 0}, {0, 0, 0}};
            size_t n = 1;
            if (value == 0) {  // a zero op does not stamp sem_otime
                set[0].sem_op = 1;
                set[1].sem_op = -1;
                n = 2;
            }
            if (!semop_retrying(id, set, n)) {
                semctl(id, 0, IPC_RMID);
                return -1;
            }
            note_created(id);
            return id;
        }
        if (errno != EEXIST) return -1;
        id = semget(key, 1, 0);
        if (id < 0) {
            if (errno == ENOENT) continue;
            return -1;
        }
        // Someone else's semaphore is refused before it is waited on.
        struct semid_ds ds;
        SemArg arg;
        arg.buf = &ds;
        if (semctl(id, 0, IPC_STAT, arg) != 0) {
            if (errno == EINVAL || errno == EIDRM) continue;
            return -1;
        }
        if (!ek::host::trusted_ipc("semaphore", key, ds.sem_perm)) return -1;
        switch (wait_initialised(id)) {
            case Ready::yes:
                return id;
            case Ready::gone:
                continue;
            case Ready::timeout:
                // The creator died before setting the value: refuse rather than
                // hand out a semaphore whose first wait blocks for ever.
                ek::host::log_format(LOG_ERR,
                                     "refusing SysV semaphore 0x%08x: its creator never set its "
                                     "value within %d ms; remove it (ipcrm -S 0x%08x)",
                                     static_cast<unsigned>(key), kInitWaitMs,
                                     static_cast<unsigned>(key));
                return -1;
        }
    }
    return -1;
}

// SEM_UNDO on both sides: the kernel gives back what a process that dies
// between wait and signal still holds, and a paired wait and signal cancel.
int32_t ek_sem_wait(int32_t sem_id) {
    sembuf op{0, -1, SEM_UNDO};
    return semop_retrying(sem_id, &op, 1) ? 0 : -1;
}

int32_t ek_sem_signal(int32_t sem_id) {
    sembuf op{0, 1, SEM_UNDO};
    return semop_retrying(sem_id, &op, 1) ? 0 : -1;
}

// Only a semaphore this process created (see g_created); -1 for any other.
int32_t ek_sem_destroy(int32_t sem_id) {
    return forget_created(sem_id) ? semctl(sem_id, 0, IPC_RMID) : -1;
}

// The kernel zero-fills a new segment and shmget creates it atomically, so
// the caller's semaphore is not needed here; it guards the contents.
void *ek_shm_create(int32_t *shm_id, int32_t key, uint32_t size, int32_t) {
    int id = shmget(key, size, IPC_CREAT | kIpcMode);
    // A smaller segment at the key makes shmget fail; it is looked at below.
    if (id < 0 && (errno != EINVAL || (id = shmget(key, 0, 0)) < 0)) return nullptr;
    // An existing segment is checked before it is mapped. The id names that
    // one segment: a new one at the same key would get another id.
    struct shmid_ds ds;
    if (shmctl(id, IPC_STAT, &ds) != 0 || !ek::host::trusted_ipc("segment", key, ds.shm_perm)) {
        return nullptr;
    }
    // Every process maps a segment whole, at fixed offsets.
    if (ds.shm_segsz != size) {
        ek::host::log_format(LOG_ERR,
                             "refusing SysV segment 0x%08x: %zu bytes where %u belong; remove it "
                             "(ipcrm -M 0x%08x)",
                             static_cast<unsigned>(key), static_cast<size_t>(ds.shm_segsz), size,
                             static_cast<unsigned>(key));
        return nullptr;
    }
    void *base = shmat(id, nullptr, 0);
    if (base == reinterpret_cast<void *>(-1)) return nullptr;
    if (shm_id != nullptr) *shm_id = id;
    return base;
}

int32_t __ek_err(const char *tag, int32_t line, const char *fmt, ...) {
    char text[kTextMax];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    trim_newlines(text);
    char record[kRecordMax];
    snprintf(record, sizeof record, "line %d:%s%s", static_cast<int>(line),
             tag != nullptr ? tag : "", text);
    ek::host::log_line(LOG_ERR, record);
    return 0;
}

int32_t ek_log(int32_t level, const char *fmt, ...) {
    char text[kTextMax];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    trim_newlines(text);
    ek::host::log_line(level & LOG_PRIMASK, text);
    return 0;
}

int32_t ek_sprintf(char *buf, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsprintf(buf, fmt, ap);
    va_end(ap);
    return n;
}

// The shell's exit status, 128 + the signal that ended it, or -1 when no
// shell could be started or waited for. Root's shell looks commands up only
// in the PATH entries the trust rule accepts (TrustedEnv above).
int32_t ek_system(const char *cmd) {
    if (cmd == nullptr) return -1;
    char sh[] = "sh";
    char dash_c[] = "-c";
    char *argv[] = {sh, dash_c, const_cast<char *>(cmd), nullptr};
    TrustedEnv env;
    if (!env.build()) return -1;
    pid_t pid;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, env.get()) != 0) return -1;
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// What the shell of ek_system gets, for callers that must know whether it
// will find a command before they run it.
int32_t ek_host_command_path(char *out, int32_t size) {
    TrustedEnv env;
    if (!env.build()) return -1;
    for (char **var = env.get(); *var != nullptr; ++var) {
        if (strncmp(*var, "PATH=", 5) != 0) continue;
        size_t len = strlen(*var + 5);
        if (len >= INT32_MAX) return -1;
        if (out != nullptr && size > 0 && len < static_cast<size_t>(size)) {
            memcpy(out, *var + 5, len + 1);
        }
        return static_cast<int32_t>(len);
    }
    return 0;
}

int32_t ek_close(int32_t fd) {
    return close(fd);
}
}
