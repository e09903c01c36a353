// Paths of the host database and the walk that reaches them: every
// directory on the way opened one component at a time without following a
// link and checked on its descriptor against the trust rule
// (common/trust.h), and the directory the last walk verified, which an open
// confirms with one fstatat instead of walking again.
#pragma once

#include <limits.h>
#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "common/trust.h"
#include "common/unique_fd.h"

namespace ek::host::db {

// Room for the database path plus the longest side-file suffix.
constexpr size_t kMaxPath = PATH_MAX - 16;

// Opens name in dir without following a link and checks what it opened; st
// receives its status. errno is ENOENT only when there is no such entry.
UniqueFd open_checked(int dir, const char *name, const char *shown, int flags, Use use,
                      struct stat *st, mode_t mode = 0);

// dir: the first dir_len bytes of a path, trailing slashes dropped.
struct DirPath {
    char text[PATH_MAX];
    size_t len;

    DirPath(const char *path, size_t dir_len);
};

// The walk: a trusted descriptor of dir, remembered for the opens that
// follow. The root and the working directory are trusted as given.
UniqueFd walk(const char *path, DirPath &dir, bool create);

// The status of the directory the last walk verified, when that is dir.
bool known_dir(const DirPath &dir, struct stat *known);

// One fstatat of dir's path: the same device, inode, owner and mode as known.
bool dir_unchanged(const DirPath &dir, const struct stat &known);

// Opens path's file without a walk when its directory is the one the last
// walk verified (see db_paths.cpp); false leaves it to the walk.
bool open_known(const char *path, const DirPath &dir, UniqueFd *file, struct stat *st);

bool same_dir(const struct stat &a, const struct stat &b);

}  // namespace ek::host::db
