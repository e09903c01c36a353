// What the host platform agrees to use. On a shared machine /tmp and the
// SysV key space are open to every local user while brdctl and the tests
// run as root, so nothing another user controls may be read, written or
// attached: a directory or file must be owned by the effective user or
// root and be writable by nobody else; a semaphore or segment must also
// have been created by one of them and give nobody else any access (the
// platform creates them 0600). A refusal logs one line that names the
// object, its owner and mode and the reason, so that a person sees at once
// what to remove.
#pragma once

#include <sys/ipc.h>
#include <sys/stat.h>

namespace ek::host {

// One record on syslog and, when EK_LOG_STDERR is set, the same line on
// stderr.
void log_line(int level, const char *text);

// log_line of a formatted line (cut at PATH_MAX + 1024 bytes).
void log_format(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

enum class Use {
    file,       // a regular file the platform reads or writes
    directory,  // the directory holding such files
    passage,    // a directory on the way there: may be world-writable if
                // root owns it and it is sticky, as /tmp is
};

// st describes what a descriptor (or, for an entry O_NOFOLLOW would not
// open, the entry itself) refers to; path only names it in the log.
bool trusted_entry(const char *path, const struct stat &st, Use use);

// Why the rule refuses what st describes, or null; nothing is logged.
const char *entry_fault(const struct stat &st, Use use);

// what is "semaphore" or "segment", perm from IPC_STAT.
bool trusted_ipc(const char *what, int key, const struct ipc_perm &perm);

}  // namespace ek::host
