// libek_db.so: one file per database, replaced whole on every change.
//
// Readers read the file once at open and work on that image for the life of
// the handle, so count, walk and fetches always agree. Writers serialise on
// flock of "<path>.lock", start from the newest file, write the new image to
// "<path>.new", sync it and rename it over the database: a writer killed at
// any instant leaves the old file or the new one, and a reader that opened
// either keeps the image it read. The ".new" name is fixed because
// only the lock holder writes it; a crashed writer's leftover is removed by
// the next one, which then creates its own with O_EXCL.
//
// The parts, each in its own file: the paths and the trust-checked walk
// that reaches them (db_paths), the images read, shared and kept per
// process (db_cache), the writers' lock (db_lock), and here the handles,
// the stores and the library's calls.
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
// lock that another process keeps (db_lock).
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
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <utility>

#include "common/escape.h"
#include "common/trust.h"
#include "common/unique_fd.h"
#include "db/db_cache.h"
#include "db/db_format.h"
#include "db/db_lock.h"
#include "db/db_paths.h"
#include "ek_host.h"

namespace {

using ek::host::log_format;
using ek::host::UniqueFd;
using namespace ek::host::db;

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

// A key for the log: escaped (common/escape.h), cut after kShownKey bytes.
constexpr size_t kShownKey = 32;

void show_key(Bytes key, char (&out)[kShownKey * 4 + 4]) {
    size_t shown = key.size() < kShownKey ? key.size() : kShownKey;
    ek::host::escape_text(key.data(), shown, out);
    if (shown < key.size()) strcat(out, "...");
}

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

// The process id mixed into view tags. getpid is a system call on every
// open otherwise; the id changes only in a fork's child, which the child
// handler refreshes. A child made by a raw clone keeps its parent's value:
// its tags then differ from the parent's by the view count only.
std::atomic<uint32_t> g_pid{0};

void refresh_pid() {
    g_pid.store(static_cast<uint32_t>(getpid()), std::memory_order_relaxed);
}

[[gnu::constructor]] void register_fork_handlers() {
    refresh_pid();
    pthread_atfork(nullptr, nullptr, refresh_pid);
}

bool find_in(const View &view, Bytes key, Record *out) {
    Bytes img = view.bytes();
    uint32_t offset = kHeaderSize;
    for (uint32_t i = 0; i < view.count(); ++i) {
        record_at(img, offset, out);
        if (out->key.size() == key.size() && memcmp(out->key.data(), key.data(), key.size()) == 0) {
            return true;
        }
        offset += out->size;
    }
    return false;
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

    bool find(Bytes key, Record *out) const { return find_in(view, key, out); }

    StoreLock lock_store(int dir) const {
        char lock_path[PATH_MAX];
        side_path(".lock", lock_path);
        return take_lock(dir, lock_path, lock_path + name_at);
    }

    // Under the lock: the newest state of the file. The handle's view
    // serves when its file still shows the status it had when the view was
    // read, and had settled then (see settled): a file that took its inode
    // number since, or a write into it, would show a later change time. The
    // handle keeps its view until a store succeeds, so that a refused one
    // changes nothing.
    bool newest(int dir, View *out) const {
        struct stat now;
        if (fstatat(dir, name(), &now, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
        if (view.image && view.image->settled && same_file(now, view.image->st)) {
            *out = view;
            return true;
        }
        // A file replaced by nothing between stat and open is empty too.
        return load_view(dir, name(), path, out) != Load::bad;
    }

    // Under the lock, in a directory only we and root may write: nobody
    // else can create the ".new" name between its removal and its
    // exclusive creation.
    bool commit(int dir, const unsigned char *image, uint32_t size) const {
        char tmp_path[PATH_MAX];
        side_path(".new", tmp_path);
        const char *tmp = tmp_path + name_at;
        if (unlinkat(dir, tmp, 0) != 0 && errno != ENOENT) return false;
        UniqueFd file(openat(dir, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file || !write_all(file.get(), image, size) || fdatasync(file.get()) != 0 ||
            renameat(dir, tmp, dir, name()) != 0) {
            // A full disk shows here: the store is lost, the database is not.
            log_format(LOG_ERR, "cannot store in %s: writing %s failed: %m", path, tmp_path);
            unlinkat(dir, tmp, 0);
            return false;
        }
        // Makes the rename itself durable. Its failure is not reported: every
        // other process already sees the new file.
        fsync(dir);
        return true;
    }

    // Store (value non-null) or delete (value null) through to the file.
    int32_t write_through(Bytes key, const Bytes *value) {
        // A walk's descriptors and image must stay valid until it ends.
        if (walking > 0) return -1;
        DirPath dir_path(path, dir_len());
        UniqueFd dir = walk(path, dir_path, false);
        if (!dir) return -1;
        StoreLock lock = lock_store(dir.get());
        View cur;
        if (!lock || !newest(dir.get(), &cur)) return -1;

        Record old{};
        bool present = find_in(cur, key, &old);
        if (value == nullptr && !present) return -1;
        uint64_t size = cur.image ? cur.size() : kHeaderSize;
        if (present) size -= old.size;
        if (value != nullptr) size += record_size(key.size(), value->size());
        if (size > kMaxImage) return -1;

        ImageRef image = ImageRef::alloc(static_cast<uint32_t>(size));
        if (!image) return -1;
        unsigned char *dst = image->bytes();
        const unsigned char *src = cur.data();
        uint32_t at = kHeaderSize;
        if (present) {
            // Records keep their order; a replaced record keeps its place.
            memcpy(dst + at, src + kHeaderSize, old.offset - kHeaderSize);
            at = old.offset;
            if (value != nullptr) at += put_record(dst + at, key, *value);
            uint32_t rest = cur.size() - old.offset - old.size;
            memcpy(dst + at, src + old.offset + old.size, rest);
        } else {
            if (src != nullptr) {
                memcpy(dst + at, src + kHeaderSize, cur.size() - kHeaderSize);
                at = cur.size();
            }
            put_record(dst + at, key, *value);
        }
        uint32_t count = cur.count() + (value != nullptr ? 1 : 0) - (present ? 1 : 0);
        return install(dir.get(), std::move(image), count);
    }

    // Under the lock: seals the image, makes it the database and the view.
    // The new file is too young to be cached (see settled); the image the
    // cache holds for the path is dropped, as its file is replaced.
    int32_t install(int dir, ImageRef image, uint32_t count) {
        seal_image(std::span<unsigned char>(image->bytes(), image->size), count);
        if (!commit(dir, image->bytes(), image->size)) return -1;
        image->count = count;
        view.image = std::move(image);
        new_tag();
        cache_put(path, strlen(path), ImageRef());
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
        StoreLock lock = lock_store(dir.get());
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
