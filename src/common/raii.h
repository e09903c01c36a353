// Scope-bound owners of the resources the library takes within one call.
#pragma once

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include <utility>

namespace ek {

// A malloc'd buffer; free() on scope exit, release() hands it on.
template <typename T>
class MallocPtr {
public:
    MallocPtr() = default;
    explicit MallocPtr(T *p) : p_(p) {}
    static MallocPtr alloc(size_t bytes) { return MallocPtr(static_cast<T *>(malloc(bytes))); }
    MallocPtr(const MallocPtr &) = delete;
    MallocPtr &operator=(const MallocPtr &) = delete;
    MallocPtr(MallocPtr &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    MallocPtr &operator=(MallocPtr &&o) noexcept {
        reset(std::exchange(o.p_, nullptr));
        return *this;
    }
    ~MallocPtr() { free(p_); }

    T *get() const { return p_; }
    // For APIs such as getline that may move the buffer.
    T **out() { return &p_; }
    T *operator->() const { return p_; }
    T *release() { return std::exchange(p_, nullptr); }
    void reset(T *p = nullptr) { free(std::exchange(p_, p)); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T *p_ = nullptr;
};

class MutexGuard {
public:
    explicit MutexGuard(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;
    ~MutexGuard() { pthread_mutex_unlock(&m_); }

private:
    pthread_mutex_t &m_;
};

class File {
public:
    File() = default;
    explicit File(FILE *f) : f_(f) {}
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    ~File() { close(); }
    FILE *get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }
    void close() {
        if (f_ != nullptr) fclose(std::exchange(f_, nullptr));
    }

private:
    FILE *f_ = nullptr;
};

}  // namespace ek
