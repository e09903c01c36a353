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
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "common/trust.h"

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

constexpr size_t kTextMax = 1024;
// The text with the line number in front of it.
constexpr size_t kRecordMax = kTextMax + 32;

// Drops the line ends that messages carry for the platform's own sink.
void trim_newlines(char *text) {
    size_t len = strlen(text);
    while (len > 0 && text[len - 1] == '\n') text[--len] = '\0';
}

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

int32_t ek_sem_destroy(int32_t sem_id) {
    return semctl(sem_id, 0, IPC_RMID);
}

// The kernel zero-fills a new segment and shmget creates it atomically, so
// the caller's semaphore is not needed here; it guards the contents.
void *ek_shm_create(int32_t *shm_id, int32_t key, uint32_t size, int32_t) {
    int id = shmget(key, size, IPC_CREAT | kIpcMode);
    if (id < 0) return nullptr;
    // An existing segment is checked before it is mapped. The id names that
    // one segment: a new one at the same key would get another id.
    struct shmid_ds ds;
    if (shmctl(id, IPC_STAT, &ds) != 0 || !ek::host::trusted_ipc("segment", key, ds.shm_perm)) {
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
// shell could be started or waited for.
int32_t ek_system(const char *cmd) {
    if (cmd == nullptr) return -1;
    char sh[] = "sh";
    char dash_c[] = "-c";
    char *argv[] = {sh, dash_c, const_cast<char *>(cmd), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ) != 0) return -1;
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int32_t ek_close(int32_t fd) {
    return close(fd);
}
}
