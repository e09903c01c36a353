// libek_db.so: one file per database, replaced whole on every change.
//
// Readers read the file once at open and work on that image for the life of
// the handle, so count, walk and fetches always agree. Writers serialise on
// flock of "<path>.lock", start from the newest file, write the new image to
// "<path>.new", sync it and rename it over the database: a writer killed at
// any instant leaves the old file or the new one, and a reader that opened
// either keeps reading the inode it opened. The ".new" name is fixed because
// only the lock holder writes it; a crashed writer's leftover is removed by
// the next one, which then creates its own with O_EXCL.
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
//
// Reading and checking the file costs more than the rest of an open, so a
// process keeps the verified images of the last few paths it opened and
// hands one out again, without reading, while an fstatat of the file shows
// the status it had when it was read and the directory is confirmed as
// above (open_cached). Handles and the cache share an image, which nobody
// writes into once verified, by a count of references.
//
// A database named like one of the platform's holds records of one fixed
// size: readers copy a record into a buffer of that size without being told
// its length, so a value of another size is neither stored nor handed out.
//
// Opening a database whose file does not exist gives an empty database (its
// directory is created); the file appears with the first store. Opening
// never writes, so readers never wait for writers. Nothing waits without a
// deadline: files are opened without blocking (a FIFO would block an open
// for reading) and checked before they are read, and a writer gives up on a
// lock that another process keeps for kLockWaitMs.
//
// The mode argument of open and delete is accepted and not interpreted: the
// platform passes the same value everywhere.
#include "platform/ek_db.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <utility>

#include "common/raii.h"
#include "common/trust.h"
#include "common/unique_fd.h"
#include "db/db_format.h"
#include "ek_host.h"

namespace {

using ek::MutexGuard;
using ek::host::log_format;
using ek::host::trusted_entry;
using ek::host::UniqueFd;
using ek::host::Use;
using namespace ek::host::db;

// Room for the database path plus the longest side-file suffix.
constexpr size_t kMaxPath = PATH_MAX - 16;
// Small enough to stay in the first-level cache between the read and its
// check.
constexpr uint32_t kReadPiece = 64 * 1024;
// A store takes milliseconds even on a slow disk.
constexpr int kLockWaitMs = 3000;

struct FixedSize {
    const char *name;
    uint32_t size;
};

constexpr FixedSize kRecordSizes[] = {
    {"wanif_db", sizeof(ek_wanif_entry_t)},
    {"usb_modem_cfg", sizeof(ek_usb_modem_cfg_t)},
    {"usb_modem_mode_switch", sizeof(ek_usb_modeswitch_t)},
    {"dcd_eth_mode_cfg", EK_HOST_DCD_ETH_CFG_SIZE},
    {"dcd_usbnet_mode_cfg", EK_HOST_DCD_USBNET_CFG_SIZE},
};

// 0: values of any size.
uint32_t record_size_of(const char *name) {
    for (const FixedSize &f : kRecordSizes) {
        if (strcmp(name, f.name) == 0) return f.size;
    }
    return 0;
}

// A key for the log: bytes outside printable ASCII as \xNN, cut after
// kShownKey bytes.
constexpr size_t kShownKey = 32;

void show_key(Bytes key, char (&out)[kShownKey * 4 + 4]) {
    size_t at = 0;
    size_t shown = key.size() < kShownKey ? key.size() : kShownKey;
    for (size_t i = 0; i < shown; ++i) {
        unsigned char c = key[i];
        if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
            out[at++] = static_cast<char>(c);
        } else {
            at += static_cast<size_t>(snprintf(out + at, sizeof out - at, "\\x%02x", c));
        }
    }
    if (shown < key.size()) at += static_cast<size_t>(snprintf(out + at, sizeof out - at, "..."));
    out[at] = '\0';
}

// A verified image, shared by the handles that read it and the cache of
// images. Nobody writes into it once it is verified (a store builds a new
// one), so sharing needs only the count of references; the last one closes
// the file and frees the memory.
struct alignas(8) Image {
    std::atomic<uint32_t> refs{1};
    uint32_t size = 0;
    uint32_t count = 0;
    int fd = -1;  // the file it came from; holding it pins its inode

    unsigned char *bytes() { return reinterpret_cast<unsigned char *>(this + 1); }
};

