#include "common/trust.h"

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include "ek_host.h"

namespace {

thread_local char t_last_line[1024];

}  // namespace

// Called through the dynamic symbol, never inlined: the copy of this file
// in the other host library then writes the same buffer.
extern "C" char *ek_host_last_log_line(void) {
    return t_last_line;
}

extern "C" const char *ek_host_trust_fault(const struct stat *st, int32_t use) {
    using ek::host::Use;
    if (st == nullptr || use < 0 || use > 2) return "not a file or directory";
    return ek::host::entry_fault(*st, use == 0   ? Use::file
                                      : use == 1 ? Use::directory
                                                 : Use::passage);
}

namespace ek::host {

namespace {

bool trusted_uid(uid_t uid) {
    return uid == 0 || uid == geteuid();
}

// A refusal longer than this is cut where brdctl shows it (the last line
// kept); the command it names is then left out, never cut.
constexpr size_t kWhole = sizeof t_last_line - 1;

// path as one shell word in out: as it is when it needs no quoting, else in
// single quotes, so that the command a refusal names can be pasted as it
// stands. False when it does not fit.
bool shell_word(const char *path, char *out, size_t size) {
    bool plain =
        strspn(path, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._+-") ==
        strlen(path);
    size_t n = 0;
    if (!plain) out[n++] = '\'';
    for (const char *c = path; *c != '\0'; ++c) {
        bool quote = !plain && *c == '\'';
        if (n + (quote ? 4 : 1) + 2 > size) return false;
        if (quote) {
            memcpy(out + n, "'\\''", 4);
            n += 4;
        } else {
            out[n++] = *c;
        }
    }
    if (!plain) out[n++] = '\'';
    out[n] = '\0';
    return true;
}

// "refusing OBJECT (STATE): WHY; FIX (COMMAND)": what is refused, what it
// is, why, and what mends it, in the words of the platform's other
// refusals.
void refuse(const char *object, const char *state, const char *why, const char *fix,
            const char *command) {
    char line[PATH_MAX + 4 * kWhole];
    int n = snprintf(line, sizeof line, "refusing %s (%s): %s; %s (%s)", object, state, why, fix,
                     command);
    if (command[0] == '\0' || n < 0 || static_cast<size_t>(n) > kWhole) {
        snprintf(line, sizeof line, "refusing %s (%s): %s; %s", object, state, why, fix);
    }
    log_line(LOG_ERR, line);
}

}  // namespace

const char *entry_fault(const struct stat &st, Use use) {
    if (S_ISLNK(st.st_mode)) return "links are never followed";
    if (use == Use::file ? !S_ISREG(st.st_mode) : !S_ISDIR(st.st_mode)) {
        return use == Use::file ? "not a regular file" : "not a directory";
    }
    if (!trusted_uid(st.st_uid)) return "owned by another user";
    bool shared_sticky = use == Use::passage && st.st_uid == 0 && (st.st_mode & S_ISVTX) != 0;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !shared_sticky) {
        return "writable by group or others";
    }
    return nullptr;
}

void log_line(int level, const char *text) {
    syslog(level, "%s", text);
    char *last = ek_host_last_log_line();
    size_t kept = strnlen(text, sizeof t_last_line - 1);
    memcpy(last, text, kept);
    last[kept] = '\0';
    if (getenv("EK_LOG_STDERR") == nullptr) return;
    // One write per record keeps lines of concurrent processes whole.
    char line[PATH_MAX + 1200];
    size_t len = strnlen(text, sizeof line - 1);
    memcpy(line, text, len);
    line[len] = '\n';
    ssize_t ignored = write(STDERR_FILENO, line, len + 1);
    (void)ignored;
}

void log_format(int level, const char *format, ...) {
    char line[PATH_MAX + 1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    log_line(level, line);
}

bool trusted_entry(const char *path, const struct stat &st, Use use) {
    const char *why = entry_fault(st, use);
    if (why == nullptr) return true;
    char object[PATH_MAX + 16];
    snprintf(object, sizeof object, "%s %s", use == Use::file ? "file" : "directory", path);
    // A link's own mode means nothing (it is always 0777).
    char state[64];
    if (S_ISLNK(st.st_mode)) {
        snprintf(state, sizeof state, "symbolic link, owner uid %u",
                 static_cast<unsigned>(st.st_uid));
    } else {
        snprintf(state, sizeof state, "owner uid %u, mode %04o", static_cast<unsigned>(st.st_uid),
                 static_cast<unsigned>(st.st_mode & 07777));
    }
    char quoted[kWhole];
    bool fits = shell_word(path, quoted, sizeof quoted);
    char command[2 * kWhole + 64] = "";
    const char *fix;
    bool sound = !S_ISLNK(st.st_mode) && trusted_uid(st.st_uid) &&
                 (use == Use::file ? S_ISREG(st.st_mode) : S_ISDIR(st.st_mode));
    if (sound && use == Use::passage && st.st_uid == 0) {
        // A directory others share, as /tmp, stays open to them when sticky.
        fix = "let only its owner write it or make it sticky";
        if (fits) {
            snprintf(command, sizeof command, "chmod go-w %s, or chmod +t %s", quoted, quoted);
        }
    } else if (sound) {
        fix = "let only its owner write it";
        if (fits) snprintf(command, sizeof command, "chmod go-w %s", quoted);
    } else {
        // Taking another user's entry over with chown would leave its
        // owner's open descriptors, locks and links inside it.
        bool foreign = !S_ISLNK(st.st_mode) && !trusted_uid(st.st_uid);
        fix = foreign ? "remove it, do not chown it" : "remove it";
        if (fits) {
            snprintf(command, sizeof command, "rm %s%s", S_ISDIR(st.st_mode) ? "-rf " : "", quoted);
        }
    }
    refuse(object, state, why, fix, command);
    return false;
}

bool trusted_ipc(const char *what, int key, const struct ipc_perm &perm) {
    const char *why = nullptr;
    if (!trusted_uid(perm.uid) || !trusted_uid(perm.cuid)) {
        why = "owned or created by another user";
    } else if ((perm.mode & 077) != 0) {
        why = "open to group or others";
    }
    if (why == nullptr) return true;
    auto id = static_cast<unsigned>(key);
    char object[48];
    snprintf(object, sizeof object, "SysV %s 0x%08x", what, id);
    char state[80];
    snprintf(state, sizeof state, "owner uid %u, creator uid %u, mode %04o",
             static_cast<unsigned>(perm.uid), static_cast<unsigned>(perm.cuid),
             static_cast<unsigned>(perm.mode & 0777));
    // Its next user makes it anew, open to its owner only.
    char command[32];
    snprintf(command, sizeof command, "ipcrm -%c 0x%08x", strcmp(what, "segment") == 0 ? 'M' : 'S',
             id);
    refuse(object, state, why, "remove it", command);
    return false;
}

}  // namespace ek::host
