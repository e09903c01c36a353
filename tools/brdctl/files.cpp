// The files export writes and import reads, named by whoever runs brdctl,
// usually root, often in /tmp.
//
// Nothing another local user can shape is followed or read: the directory
// is walked from "/" (or the working directory) one component at a time
// without following links, each descriptor checked under the host
// platform's trust rule, and the file is opened relative to the last one.
// The directory may be one that root owns and everybody may write if it is
// sticky (/tmp): nobody else can rename or remove what root puts there, the
// file read must be root's (or the caller's) own, and a file is written as
// a new one under a name nobody could have guessed, then renamed over the
// old: there is never a name another user can point elsewhere.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "brdctl.h"
#include "ek_host.h"

namespace brdctl {

namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd &operator=(Fd &&o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

std::string octal_mode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// The host's reason without the fix it gives for a database.
std::string bare_reason(const char *why) {
    std::string reason(why);
    return reason.substr(0, reason.find(": "));
}

// "refusing [directory ]NAME (owner uid U, mode M): REASON; FIX", in the
// shape of the databases' refusals, with a fix that suits a file the user
// named rather than one of the databases.
[[noreturn]] void refuse(const std::string &name, const struct stat &st, const char *why,
                         bool directory, bool writing) {
    std::string reason = bare_reason(why), fix;
    if (S_ISLNK(st.st_mode)) {
        fix = directory ? "name the directory it points to" : "name the file it points to";
    } else if (reason == "not a regular file") {
        fix = writing ? "export writes a regular file, or standard output for -"
                      : "import reads a regular file, or standard input for -";
    } else if (reason.rfind("owned by another user", 0) == 0) {
        fix = directory ? "use a directory of your own" : "remove it, do not chown it";
    } else if (reason == "writable by group or others") {
        fix = directory ? "use a directory only you can write"
                        : "check what it holds, then chmod go-w it";
    }
    // A link's own mode means nothing (it is always 0777).
    std::string state =
        S_ISLNK(st.st_mode)
            ? "symbolic link, owner uid " + std::to_string(st.st_uid)
            : "owner uid " + std::to_string(st.st_uid) + ", mode " + octal_mode(st.st_mode);
    op_failed("refusing " + std::string(directory ? "directory " : "") + name + " (" + state +
              "): " + reason + (fix.empty() ? "" : "; " + fix));
}

[[noreturn]] void failed(const std::string &what, const std::string &name, int err) {
    op_failed("cannot " + what + " " + name + ": " + std::strerror(err));
}

struct Place {
    Fd dir;            // the directory the file is (to be) in, checked
    std::string base;  // the file's name in it
};

// Opens the directory of FILE, checking every component on its descriptor,
// the working directory included: a directory another user may change is a
// place where the file can be swapped. A component O_NOFOLLOW would not
// open is looked at with lstat, so the line says what stands there.
Place open_place(const std::string &file, bool writing) {
    auto slash = file.rfind('/');
    Place place;
    place.base = slash == std::string::npos ? file : file.substr(slash + 1);
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    if (place.base.empty() || place.base == "." || place.base == "..") {
        op_failed(file + " names a directory; name a file in it");
    }
    bool absolute = file[0] == '/';
    std::string shown = absolute ? "/" : ".";
    auto check = [&](int fd) {
        struct stat st;
        if (fstat(fd, &st) != 0) failed("open directory", shown, errno);
        if (const char *why = ek_host_trust_fault(&st, EK_HOST_TRUST_PASSAGE)) {
            refuse(shown, st, why, true, writing);
        }
    };
    // The first component of an absolute path is opened by its own name, not
    // relative to "/": an emulator that serves "/" from a sysroot (qemu-user
    // -L) still finds the real /tmp that way.
    Fd fd;
    if (!absolute || dir.find_first_not_of('/') == std::string::npos) {
        fd = Fd(open(shown.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd.get() < 0) failed("open directory", shown, errno);
        check(fd.get());
    }
    for (std::size_t at = 0;;) {
        while (at < dir.size() && dir[at] == '/') ++at;
        if (at >= dir.size()) break;
        std::size_t end = std::min(dir.find('/', at), dir.size());
        shown = dir.substr(0, end);
        int parent = fd.get() < 0 ? AT_FDCWD : fd.get();
        std::string name = fd.get() < 0 ? shown : dir.substr(at, end - at);
        Fd next(openat(parent, name.c_str(),
                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        if (next.get() < 0) {
            int err = errno;
            struct stat st;
            if ((err == ELOOP || err == ENOTDIR) &&
                fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                if (const char *why = ek_host_trust_fault(&st, EK_HOST_TRUST_PASSAGE)) {
                    refuse(shown, st, why, true, writing);
                }
            }
            failed("open directory", shown, err);
        }
        fd = std::move(next);
        check(fd.get());
        at = end;
    }
    place.dir = std::move(fd);
    return place;
}

bool write_all(int fd, const char *data, std::size_t size) {
    while (size > 0) {
        ssize_t put = write(fd, data, size);
        if (put < 0 && errno == EINTR) continue;
        if (put == 0) errno = EIO;
        if (put <= 0) return false;
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

// Reads fd to its end, refusing more than kMaxDocument.
std::string read_capped(int fd, const std::string &name) {
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t got = read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) failed("read", name, errno);
        if (got == 0) return text;
        if (text.size() + static_cast<std::size_t>(got) > kMaxDocument) {
            usage_error(name + " is larger than " + std::to_string(kMaxDocument >> 20) +
                        " MiB, the most import reads");
        }
        text.append(buf, static_cast<std::size_t>(got));
    }
}

// While a new file exists under its temporary name, the signals a user
// sends to stop brdctl wait, and a size limit fails the write instead of
// ending the process: either would leave the file behind.
class HeldSignals {
public:
    HeldSignals() {
        sigset_t stop;
        sigemptyset(&stop);
        for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE}) sigaddset(&stop, sig);
        sigprocmask(SIG_BLOCK, &stop, &saved_mask_);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &saved_xfsz_);
    }
    ~HeldSignals() {
        sigaction(SIGXFSZ, &saved_xfsz_, nullptr);
        sigprocmask(SIG_SETMASK, &saved_mask_, nullptr);
    }
    HeldSignals(const HeldSignals &) = delete;
    HeldSignals &operator=(const HeldSignals &) = delete;

private:
    sigset_t saved_mask_;
    struct sigaction saved_xfsz_;
};

// A name beside the file that no other user can have made in advance.
std::string temporary_name(const std::string &base) {
    unsigned char random[6];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        failed("make a temporary name for", base, errno);
    }
    std::string name = "." + base.substr(0, 200) + ".";
    for (unsigned char byte : random) {
        name += "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_"[byte & 63];
    }
    return name;
}

}  // namespace