class ImageRef {
public:
    constexpr ImageRef() = default;
    // An image of size bytes, not yet read or written.
    static ImageRef alloc(uint32_t size) {
        ImageRef r;
        void *mem = malloc(sizeof(Image) + size);
        if (mem == nullptr) return r;
        r.p_ = new (mem) Image();
        r.p_->size = size;
        return r;
    }
    ImageRef(const ImageRef &o) : p_(o.p_) {
        if (p_ != nullptr) p_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    ImageRef &operator=(const ImageRef &o) {
        ImageRef copy(o);
        std::swap(p_, copy.p_);
        return *this;
    }
    ImageRef(ImageRef &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ImageRef &operator=(ImageRef &&o) noexcept {
        ImageRef taken(std::move(o));
        std::swap(p_, taken.p_);
        return *this;
    }
    ~ImageRef() {
        if (p_ == nullptr || p_->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
        if (p_->fd >= 0) close(p_->fd);
        p_->~Image();
        free(p_);
    }

    Image *operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    Image *p_ = nullptr;
};

struct View {
    ImageRef image;  // null while the database has no file

    uint32_t size() const { return image ? image->size : 0; }
    uint32_t count() const { return image ? image->count : 0; }
    int file() const { return image ? image->fd : -1; }
    const unsigned char *data() const { return image ? image->bytes() : nullptr; }
    Bytes bytes() const { return Bytes(data(), size()); }
};

// Mixed into every handle's check word so that descriptors of one view are
// refused by any other view, also of the same handle.
std::atomic<uint32_t> g_views{0};

uint32_t mix32(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
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

bool write_all(int fd, const unsigned char *src, size_t n) {
    while (n > 0) {
        ssize_t put = write(fd, src, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        src += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

// Opens name in dir without following a link and checks what it opened; st
// receives its status. errno is ENOENT only when there is no such entry.
UniqueFd open_checked(int dir, const char *name, const char *shown, int flags, Use use,
                      struct stat *st, mode_t mode = 0) {
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

UniqueFd enter(int parent, const char *name, const char *shown, bool create, Use use) {
    struct stat st;
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

// Images verified at an earlier open, each with the status its file had
// then, handed out again by an open whose fstatat of the file shows the
// same status (see open_cached). Shared by the process's threads under a
// mutex never held across a system call; a dropped image is released after
// the mutex, since its last reference closes a file.
constexpr int kCacheSlots = 4;
// Keeps the memory a process holds for images it is not using small.
constexpr uint32_t kMaxCached = 1u << 20;

struct CacheSlot {
    ImageRef image;  // null: free
    struct stat st {};
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
// process exits; the kernel takes the files and memory back.
union CacheStorage {
    ImageCache cache;
    constexpr CacheStorage() : cache() {}
    ~CacheStorage() {}
};
CacheStorage g_cache_storage;
ImageCache &g_cache = g_cache_storage.cache;

void lock_shared() {
    pthread_mutex_lock(&g_verified.mutex);
    pthread_mutex_lock(&g_cache.mutex);
}

void unlock_shared() {
    pthread_mutex_unlock(&g_cache.mutex);
    pthread_mutex_unlock(&g_verified.mutex);
}

// The process id mixed into view tags. getpid is a system call on every
// open otherwise; the id changes only in a fork's child, which the child
// handler refreshes. A child made by a raw clone keeps its parent's value:
// its tags then differ from the parent's by the view count only.
std::atomic<uint32_t> g_pid{0};

void refresh_pid() {
    g_pid.store(static_cast<uint32_t>(getpid()), std::memory_order_relaxed);
}

void fork_child();

[[gnu::constructor]] void register_fork_handlers() {
    refresh_pid();
    pthread_atfork(lock_shared, unlock_shared, fork_child);
}

bool same_dir(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_uid == b.st_uid &&
           a.st_mode == b.st_mode;
}

bool same_time(const timespec &a, const timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same_file(const struct stat &a, const struct stat &b) {
    return same_dir(a, b) && a.st_gid == b.st_gid && a.st_size == b.st_size &&
           same_time(a.st_mtim, b.st_mtim) && same_time(a.st_ctim, b.st_ctim);
}

bool same_path(const CacheSlot &slot, const char *path, size_t len) {
    return slot.image && slot.len == len && memcmp(slot.path, path, len) == 0;
}

// The image cached for path (len bytes) and the status its file had when
// it was read; null when there is none.
ImageRef cache_find(const char *path, size_t len, struct stat *st) {
    MutexGuard guard(g_cache.mutex);
    for (CacheSlot &slot : g_cache.slots) {
        if (same_path(slot, path, len)) {
            slot.used = ++g_cache.clock;
            *st = slot.st;
            return slot.image;
        }
    }
    return ImageRef();
}

// Keeps image (null: forgets) as path's, in path's slot or else the least
// recently used one.
void cache_put(const char *path, size_t len, const ImageRef &image, const struct stat &st) {
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
    slot->st = st;
    slot->len = len;
    memcpy(slot->path, path, len);
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

// A child drops the images it inherited: a daemon that closes every
// descriptor it does not know would otherwise leave their numbers to be
// reused, and closed again when the image goes. Handles it inherited keep
// theirs, as before.
void fork_child() {
    refresh_pid();
    unlock_shared();
    ImageRef dropped[kCacheSlots];
    MutexGuard guard(g_cache.mutex);
    for (int i = 0; i < kCacheSlots; ++i) {
        dropped[i] = std::move(g_cache.slots[i].image);
        g_cache.slots[i].used = 0;
    }
}

// dir: the first dir_len bytes of a path, trailing slashes dropped.
struct DirPath {
    char text[PATH_MAX];
    size_t len;

    DirPath(const char *path, size_t dir_len) : len(dir_len) {
        memcpy(text, path, len);
        while (len > 0 && text[len - 1] == '/') --len;
        text[len] = '\0';
    }
};

// The walk: a trusted descriptor of dir, remembered for the opens that
// follow. The root and the working directory are trusted as given.
UniqueFd walk(const char *path, DirPath &dir, bool create) {
    if (dir.len == 0) {
        return UniqueFd(open(path[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    UniqueFd fd = open_dir(dir.text, dir.len, create);
    struct stat st;
    if (fd && fstat(fd.get(), &st) == 0) {
        MutexGuard guard(g_verified.mutex);
        g_verified.st = st;
        g_verified.len = dir.len;
        memcpy(g_verified.path, dir.text, dir.len);
    }
    return fd;
}

// The status of the directory the last walk verified, when that is dir.
bool known_dir(const DirPath &dir, struct stat *known) {
    MutexGuard guard(g_verified.mutex);
    if (dir.len == 0 || g_verified.len != dir.len ||
        memcmp(g_verified.path, dir.text, dir.len) != 0) {
        return false;
    }
    *known = g_verified.st;
    return true;
}

// One fstatat of dir's path: the same device, inode, owner and mode as known.
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

// An open without a read, under the same checks as open_known: the image
// cached for path, when an fstatat of the file by its path shows the status
// it had when the image was read (the pinned file, unchanged), the file
// still passes the trust rule and the directory is still the verified one.
// Any difference is left to the open that reads.
bool open_cached(const char *path, size_t len, const DirPath &dir, View *out) {
    struct stat known, was, now;
    if (!known_dir(dir, &known)) return false;
    ImageRef image = cache_find(path, len, &was);
    if (!image) return false;
    if (fstatat(AT_FDCWD, path, &now, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(now, was)) {
        // Its file is gone or changed: nothing to keep it for.
        cache_put(path, len, ImageRef(), {});
        return false;
    }
    if (ek::host::entry_fault(now, Use::file) != nullptr || !dir_unchanged(dir, known)) {
        return false;
    }
    out->image = std::move(image);
    return true;
}

enum class Load { ok, missing, bad };

UniqueFd open_file(int dir, const char *name, const char *path, struct stat *st) {
    return open_checked(dir, name, path, O_RDONLY, Use::file, st);
}

Load damaged(const char *path, const char *why) {
    log_format(LOG_ERR, "refusing database %s: %s: restore it from a copy or remove it", path, why);
    return Load::bad;
}

// Reads and checks the image of file, a trusted regular file described by st,
// and caches it when its file has settled.
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
    image->fd = file.release();
    if (size <= kMaxCached && settled(st, read_at)) cache_put(path, strlen(path), image, st);
    out->image = std::move(image);
    return Load::ok;
}

Load load_view(int dir, const char *name, const char *path, View *out) {
    struct stat st;
    UniqueFd file = open_file(dir, name, path, &st);
    if (!file) return errno == ENOENT ? Load::missing : Load::bad;
    return read_view(std::move(file), st, path, out);
}

// The pid and command that hold a lock on the file st describes, from
// /proc/locks, as " by pid N (comm)"; empty when it cannot be told.
void lock_holder(const struct stat &st, char (&out)[64]) {
    out[0] = '\0';
    ek::File locks(fopen("/proc/locks", "re"));
    char line[256];
    while (locks && fgets(line, sizeof line, locks.get()) != nullptr) {
        int pid;
        unsigned major, minor;
        unsigned long long ino;
        // Waiters are listed as "N: -> FLOCK ...": the pattern skips them.
        if (sscanf(line, "%*d: FLOCK %*s %*s %d %x:%x:%llu", &pid, &major, &minor, &ino) != 4 ||
            ino != st.st_ino || makedev(major, minor) != st.st_dev) {
            continue;
        }
        char comm_path[32], comm[17] = "";
        snprintf(comm_path, sizeof comm_path, "/proc/%d/comm", pid);
        ek::File f(fopen(comm_path, "re"));
        if (f && fgets(comm, sizeof comm, f.get()) != nullptr) comm[strcspn(comm, "\n")] = '\0';
        snprintf(out, sizeof out, " by pid %d (%s)", pid, comm);
        return;
    }
}

int compare_keys(const void *a, const void *b) {
    const auto *x = *static_cast<const ek_host_db_record_t *const *>(a);
    const auto *y = *static_cast<const ek_host_db_record_t *const *>(b);
    if (x->key_len != y->key_len) return x->key_len < y->key_len ? -1 : 1;
    return memcmp(x->key, y->key, static_cast<size_t>(x->key_len));
}

// A second record under one key would never be fetched. The keys are
// sorted, not each compared with every other: a table of 100,000 records
// is replaced in well under a second. True also when memory is short.
bool repeats_a_key(const ek_host_db_record_t *records, uint32_t count) {
    if (count < 2) return false;
    auto **sorted = static_cast<const ek_host_db_record_t **>(malloc(sizeof(void *) * count));
    if (sorted == nullptr) return true;
    for (uint32_t i = 0; i < count; ++i) sorted[i] = &records[i];
    qsort(sorted, count, sizeof *sorted, compare_keys);
    bool repeated = false;
    for (uint32_t i = 1; i < count && !repeated; ++i) {
        repeated = compare_keys(&sorted[i - 1], &sorted[i]) == 0;
    }
    free(sorted);
    return repeated;
}

}  // namespace

struct ek_db {
    View view;
    uint32_t tag = 0;
    int walking = 0;  // depth of running ek_db_foreach calls
    const char *path = nullptr;
    size_t name_at = 0;       // where the file name starts in path
    uint32_t value_size = 0;  // of every value; 0 for any size

    // Whether a value of size bytes under key may be stored or handed out;
    // a refusal is logged.
    bool fits(Bytes key, size_t size, const char *verb) const {
        if (value_size == 0 || size == value_size) return true;
        char shown[kShownKey * 4 + 4];
        show_key(key, shown);
        log_format(LOG_ERR,
                   "refusing to %s a value of %zu bytes under key \"%s\" in %s: its records are "
                   "%u bytes",
                   verb, size, shown, path, value_size);
        return false;
    }

    const char *name() const { return path + name_at; }
    // The directory's part of path: "" for "x" and for "/x".
    size_t dir_len() const { return name_at > 0 ? name_at - 1 : 0; }

    void new_tag() {
        uint32_t n = g_views.fetch_add(1, std::memory_order_relaxed);
        tag = mix32(n * 0x9E3779B1u ^ static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this)) ^
                    g_pid.load(std::memory_order_relaxed));
    }

    uint32_t check_word(uint32_t offset) const { return tag ^ mix32(offset); }

    void side_path(const char *suffix, char (&buf)[PATH_MAX]) const {
        size_t len = strlen(path);
        memcpy(buf, path, len);
        memcpy(buf + len, suffix, strlen(suffix) + 1);
    }

    bool find(Bytes key, Record *out) const {
        Bytes img = view.bytes();
        uint32_t offset = kHeaderSize;
        for (uint32_t i = 0; i < view.count(); ++i) {
            record_at(img, offset, out);
            if (out->key.size() == key.size() &&
                memcmp(out->key.data(), key.data(), key.size()) == 0) {
                return true;
            }
            offset += out->size;
        }
        return false;
    }

    UniqueFd take_lock(int dir) const {
        char lock_path[PATH_MAX];
        side_path(".lock", lock_path);
        struct stat st;
        UniqueFd lock = open_checked(dir, lock_path + name_at, lock_path, O_RDWR | O_CREAT,
                                     Use::file, &st, 0600);
        if (!lock) return lock;
        // Polled: a blocking flock cannot be given a deadline without a
        // signal, and a library must not take the process's signals.
        timespec start, now;
        clock_gettime(CLOCK_MONOTONIC, &start);
        long pause_ns = 200000;
        while (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) return UniqueFd();
            clock_gettime(CLOCK_MONOTONIC, &now);
            if ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 >=
                kLockWaitMs) {
                char holder[64];
                lock_holder(st, holder);
                log_format(LOG_ERR,
                           "cannot lock %s: held%s for more than %d s; stop the process that "
                           "holds it",
                           lock_path, holder, kLockWaitMs / 1000);
                return UniqueFd();
            }
            timespec pause{0, pause_ns};
            nanosleep(&pause, nullptr);
            if (pause_ns < 16000000) pause_ns *= 2;
        }
        return lock;
    }

    // Under the lock: makes the view the newest state of the file. The view
    // is kept when its file is still the database (files are never changed
    // in place, and the open descriptor keeps the inode number from being
    // reused).
    bool refresh(int dir) {
        struct stat now;
        if (fstatat(dir, name(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return false;
            if (view.image) {  // removed since: empty again
                view = View();
                new_tag();
            }
            return true;
        }
        struct stat mine;
        if (view.image && fstat(view.file(), &mine) == 0 && mine.st_dev == now.st_dev &&
            mine.st_ino == now.st_ino) {
            return true;
        }
        View latest;
        switch (load_view(dir, name(), path, &latest)) {
            case Load::ok:
                break;
            case Load::missing:
                break;  // replaced by nothing between stat and open
            case Load::bad:
                return false;
        }
        view = std::move(latest);
        new_tag();
        return true;
    }

    // Under the lock, in a directory only we and root may write: nobody
    // else can create the ".new" name between its removal and its
    // exclusive creation.
    UniqueFd commit(int dir, const unsigned char *image, uint32_t size) const {
        char tmp_path[PATH_MAX];
        side_path(".new", tmp_path);
        const char *tmp = tmp_path + name_at;
        if (unlinkat(dir, tmp, 0) != 0 && errno != ENOENT) return UniqueFd();
        UniqueFd file(openat(dir, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file || !write_all(file.get(), image, size) || fdatasync(file.get()) != 0 ||
            renameat(dir, tmp, dir, name()) != 0) {
            // A full disk shows here: the store is lost, the database is not.
            log_format(LOG_ERR, "cannot store in %s: writing %s failed: %m", path, tmp_path);
            unlinkat(dir, tmp, 0);
            return UniqueFd();
        }
        // Makes the rename itself durable. Its failure is not reported: every
        // other process already sees the new file.
        fsync(dir);
        return file;
    }

    // Store (value non-null) or delete (value null) through to the file.
    int32_t write_through(Bytes key, const Bytes *value) {
        // A walk's descriptors and image must stay valid until it ends.
        if (walking > 0) return -1;
        DirPath dir_path(path, dir_len());
        UniqueFd dir = walk(path, dir_path, false);
        if (!dir) return -1;
        UniqueFd lock = take_lock(dir.get());
        if (!lock || !refresh(dir.get())) return -1;

        Record old{};
        bool present = find(key, &old);
        if (value == nullptr && !present) return -1;
        uint64_t size = view.image ? view.size() : kHeaderSize;
        if (present) size -= old.size;
        if (value != nullptr) size += record_size(key.size(), value->size());
        if (size > kMaxImage) return -1;

        ImageRef image = ImageRef::alloc(static_cast<uint32_t>(size));
        if (!image) return -1;
        unsigned char *dst = image->bytes();
        const unsigned char *src = view.data();
        uint32_t at = kHeaderSize;
        if (present) {
            // Records keep their order; a replaced record keeps its place.
            memcpy(dst + at, src + kHeaderSize, old.offset - kHeaderSize);
            at = old.offset;
            if (value != nullptr) at += put_record(dst + at, key, *value);
            uint32_t rest = view.size() - old.offset - old.size;
            memcpy(dst + at, src + old.offset + old.size, rest);
        } else {
            if (src != nullptr) {
                memcpy(dst + at, src + kHeaderSize, view.size() - kHeaderSize);
                at = view.size();
            }
            put_record(dst + at, key, *value);
        }
        uint32_t count = view.count() + (value != nullptr ? 1 : 0) - (present ? 1 : 0);
        return install(dir.get(), std::move(image), count);
    }

    // Under the lock: seals the image, makes it the database and the view.
    // The new file is too young to be cached (see settled); the image the
    // cache holds for the path is dropped, as its file is replaced.
    int32_t install(int dir, ImageRef image, uint32_t count) {
        seal_image(std::span<unsigned char>(image->bytes(), image->size), count);
        UniqueFd file = commit(dir, image->bytes(), image->size);
        if (!file) return -1;
        image->count = count;
        image->fd = file.release();
        view.image = std::move(image);
        new_tag();
        cache_put(path, strlen(path), ImageRef(), {});
        return 0;
    }

    // Every record at once, in one new file, so that no reader ever sees
    // part of the old set beside part of the new one.
    int32_t replace(const ek_host_db_record_t *records, uint32_t count) {
        if (walking > 0) return -1;
        uint64_t size = kHeaderSize;
        for (uint32_t i = 0; i < count; ++i) {
            const ek_host_db_record_t &r = records[i];
            if (r.key == nullptr || r.key_len <= 0 || r.value_len < 0 ||
                (r.value == nullptr && r.value_len > 0)) {
                return -1;
            }
            uint32_t n =
                record_size(static_cast<size_t>(r.key_len), static_cast<size_t>(r.value_len));
            if (n == 0 || !fits(Bytes(static_cast<const unsigned char *>(r.key),
                                      static_cast<size_t>(r.key_len)),
                                static_cast<size_t>(r.value_len), "store")) {
                return -1;
            }
            size += n;
        }
        if (size > kMaxImage || repeats_a_key(records, count)) return -1;
        DirPath dir_path(path, dir_len());
        UniqueFd dir = walk(path, dir_path, false);
        if (!dir) return -1;
        UniqueFd lock = take_lock(dir.get());
        if (!lock) return -1;
        ImageRef image = ImageRef::alloc(static_cast<uint32_t>(size));
        if (!image) return -1;
        uint32_t at = kHeaderSize;
        for (uint32_t i = 0; i < count; ++i) {
            const ek_host_db_record_t &r = records[i];
            at += put_record(
                image->bytes() + at,
                Bytes(static_cast<const unsigned char *>(r.key), static_cast<size_t>(r.key_len)),
                Bytes(static_cast<const unsigned char *>(r.value),
                      static_cast<size_t>(r.value_len)));
        }
        return install(dir.get(), std::move(image), count);
    }
};

namespace {

bool find_key(const ek_db *db, const void *key, int32_t key_len, Record *out) {
    return db != nullptr && key != nullptr && key_len > 0 &&
           db->find(Bytes(static_cast<const unsigned char *>(key), static_cast<size_t>(key_len)),
                    out);
}

}  // namespace

extern "C" {

ek_db_handle_t ek_db_open_ex(const char *path, int32_t) {
    if (path == nullptr) return nullptr;
    size_t len = strnlen(path, kMaxPath);
    if (len == 0 || len >= kMaxPath) return nullptr;
    const char *slash = strrchr(path, '/');
    size_t name_at = slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
    if (name_at == len) return nullptr;  // names a directory
    // A missing directory is made here, so that the first store finds it.
    DirPath dir_path(path, name_at > 0 ? name_at - 1 : 0);
    View view;
    if (!open_cached(path, len, dir_path, &view)) {
        UniqueFd file;
        struct stat st;
        if (!open_known(path, dir_path, &file, &st)) {
            UniqueFd dir = walk(path, dir_path, true);
            if (!dir) return nullptr;
            file = open_file(dir.get(), path + name_at, path, &st);
            if (!file && errno != ENOENT) return nullptr;
        }
        if (file && read_view(std::move(file), st, path, &view) != Load::ok) return nullptr;
    }
    void *mem = malloc(sizeof(ek_db) + len + 1);
    if (mem == nullptr) return nullptr;
    auto *db = new (mem) ek_db();
    char *copy = static_cast<char *>(mem) + sizeof(ek_db);
    memcpy(copy, path, len + 1);
    db->path = copy;
    db->name_at = name_at;
    db->value_size = record_size_of(copy + name_at);
    db->view = std::move(view);
    db->new_tag();
    return db;
}

int32_t ek_db_count(ek_db_handle_t db) {
    return db != nullptr ? static_cast<int32_t>(db->view.count()) : 0;
}

int32_t ek_db_fetch(ek_db_handle_t db, const void *key, int32_t key_len, void *out) {
    Record r;
    if (out == nullptr || !find_key(db, key, key_len, &r) ||
        !db->fits(r.key, r.value.size(), "hand out")) {
        return -1;
    }
    if (!r.value.empty()) memcpy(out, r.value.data(), r.value.size());
    return 0;
}

int32_t ek_host_db_value_size(ek_db_handle_t db, const void *key, int32_t key_len) {
    Record r;
    return find_key(db, key, key_len, &r) ? static_cast<int32_t>(r.value.size()) : -1;
}

int32_t ek_db_store(ek_db_handle_t db, const void *key, int32_t key_len, const void *value,
                    int32_t value_len) {
    if (db == nullptr || key == nullptr || value_len < 0 || (value == nullptr && value_len > 0) ||
        record_size(key_len > 0 ? static_cast<size_t>(key_len) : 0,
                    static_cast<size_t>(value_len)) == 0) {
        return -1;
    }
    Bytes k(static_cast<const unsigned char *>(key), static_cast<size_t>(key_len));
    Bytes v(static_cast<const unsigned char *>(value), static_cast<size_t>(value_len));
    return db->fits(k, v.size(), "store") ? db->write_through(k, &v) : -1;
}

int32_t ek_db_delete_ex(ek_db_handle_t db, const void *key, int32_t key_len, int32_t) {
    if (db == nullptr || key == nullptr || key_len <= 0) return -1;
    return db->write_through(
        Bytes(static_cast<const unsigned char *>(key), static_cast<size_t>(key_len)), nullptr);
}

int32_t ek_db_foreach(ek_db_handle_t db, ek_db_foreach_cb_t cb, void *arg) {
    if (db == nullptr || cb == nullptr) return -1;
    ++db->walking;
    Bytes img = db->view.bytes();
    uint32_t offset = kHeaderSize;
    for (uint32_t i = 0; i < db->view.count(); ++i) {
        Record r;
        record_at(img, offset, &r);
        cb(db, ek_db_key_desc_t{{offset, db->check_word(offset)}}, arg);
        offset += r.size;
    }
    --db->walking;
    return 0;
}

int32_t ek_db_fetch_bykey(ek_db_handle_t db, ek_db_key_desc_t key, void *out) {
    if (db == nullptr || out == nullptr || key.w[1] != db->check_word(key.w[0])) return -1;
    Record r;
    if (!record_at(db->view.bytes(), key.w[0], &r) ||
        !db->fits(r.key, r.value.size(), "hand out")) {
        return -1;
    }
    if (!r.value.empty()) memcpy(out, r.value.data(), r.value.size());
    return 0;
}

int32_t ek_host_db_replace(ek_db_handle_t db, const ek_host_db_record_t *records, int32_t count) {
    if (db == nullptr || count < 0 || (records == nullptr && count > 0)) return -1;
    return db->replace(records, static_cast<uint32_t>(count));
}

int32_t ek_host_db_key_bykey(ek_db_handle_t db, ek_db_key_desc_t key, void *out, int32_t size) {
    if (db == nullptr || size < 0 || (out == nullptr && size > 0) ||
        key.w[1] != db->check_word(key.w[0])) {
        return -1;
    }
    Record r;
    if (!record_at(db->view.bytes(), key.w[0], &r)) return -1;
    size_t n = r.key.size() < static_cast<size_t>(size) ? r.key.size() : static_cast<size_t>(size);
    if (n > 0) memcpy(out, r.key.data(), n);
    return static_cast<int32_t>(r.key.size());
}

int32_t ek_db_close(ek_db_handle_t db) {
    if (db == nullptr) return -1;
    db->~ek_db();
    free(db);
    return 0;
}
}
