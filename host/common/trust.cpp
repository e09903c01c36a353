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

namespace ek::host {

namespace {

bool trusted_uid(uid_t uid) {
    return uid == 0 || uid == geteuid();
}

// path as one shell word: as it is when it needs no quoting, else in single
// quotes, so that the command a refusal names can be pasted as it stands.
const char *shell_word(const char *path, char *out, size_t size) {
    if (strspn(path, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._+-") ==
        strlen(path)) {
        return path;
    }
    size_t n = 0;
    out[n++] = '\'';
    for (const char *c = path; *c != '\0' && n + 6 < size; ++c) {
        if (*c == '\'') {
            memcpy(out + n, "'\\''", 4);
            n += 4;
        } else {
            out[n++] = *c;
        }
    }
    out[n++] = '\'';
    out[n] = '\0';
    return out;
}

// "refusing OBJECT (STATE): WHY; FIX": what is refused, what it is, why, and
// the command that mends it, in the words of the platform's other refusals.
void refuse(const char *object, const char *state, const char *why, const char *fix) {
    char line[PATH_MAX * 6];
    snprintf(line, sizeof line, "refusing %s (%s): %s; %s", object, state, why, fix);
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
    char quoted[PATH_MAX * 4 + 8];
    const char *word = shell_word(path, quoted, sizeof quoted);
    char fix[sizeof quoted + 64];
    if (!S_ISLNK(st.st_mode) && trusted_uid(st.st_uid) &&
        (use == Use::file ? S_ISREG(st.st_mode) : S_ISDIR(st.st_mode))) {
        snprintf(fix, sizeof fix, "let only its owner write it (chmod go-w %s)", word);
    } else {
        // Taking another user's entry over with chown would leave its
        // owner's open descriptors, locks and links inside it.
        bool foreign = !S_ISLNK(st.st_mode) && !trusted_uid(st.st_uid);
        snprintf(fix, sizeof fix, "remove it%s (rm %s%s)", foreign ? ", do not chown it" : "",
                 S_ISDIR(st.st_mode) ? "-rf " : "", word);
    }
    refuse(object, state, why, fix);
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
    char fix[48];
    snprintf(fix, sizeof fix, "remove it (ipcrm -%c 0x%08x)",
             strcmp(what, "segment") == 0 ? 'M' : 'S', id);
    refuse(object, state, why, fix);
    return false;
}

}  // namespace ek::host
