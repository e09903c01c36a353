#!/bin/sh
# Builds, lints, installs, uses and removes the Debian packages, and checks that nothing they
# installed is left behind; refuses to run where one is installed, never to touch a user's copy.
# shellcheck disable=SC2086 # $pkgs is a list of words
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh test
pkgs="libek-brd1 libek-brd-dev ek-brd-host"
fail() {
    echo "packages: FAILED: $*"
    exit 1
}
for p in $pkgs; do
    ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || fail "$p is already installed"
done
rm -f build/deb/*.deb
cmake --workflow --preset deb || fail "cmake --workflow --preset deb"
set -- build/deb/*.deb
[ $# -eq 3 ] || fail "expected 3 packages, got: $*"
lintian --fail-on error "$@" || fail lintian
# The library runs on a device too, where the platform's own libek_db.so serves.
! dpkg-deb -f build/deb/libek-brd1_*.deb Depends | grep -q ek-brd-host || fail "libek-brd1 depends on ek-brd-host"
dpkg -i "$@" || fail "dpkg -i"
files=$(mktemp)
# Purged in the end: their ldconfig postrm scripts keep dpkg's records after -r.
trap 'dpkg -P $pkgs >/dev/null 2>&1 || true; rm -f "$files"' EXIT
dpkg -L $pkgs | sort -u >"$files"
version=$(sed -n 's/^project(ek_brd VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$(/usr/bin/brdctl --version)" = "brdctl $version" ] || fail "brdctl --version"
man -l /usr/share/man/man1/brdctl.1.gz >/dev/null || fail "man -l brdctl.1.gz"
bash -c '. /usr/share/bash-completion/completions/brdctl && complete -p brdctl' || fail completion
# shellcheck disable=SC2016
bash -c '. /usr/share/bash-completion/completions/brdctl; COMP_WORDS=(brdctl nat r); COMP_CWORD=2
    _brdctl; [ "${COMPREPLY[*]}" = request-id ]' || fail "completing 'brdctl nat r'"
pkg-config --exists ek_brd || fail "pkg-config ek_brd"
# A machine without lsusb still has a readable brd state.
tests/isolate.sh /usr/bin/brdctl status || fail "brdctl status"
dpkg -r $pkgs || fail "dpkg -r"
# What is still there must be a directory that another package owns.
while read -r path; do
    [ ! -e "$path" ] || { [ -d "$path" ] && dpkg -S "$path" >/dev/null 2>&1; } || fail "left behind: $path"
done <"$files"
echo "packages: PASS: $# packages built, lintian clean of errors, installed, used and removed"
