// Images of the host database: read and checked whole at an open, shared
// by the handles that read them, and kept per process for the next open of
// an unchanged file.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <new>
#include <utility>

#include "common/unique_fd.h"
#include "db/db_format.h"
#include "db/db_paths.h"

namespace ek::host::db {

// A verified image, shared by the handles that read it and the cache of
// images. Nobody writes into it once it is verified (a store builds a new
// one), so sharing needs only the count of references; the last one frees
// the memory.
struct alignas(8) Image {
    std::atomic<uint32_t> refs{1};
    uint32_t size = 0;
    uint32_t count = 0;
    // Whether st, its file's status when it was read, tells whether the
    // database is still that file (see settled); false for an image a
    // store wrote.
    bool settled = false;
    struct stat st {};

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
    const unsigned char *data() const { return image ? image->bytes() : nullptr; }
    Bytes bytes() const { return Bytes(data(), size()); }
};

bool same_file(const struct stat &a, const struct stat &b);

// Keeps image (null: forgets) as path's (len bytes).
void cache_put(const char *path, size_t len, const ImageRef &image);

// An open without a read: the image kept for path, when its file and
// directory show what they showed then (see db_cache.cpp).
bool open_cached(const char *path, size_t len, const DirPath &dir, View *out);

enum class Load { ok, missing, bad };

UniqueFd open_file(int dir, const char *name, const char *path, struct stat *st);

// Reads and checks the image of file, a trusted regular file described by st,
// and keeps it when its file has settled.
Load read_view(UniqueFd file, const struct stat &st, const char *path, View *out);

// read_view of name in dir; missing when there is no such file.
Load load_view(int dir, const char *name, const char *path, View *out);

}  // namespace ek::host::db
