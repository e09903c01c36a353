// The writers' lock of a host database: flock of "<path>.lock", taken with
// a deadline, released explicitly.
#pragma once

#include <sys/file.h>

#include <utility>

#include "common/unique_fd.h"

namespace ek::host::db {

// A store's hold on the lock, released before the descriptor is closed: a
// flock lock belongs to the open file, so a copy of the descriptor in a
// process forked meanwhile (a daemon's worker, forked by one thread while
// another stores) would keep it for the child's life.
class StoreLock {
public:
    StoreLock() = default;
    explicit StoreLock(UniqueFd fd) : fd_(std::move(fd)) {}
    StoreLock(StoreLock &&) = default;
    ~StoreLock() {
        if (fd_) flock(fd_.get(), LOCK_UN);
    }
    explicit operator bool() const { return static_cast<bool>(fd_); }

private:
    UniqueFd fd_;
};

// Takes the lock of lock_path, name in dir, with a deadline (db_lock.cpp);
// a null lock, logged, when another process keeps it.
StoreLock take_lock(int dir, const char *lock_path, const char *name);

}  // namespace ek::host::db
