#!/bin/sh
# Runs a command in private IPC, mount and network namespaces with a fresh
# tmpfs on /tmp and the loopback interface up. Unprivileged users get a user
# namespace mapped to root.
set -eu
if [ "${EK_ISOLATED:-}" != 1 ]; then
    user_ns=""
    [ "$(id -u)" -eq 0 ] || user_ns="--user --map-root-user"
    # shellcheck disable=SC2086
    exec env EK_ISOLATED=1 unshare $user_ns --ipc --mount --net --fork -- "$0" "$@"
fi
mount --make-rprivate / 2>/dev/null || true
mount -t tmpfs -o size=64m,mode=1777 ek_tmp /tmp
ip link set lo up 2>/dev/null || true
exec "$@"
