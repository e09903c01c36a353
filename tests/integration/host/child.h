// Forked children: a child leaves with its function's result through _exit, never through gtest.
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

// wait() blocks until every holder has released the gate: a state the parent cannot race to see.
class StartGate {
public:
    StartGate() {
        if (pipe(fds_) != 0) std::abort();
    }
    ~StartGate() {
        close(fds_[0]);
        release();
    }
    void wait() {
        release();
        char c;
        while (read(fds_[0], &c, 1) < 0 && errno == EINTR) continue;
    }
    void release() {
        if (fds_[1] >= 0) close(fds_[1]);
        fds_[1] = -1;
    }

private:
    int fds_[2];
};

inline std::string slurp(const char *path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace hosttest
