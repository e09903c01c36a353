// Reading, checking and keeping images (db_cache.h).
//
// Reading and checking the file costs more than the rest of an open, so a
// process keeps the verified images of the last few paths it opened and
// hands one out again, without reading, while an fstatat of the file shows
// the status it had when it was read and the directory is confirmed as
// the walk's (open_cached). Handles and the cache share an image, which
// nobody writes into once verified, by a count of references. An image
// holds no descriptor: a daemon closes the descriptors it does not know and
// reuses their numbers, which an image going later must not close.
#include "db/db_cache.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "common/raii.h"
#include "common/trust.h"

namespace ek::host::db {

namespace {

using ek::MutexGuard;

// Small enough to stay in the first-level cache between the read and its
// check.
constexpr uint32_t kReadPiece = 64 * 1024;

// Images verified at an earlier open, each with the status its file had
// then, handed out again by an open whose fstatat of the file shows the
// same status (see open_cached). Shared by the process's threads under a
// mutex never held across a system call; a dropped image is released after
// the mutex, since its last reference frees it.
constexpr int kCacheSlots = 4;
// Keeps the memory a process holds for images it is not using small.
constexpr uint32_t kMaxCached = 1u << 20;

struct CacheSlot {
    ImageRef image;     // null: free
    uint64_t used = 0;  // for reuse of the least recently used slot
    size_t len = 0;
    char path[PATH_MAX] = {};
};

struct ImageCache {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    uint64_t clock = 0;
    CacheSlot slots[kCacheSlots];
};

// Never destroyed: another thread may still open a database while the
// process exits; the kernel takes the memory back.
union CacheStorage {
    ImageCache cache;
    constexpr CacheStorage() : cache() {}
    ~CacheStorage() {}
};
CacheStorage g_cache_storage;
ImageCache &g_cache = g_cache_storage.cache;

void lock_cache() {
    pthread_mutex_lock(&g_cache.mutex);
}

void unlock_cache() {
    pthread_mutex_unlock(&g_cache.mutex);
}

[[gnu::constructor]] void register_fork_handlers() {
    pthread_atfork(lock_cache, unlock_cache, unlock_cache);
}

bool same_time(const timespec &a, const timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same_path(const CacheSlot &slot, const char *path, size_t len) {
    return slot.image && slot.len == len && memcmp(slot.path, path, len) == 0;
}

// The image cached for path (len bytes); null when there is none.
ImageRef cache_find(const char *path, size_t len) {
    MutexGuard guard(g_cache.mutex);
    for (CacheSlot &slot : g_cache.slots) {
        if (same_path(slot, path, len)) {
            slot.used = ++g_cache.clock;
            return slot.image;
        }
    }
    return ImageRef();
}

// A time the kernel gave a file, as nanoseconds.
int64_t nanoseconds(const timespec &t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// An image is cached only when its file last changed more than kSettleNs
// before the read began. An open trusts the file's size and times to show
// a change, and a write in the same tick of the file system's clock as the
// change before it leaves the times as they were: timestamps are as coarse
// as the kernel's tick, and one or two seconds on some flash file systems.
// Any write after a read that began that long after the last change gets a
// later change time, unless the clock is set back.
constexpr int64_t kSettleNs = 2000000000;

bool settled(const struct stat &st, const timespec &read_at) {
    return nanoseconds(read_at) - nanoseconds(st.st_ctim) > kSettleNs;
}

Load damaged(const char *path, const char *why) {
    log_format(LOG_ERR, "refusing database %s: %s: restore it from a copy or remove it", path, why);
    return Load::bad;
}

bool read_all(int fd, unsigned char *dst, size_t n) {
    while (n > 0) {
        ssize_t got = read(fd, dst, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        dst += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

bool same_file(const struct stat &a, const struct stat &b) {
    return same_dir(a, b) && a.st_gid == b.st_gid && a.st_size == b.st_size &&
           same_time(a.st_mtim, b.st_mtim) && same_time(a.st_ctim, b.st_ctim);
}

// Keeps image (null: forgets) as path's, in path's slot or else the least
// recently used one.
void cache_put(const char *path, size_t len, const ImageRef &image) {
    ImageRef dropped;  // released after the mutex
    MutexGuard guard(g_cache.mutex);
    CacheSlot *slot = &g_cache.slots[0];
    for (CacheSlot &s : g_cache.slots) {
        if (same_path(s, path, len)) {
            slot = &s;
            break;
        }
        if (s.used < slot->used) slot = &s;
    }
    if (!image && !same_path(*slot, path, len)) return;
    dropped = std::move(slot->image);
    slot->image = image;
    slot->used = image ? ++g_cache.clock : 0;
    slot->len = len;
    memcpy(slot->path, path, len);
}

// An open without a read, under the same checks as open_known: the image
// cached for path, when an fstatat of the file by its path shows the status
// it had when the image was read (the same file, unchanged), the file
// still passes the trust rule and the directory is still the verified one.
// Any difference is left to the open that reads.
bool open_cached(const char *path, size_t len, const DirPath &dir, View *out) {
    struct stat known, now;
    if (!known_dir(dir, &known)) return false;
    ImageRef image = cache_find(path, len);
    if (!image) return false;
    if (fstatat(AT_FDCWD, path, &now, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(now, image->st)) {
        // Its file is gone or changed: nothing to keep it for.
        cache_put(path, len, ImageRef());
        return false;
    }
    if (ek::host::entry_fault(now, Use::file) != nullptr || !dir_unchanged(dir, known)) {
        return false;
    }
    out->image = std::move(image);
    return true;
}

UniqueFd open_file(int dir, const char *name, const char *path, struct stat *st) {
    return open_checked(dir, name, path, O_RDONLY, Use::file, st);
}

Load read_view(UniqueFd file, const struct stat &st, const char *path, View *out) {
    if (st.st_size < off_t{kHeaderSize} || st.st_size > off_t{kMaxImage}) {
        return damaged(path, "its size is not that of an image");
    }
    auto size = static_cast<uint32_t>(st.st_size);
    ImageRef image = ImageRef::alloc(size);
    if (!image) return Load::bad;
    unsigned char *bytes = image->bytes();
    timespec read_at;
    clock_gettime(CLOCK_REALTIME, &read_at);
    ImageCheck check;
    // Checked a piece at a time as it arrives, while the piece is in cache;
    // the first piece holds the header, so a small image takes one read.
    uint32_t have = 0;
    do {
        uint32_t n = size - have < kReadPiece ? size - have : kReadPiece;
        if (!read_all(file.get(), bytes + have, n)) {
            log_format(LOG_ERR, "cannot read %s: %m", path);
            return Load::bad;
        }
        if (have == 0 && !check.begin(Bytes(bytes, kHeaderSize), size)) {
            return damaged(path, "bad header");
        }
        have += n;
        if (!check.advance(Bytes(bytes, have))) return damaged(path, "bad record length");
    } while (have < size);
    uint32_t count = 0;
    if (!check.finish(&count)) return damaged(path, "bad checksum or record count");
    image->count = count;
    image->st = st;
    image->settled = settled(st, read_at);
    if (size <= kMaxCached && image->settled) cache_put(path, strlen(path), image);
    out->image = std::move(image);
    return Load::ok;
}

Load load_view(int dir, const char *name, const char *path, View *out) {
    struct stat st;
    UniqueFd file = open_file(dir, name, path, &st);
    if (!file) return errno == ENOENT ? Load::missing : Load::bad;
    return read_view(std::move(file), st, path, out);
}

}  // namespace ek::host::db
