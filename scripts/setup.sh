#!/bin/sh
# Installs what a fresh Debian machine lacks to build and test libek_brd:
# the host and mips toolchains, qemu-user, GoogleTest/Benchmark sources,
# the command-line tool's header-only libraries, what the benchmarks
# compare against, and what builds and checks the Debian packages. Safe to run again; does nothing when all is there.
set -eu

packages="cmake ninja-build g++ clang libclang-rt-dev googletest libbenchmark-dev
          g++-mips-linux-gnu qemu-user libcli11-dev nlohmann-json3-dev
          iproute2 util-linux liblmdb-dev libsqlite3-dev pkg-config binutils jq usbutils
          scdoc dpkg-dev file lintian man-db bash-completion"

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup: installing$missing"
$sudo apt-get update -qq
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
