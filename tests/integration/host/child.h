// Forked children, which leave through _exit, never through gtest; a database handle.
#pragma once

#include <errno.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "platform/ek_db.h"

namespace hosttest {

inline pid_t spawn(const std::function<int()> &body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

// The exit code, or 128 + the signal that ended the child.
inline int wait_child(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Memory that forked children share with the parent.
template <typename T>
T *shared_anon() {
    void *p = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    return new (p) T();
}

struct TestDb {
    explicit TestDb(const char *path) : h(ek_db_open_ex(path, EK_DB_MODE)) {}
    ~TestDb() { ek_db_close(h); }
    int store(const std::string &k, const void *v, size_t n) {
        return ek_db_store(h, k.data(), static_cast<int32_t>(k.size()), v, static_cast<int32_t>(n));
    }
    int store(const std::string &k, const std::string &v) { return store(k, v.data(), v.size()); }
    // Each walk tries a store too, refused: it would replace the image the descriptors point into.
    std::vector<ek_db_key_desc_t> walk() {
        std::vector<ek_db_key_desc_t> keys;
        ek_db_foreach(
            h,
            [](ek_db_handle_t db, ek_db_key_desc_t k, void *arg) {
                auto *out = static_cast<std::vector<ek_db_key_desc_t> *>(arg);
                out->push_back(ek_db_store(db, "w", 1, "w", 1) < 0 ? k : ek_db_key_desc_t{});
            },
            &keys);
        return keys;
    }
    std::string at(ek_db_key_desc_t k) {
        char buf[1024] = {};
        return ek_db_fetch_bykey(h, k, buf) == 0 ? buf : "<refused>";
    }
    // The value under k, up to a NUL, or "<refused>".
    std::string get(const std::string &k) {
        std::string v(8192, '\0');
        int32_t rc = ek_db_fetch(h, k.data(), static_cast<int32_t>(k.size()), v.data());
        return rc == 0 ? v.c_str() : "<refused>";
    }
    // The count, then the values in walk order.
    std::string dump() {
        std::string out = std::to_string(ek_db_count(h)) + ":";
        for (auto k : walk()) out += " " + at(k);
        return out;
    }
    ek_db_handle_t h;
};

inline std::string slurp(const char *path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace hosttest
