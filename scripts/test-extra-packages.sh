#!/bin/sh
# Builds, lints, installs, uses and removes the Debian packages, and checks that nothing they
# installed is left behind; refuses to run where one is installed, never to touch a user's copy.
# shellcheck disable=SC2086,SC2046 # $pkgs and pkg-config's answer are lists of words
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
# Every warning is fixed or overridden with its reason (cmake/debian/*.lintian-overrides).
lintian --fail-on error,warning "$@" || fail lintian
# The library runs on a device too, where the platform's own libek_db.so serves.
! dpkg-deb -f build/deb/libek-brd1_*.deb Depends | grep -q ek-brd-host || fail "libek-brd1 depends on ek-brd-host"
dpkg-deb -f build/deb/libek-brd1_*.deb Recommends | grep -q ek-brd-host || fail "libek-brd1 recommends no ek-brd-host"
dpkg -i "$@" || fail "dpkg -i"
work=$(mktemp -d)
trap 'dpkg -P $pkgs >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
files=$work/files
dpkg -L $pkgs | sort -u >"$files"
version=$(sed -n 's/^project(ek_brd VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$(/usr/bin/brdctl --version)" = "brdctl $version" ] || fail "brdctl --version"
man -l /usr/share/man/man1/brdctl.1.gz >/dev/null || fail "man -l brdctl.1.gz"
bash -c '. /usr/share/bash-completion/completions/brdctl && complete -p brdctl' || fail completion
# shellcheck disable=SC2016
bash -c '. /usr/share/bash-completion/completions/brdctl; COMP_WORDS=(brdctl nat r); COMP_CWORD=2
    _brdctl; [ "${COMPREPLY[*]}" = request-id ]' || fail "completing 'brdctl nat r'"
# The platform library is linked though unused, and the unused libraries after it are dropped.
needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' '; }
printf 'int main(void) { return 0; }\n' >"$work/u.c"
cc -o "$work/u" "$work/u.c" -Wl,--as-needed $(pkg-config --libs ek_brd ek_brd-platform) -lm || fail pkg-config
[ "$(needed "$work/u")" = "libek_platform.so libc.so.6 " ] || fail "pkg-config links: $(needed "$work/u")"
printf 'cmake_minimum_required(VERSION 3.25)\nproject(u C)\nfind_package(ek_brd 1 REQUIRED COMPONENTS host)
add_executable(u u.c)\ntarget_link_libraries(u PRIVATE ek_brd::ek_brd ek_brd::platform m)\n' >"$work/CMakeLists.txt"
{ cmake -S "$work" -B "$work/b" -DCMAKE_EXE_LINKER_FLAGS=-Wl,--as-needed && cmake --build "$work/b"; } >/dev/null ||
    fail "find_package(ek_brd)"
[ "$(needed "$work/b/u")" = "libek_platform.so libc.so.6 " ] || fail "ek_brd::platform links: $(needed "$work/b/u")"
# A machine without lsusb still has a readable brd state.
tests/isolate.sh /usr/bin/brdctl status || fail "brdctl status"
dpkg -r $pkgs || fail "dpkg -r"
# What is still there must be a directory that another package owns (dpkg lists the root as /.).
while read -r path; do
    [ "$path" != /. ] || continue
    [ ! -e "$path" ] || { [ -d "$path" ] && dpkg -S "$path" >/dev/null 2>&1; } || fail "left behind: $path"
done <"$files"
echo "packages: PASS: $# packages built, lintian clean (warnings overridden with their reasons), installed, used and removed"
