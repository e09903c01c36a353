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
// Opening a database whose file does not exist gives an empty database (its
// directory is created); the file appears with the first store. Opening
// never writes, so readers never wait for writers.
//
// The mode argument of open and delete is accepted and not interpreted: the
// platform passes the same value everywhere.
#include "platform/ek_db.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "common/raii.h"
#include "common/trust.h"
#include "common/unique_fd.h"
#include "db/db_format.h"
#include "ek_host.h"

namespace {

using ek::MallocPtr;
using ek::host::trusted_entry;
using ek::host::UniqueFd;
using ek::host::Use;
using namespace ek::host::db;

// Room for the database path plus the longest side-file suffix.
constexpr size_t kMaxPath = PATH_MAX - 16;
// Small enough to stay in the first-level cache between the read and its
// check.
constexpr uint32_t kReadPiece = 64 * 1024;

struct View {
    MallocPtr<unsigned char> image;  // null while the database has no file
    uint32_t size = 0;
    uint32_t count = 0;
    UniqueFd file;  // the file the image came from; holding it pins its inode

    Bytes bytes() const { return Bytes(image.get(), size); }
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
    UniqueFd fd(openat(dir, name, flags | O_NOFOLLOW | O_CLOEXEC, mode));
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

// Opens the first dir_len bytes of path, a directory, one component at a
// time and checks each on its descriptor; create makes missing ones (0755,
// as the effective user). The first component is opened by its name from
// the root or the working directory, which are trusted as given, rather
// than relative to a descriptor of "/": an emulator that serves "/" from a
// sysroot (qemu-user -L) still finds the real /tmp that way.
UniqueFd open_dir(const char *path, size_t dir_len, bool create) {
    char dir[PATH_MAX];
    memcpy(dir, path, dir_len);
    dir[dir_len] = '\0';
    while (dir_len > 0 && dir[dir_len - 1] == '/') dir[--dir_len] = '\0';
    if (dir_len == 0) {
        return UniqueFd(open(path[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    UniqueFd fd;
    size_t at = 0;
    while (at < dir_len) {
        while (dir[at] == '/') ++at;
        size_t end = at;
        while (end < dir_len && dir[end] != '/') ++end;
        dir[end] = '\0';  // dir names the path so far, for the log
        fd = enter(fd ? fd.get() : AT_FDCWD, fd ? dir + at : dir, dir, create,
                   end == dir_len ? Use::directory : Use::passage);
        if (!fd) return fd;
        if (end < dir_len) dir[end] = '/';
        at = end;
    }
    return fd;
}

enum class Load { ok, missing, bad };

Load load_view(int dir, const char *name, const char *path, View *out) {
    struct stat st;
    UniqueFd file = open_checked(dir, name, path, O_RDONLY, Use::file, &st);
    if (!file) return errno == ENOENT ? Load::missing : Load::bad;
    if (st.st_size < off_t{kHeaderSize} || st.st_size > off_t{kMaxImage}) return Load::bad;
    auto size = static_cast<uint32_t>(st.st_size);
    auto image = MallocPtr<unsigned char>::alloc(size);
    ImageCheck check;
    if (!image || !read_all(file.get(), image.get(), kHeaderSize) ||
        !check.begin(Bytes(image.get(), kHeaderSize), size)) {
        return Load::bad;
    }
    // Checked a piece at a time as it arrives, while the piece is in cache.
    uint32_t have = kHeaderSize;
    do {
        uint32_t n = size - have < kReadPiece ? size - have : kReadPiece;
        if (!read_all(file.get(), image.get() + have, n)) return Load::bad;
        have += n;
        if (!check.advance(Bytes(image.get(), have))) return Load::bad;
    } while (have < size);
    uint32_t count = 0;
    if (!check.finish(&count)) return Load::bad;
    out->image = std::move(image);
    out->size = size;
    out->count = count;
    out->file = std::move(file);
    return Load::ok;
}

}  // namespace

struct ek_db {
    View view;
    uint32_t tag = 0;
    int walking = 0;  // depth of running ek_db_foreach calls
    const char *path = nullptr;
    size_t name_at = 0;  // where the file name starts in path

    const char *name() const { return path + name_at; }
    // The directory's part of path: "" for "x" and for "/x".
    size_t dir_len() const { return name_at > 0 ? name_at - 1 : 0; }

    void new_tag() {
        uint32_t n = g_views.fetch_add(1, std::memory_order_relaxed);
        tag = mix32(n * 0x9E3779B1u ^ static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this)) ^
                    static_cast<uint32_t>(getpid()));
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
        for (uint32_t i = 0; i < view.count; ++i) {
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
        while (flock(lock.get(), LOCK_EX) != 0) {
            if (errno != EINTR) return UniqueFd();
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
            if (view.file) {  // removed since: empty again
                view = View();
                new_tag();
            }
            return true;
        }
        struct stat mine;
        if (view.file && fstat(view.file.get(), &mine) == 0 && mine.st_dev == now.st_dev &&
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
        if (!file) return file;
        if (!write_all(file.get(), image, size) || fdatasync(file.get()) != 0 ||
            renameat(dir, tmp, dir, name()) != 0) {
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
        UniqueFd dir = open_dir(path, dir_len(), false);
        if (!dir) return -1;
        UniqueFd lock = take_lock(dir.get());
        if (!lock || !refresh(dir.get())) return -1;

        Record old{};
        bool present = find(key, &old);
        if (value == nullptr && !present) return -1;
        uint64_t size = view.image ? view.size : kHeaderSize;
        if (present) size -= old.size;
        if (value != nullptr) size += record_size(key.size(), value->size());
        if (size > kMaxImage) return -1;

        auto image = MallocPtr<unsigned char>::alloc(static_cast<size_t>(size));
        if (!image) return -1;
        unsigned char *dst = image.get();
        const unsigned char *src = view.image.get();
        uint32_t at = kHeaderSize;
        if (present) {
            // Records keep their order; a replaced record keeps its place.
            memcpy(dst + at, src + kHeaderSize, old.offset - kHeaderSize);
            at = old.offset;
            if (value != nullptr) at += put_record(dst + at, key, *value);
            uint32_t rest = view.size - old.offset - old.size;
            memcpy(dst + at, src + old.offset + old.size, rest);
        } else {
            if (src != nullptr) {
                memcpy(dst + at, src + kHeaderSize, view.size - kHeaderSize);
                at = view.size;
            }
            put_record(dst + at, key, *value);
        }
        uint32_t count = view.count + (value != nullptr ? 1 : 0) - (present ? 1 : 0);
        return install(dir.get(), std::move(image), static_cast<uint32_t>(size), count);
    }

    // Under the lock: seals the image, makes it the database and the view.
    int32_t install(int dir, MallocPtr<unsigned char> image, uint32_t size, uint32_t count) {
        seal_image(std::span<unsigned char>(image.get(), size), count);
        UniqueFd file = commit(dir, image.get(), size);
        if (!file) return -1;
        view.image = std::move(image);
        view.size = size;
        view.count = count;
        view.file = std::move(file);
        new_tag();
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
            if (n == 0) return -1;
            size += n;
            // A second record under one key would never be fetched.
            for (uint32_t j = 0; j < i; ++j) {
                if (records[j].key_len == r.key_len &&
                    memcmp(records[j].key, r.key, static_cast<size_t>(r.key_len)) == 0) {
                    return -1;
                }
            }
        }
        if (size > kMaxImage) return -1;
        UniqueFd dir = open_dir(path, dir_len(), false);
        if (!dir) return -1;
        UniqueFd lock = take_lock(dir.get());
        if (!lock) return -1;
        auto image = MallocPtr<unsigned char>::alloc(static_cast<size_t>(size));
        if (!image) return -1;
        uint32_t at = kHeaderSize;
        for (uint32_t i = 0; i < count; ++i) {
            const ek_host_db_record_t &r = records[i];
            at += put_record(
                image.get() + at,
                Bytes(static_cast<const unsigned char *>(r.key), static_cast<size_t>(r.key_len)),
                Bytes(static_cast<const unsigned char *>(r.value),
                      static_cast<size_t>(r.value_len)));
        }
        return install(dir.get(), std::move(image), static_cast<uint32_t>(size), count);
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
    UniqueFd dir = open_dir(path, name_at > 0 ? name_at - 1 : 0, true);
    if (!dir) return nullptr;
    View view;
    if (load_view(dir.get(), path + name_at, path, &view) == Load::bad) return nullptr;
    void *mem = malloc(sizeof(ek_db) + len + 1);
    if (mem == nullptr) return nullptr;
    auto *db = new (mem) ek_db();
    char *copy = static_cast<char *>(mem) + sizeof(ek_db);
    memcpy(copy, path, len + 1);
    db->path = copy;
    db->name_at = name_at;
    db->view = std::move(view);
    db->new_tag();
    return db;
}

int32_t ek_db_count(ek_db_handle_t db) {
    return db != nullptr ? static_cast<int32_t>(db->view.count) : 0;
}

int32_t ek_db_fetch(ek_db_handle_t db, const void *key, int32_t key_len, void *out) {
    Record r;
    if (out == nullptr || !find_key(db, key, key_len, &r)) return -1;
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
    Bytes v(static_cast<const unsigned char *>(value), static_cast<size_t>(value_len));
    return db->write_through(
        Bytes(static_cast<const unsigned char *>(key), static_cast<size_t>(key_len)), &v);
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
    for (uint32_t i = 0; i < db->view.count; ++i) {
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
    if (!record_at(db->view.bytes(), key.w[0], &r)) return -1;
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
