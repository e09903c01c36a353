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

void refuse(const char *object, unsigned owner, const char *creator, unsigned mode,
            const char *why) {
    char line[PATH_MAX + 160];
    snprintf(line, sizeof line, "refusing %s (owner uid %u%s, mode %04o): %s", object, owner,
             creator, mode, why);
    log_line(LOG_ERR, line);
}

}  // namespace

const char *entry_fault(const struct stat &st, Use use) {
    if (S_ISLNK(st.st_mode)) return "a symbolic link, never followed";
    if (use == Use::file ? !S_ISREG(st.st_mode) : !S_ISDIR(st.st_mode)) {
        return use == Use::file ? "not a regular file" : "not a directory";
    }
    // Taking it over with chown would leave its owner's open descriptors,
    // locks and links inside it.
    if (!trusted_uid(st.st_uid)) return "owned by another user: remove it, do not chown it";
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
    refuse(object, st.st_uid, "", st.st_mode & 07777, why);
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
    char object[48];
    snprintf(object, sizeof object, "SysV %s 0x%08x", what, static_cast<unsigned>(key));
    char creator[32];
    snprintf(creator, sizeof creator, ", creator uid %u", static_cast<unsigned>(perm.cuid));
    refuse(object, perm.uid, creator, perm.mode & 0777, why);
    return false;
}

}  // namespace ek::host