std::string read_document(const std::string &file) {
    if (file.empty()) usage_error("FILE is empty; name a file, or - for standard input");
    if (file == "-") return read_capped(STDIN_FILENO, "standard input");
    Place place = open_place(file, false);
    const char *name = place.base.c_str();
    // A FIFO or device is refused before it is opened where possible: an
    // open may have effects of its own. The open neither follows a link
    // nor waits for a FIFO's writer, and what it opened is what counts.
    struct stat st;
    if (fstatat(place.dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) failed("read", file, errno);
    if (const char *why = ek_host_trust_fault(&st, EK_HOST_TRUST_FILE)) {
        refuse(file, st, why, false, false);
    }
    Fd fd(openat(place.dir.get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) failed("read", file, errno);
    if (fstat(fd.get(), &st) != 0) failed("read", file, errno);
    if (const char *why = ek_host_trust_fault(&st, EK_HOST_TRUST_FILE)) {
        refuse(file, st, why, false, false);
    }
    return read_capped(fd.get(), file);
}

void write_document(const std::string &file, const std::string &text) {
    if (file.empty()) usage_error("FILE is empty; name a file, or - for standard output");
    if (text.size() > kMaxDocument) {
        op_failed("the document is " + std::to_string(text.size()) + " bytes, more than the " +
                  std::to_string(kMaxDocument >> 20) + " MiB import reads");
    }
    if (file == "-") {
        // main() checks standard output once at the end, where a reader that
        // went away is told from a write that failed.
        std::fwrite(text.data(), 1, text.size(), stdout);
        return;
    }
    Place place = open_place(file, true);
    int dir = place.dir.get();
    struct stat st;
    if (fstatat(dir, place.base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (const char *why = ek_host_trust_fault(&st, EK_HOST_TRUST_FILE)) {
            refuse(file, st, why, false, true);
        }
    } else if (errno != ENOENT) {
        failed("write", file, errno);
    }
    HeldSignals held;
    std::string tmp;
    Fd fd;
    for (int attempt = 0; fd.get() < 0; ++attempt) {
        tmp = temporary_name(place.base);
        fd = Fd(
            openat(dir, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd.get() < 0 && (errno != EEXIST || attempt == 100)) failed("write", file, errno);
    }
    // The mode whatever the umask; the owner is the effective user.
    bool written = fchmod(fd.get(), 0600) == 0 && write_all(fd.get(), text.data(), text.size()) &&
                   fsync(fd.get()) == 0;
    int err = errno;
    if (close(fd.release()) != 0 && written) {
        written = false;
        err = errno;
    }
    if (written && renameat(dir, tmp.c_str(), dir, place.base.c_str()) != 0) {
        written = false;
        err = errno;
    }
    if (!written) {
        unlinkat(dir, tmp.c_str(), 0);
        op_failed("cannot write " + file + ": " + std::strerror(err) + "; " + file +
                  " is unchanged");
    }
    // The new name survives a crash only once the directory is on disk.
    if (fsync(dir) != 0) failed("sync the directory of", file, errno);
}

}  // namespace brdctl
