#!/bin/sh
# Runs a command in private IPC, mount, network and PID namespaces (a user
# namespace mapped to root for unprivileged users) with a fresh tmpfs on /tmp
# and lo up: the library's fixed SysV keys and /tmp/db paths are the test's
# own, and a test that ctest times out leaves no child holding ctest's pipe.
# shellcheck disable=SC2086 # $user_ns is a list of words
set -eu
# What a test makes has the modes the test means whatever the caller's umask (Debian's for a
# user with a group of their own is 002, and the trust rule refuses group-writable files).
umask 022
# 77: ctest reports the test SKIPPED; it could not run here, it did not pass.
skip() {
    echo "SKIPPED: $1"
    exit 77
}
if [ "${EK_ISOLATED:-}" != 1 ]; then
    user_ns=""
    [ "$(id -u)" -eq 0 ] || user_ns="--user --map-root-user"
    unshare $user_ns --ipc --mount --net --pid --fork true 2>/dev/null ||
        skip "no private namespaces here (unshare $user_ns refused)"
    exec env EK_ISOLATED=1 unshare $user_ns --ipc --mount --net --pid --mount-proc --kill-child -- "$0" "$@"
fi
mount --make-rprivate / || skip "no private mounts here"
# The new /tmp is made aside and moved into place; a checkout under /tmp (as
# CI clones may be) is bound into it at the same path.
fresh=$(mktemp -d /dev/shm/ek-isolate.XXXXXX 2>/dev/null || mktemp -d /run/ek-isolate.XXXXXX)
mount -t tmpfs -o size=256m,mode=1777 ek_tmp "$fresh" || skip "no tmpfs here"
for keep in "$(cd "$(dirname "$0")/.." && pwd -P)" "$(pwd -P)"; do
    case "$keep" in /tmp/*) ;; *) continue ;; esac
    top=${keep#/tmp/}
    top=${top%%/*}
    [ -d "$fresh/$top" ] || { mkdir -p "$fresh/$top" && mount --rbind "/tmp/$top" "$fresh/$top"; }
done
mount --move "$fresh" /tmp || skip "/tmp cannot be replaced here"
rmdir "$fresh" 2>/dev/null || true
ip link set lo up 2>/dev/null || true
exec "$@"
