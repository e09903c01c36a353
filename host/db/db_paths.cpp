// The walk and the verified directory (db_paths.h).
//
// Nothing is reached through a symbolic link: the directory is opened one
// component at a time with O_NOFOLLOW, the files relative to it, and every
// directory and file is checked on its open descriptor against the trust
// rule (common/trust.h) before anything is read or written.
//
// A walk costs more system calls than reading a small database, so each
// open first tries the directory the last walk verified (open_known): one
// fstatat of its path confirms it, and any difference walks again. Stores
// always walk.
#include "db/db_paths.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include "common/raii.h"

namespace ek::host::db {

namespace {

UniqueFd enter(int parent, const char *name, const char *shown, bool create, Use use) {
    struct stat st {};
    UniqueFd fd = open_checked(parent, name, shown, O_RDONLY | O_DIRECTORY, use, &st);
    if (fd || errno != ENOENT || !create) return fd;
    if (mkdirat(parent, name, 0755) != 0 && errno != EEXIST) return fd;
    return open_checked(parent, name, shown, O_RDONLY | O_DIRECTORY, use, &st);
}

// Opens dir, a directory path of dir_len bytes without a trailing slash,
// one component at a time and checks each on its descriptor; create makes
// missing ones (0755, as the effective user). The first component is opened
// by its name from the root or the working directory, which are trusted as
// given, rather than relative to a descriptor of "/": an emulator that
// serves "/" from a sysroot (qemu-user -L) still finds the real /tmp that
// way.
UniqueFd open_dir(char *dir, size_t dir_len, bool create) {
    UniqueFd fd;
    size_t at = 0;
    while (at < dir_len) {
        while (dir[at] == '/') ++at;
        size_t end = at;
        while (end < dir_len && dir[end] != '/') ++end;
        dir[end] = '\0';  // dir names the path so far, for the log
        fd = enter(fd ? fd.get() : AT_FDCWD, fd ? dir + at : dir, dir, create,
                   end == dir_len ? Use::directory : Use::passage);
        if (end < dir_len) dir[end] = '/';
        if (!fd) return fd;
        at = end;
    }
    return fd;
}

// What the last walk verified: a directory's path and what fstat said of
// it. Shared by the process's threads; the mutex is never held across a
// system call, and fork takes it so that the child gets a whole copy.
struct VerifiedDir {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    struct stat st {};
    size_t len = 0;  // 0: none
    char path[PATH_MAX] = {};
};
VerifiedDir g_verified;

void lock_verified() {
    pthread_mutex_lock(&g_verified.mutex);
}

void unlock_verified() {
    pthread_mutex_unlock(&g_verified.mutex);
}

[[gnu::constructor]] void register_fork_handlers() {
    pthread_atfork(lock_verified, unlock_verified, unlock_verified);
}

}  // namespace

UniqueFd open_checked(int dir, const char *name, const char *shown, int flags, Use use,
                      struct stat *st, mode_t mode) {
    UniqueFd fd(openat(dir, name, flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode));
    if (!fd) {
        int err = errno;
        // O_NOFOLLOW met a link, or a file stands where a directory belongs:
        // the log says what is there.
        if ((err == ELOOP || err == ENOTDIR) && fstatat(dir, name, st, AT_SYMLINK_NOFOLLOW) == 0) {
            trusted_entry(shown, *st, use);
        }
        errno = err;
        return fd;
    }
    if (fstat(fd.get(), st) != 0 || !trusted_entry(shown, *st, use)) {
        errno = EPERM;
        return UniqueFd();
    }
    return fd;
}

bool same_dir(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_uid == b.st_uid &&
           a.st_mode == b.st_mode;
}

DirPath::DirPath(const char *path, size_t dir_len) : len(dir_len) {
    memcpy(text, path, len);
    while (len > 0 && text[len - 1] == '/') --len;
    text[len] = '\0';
}

UniqueFd walk(const char *path, DirPath &dir, bool create) {
    if (dir.len == 0) {
        return UniqueFd(open(path[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    UniqueFd fd = open_dir(dir.text, dir.len, create);
    struct stat st {};
    if (fd && fstat(fd.get(), &st) == 0) {
        MutexGuard guard(g_verified.mutex);
        g_verified.st = st;
        g_verified.len = dir.len;
        memcpy(g_verified.path, dir.text, dir.len);
    }
    return fd;
}

bool known_dir(const DirPath &dir, struct stat *known) {
    MutexGuard guard(g_verified.mutex);
    if (dir.len == 0 || g_verified.len != dir.len ||
        memcmp(g_verified.path, dir.text, dir.len) != 0) {
        return false;
    }
    *known = g_verified.st;
    return true;
}

bool dir_unchanged(const DirPath &dir, const struct stat &known) {
    struct stat now;
    return fstatat(AT_FDCWD, dir.text, &now, AT_SYMLINK_NOFOLLOW) == 0 && same_dir(now, known);
}

// Opens path's file without a walk when its directory is the one the last
// walk verified: the file by its path (read-only, non-blocking: the open
// itself has no effect), then the directory confirmed by one fstatat of its
// path, before anything is read. Any difference, and any failure, is left
// to the walk, which says why. The file cannot have come from another
// directory: one that replaced the verified one after a removal or rename
// would still be there at the fstatat, and a removed directory never comes
// back.
bool open_known(const char *path, const DirPath &dir, UniqueFd *file, struct stat *st) {
    struct stat known;
    if (!known_dir(dir, &known)) return false;
    UniqueFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd || fstat(fd.get(), st) != 0 || ek::host::entry_fault(*st, Use::file) != nullptr ||
        !dir_unchanged(dir, known)) {
        return false;
    }
    *file = std::move(fd);
    return true;
}

}  // namespace ek::host::db
