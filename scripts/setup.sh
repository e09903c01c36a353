#!/bin/sh
# Installs the Debian packages a fresh machine lacks for one of the commands:
#   scripts/setup.sh main    the host build and brdctl with its man page (scripts/main-job.sh)
#   scripts/setup.sh test    all of main, the mips cross compiler and qemu-user, clang for the fuzz
#                            targets, the benchmark libraries, what builds and checks the Debian
#                            packages (scripts/test-all.sh)
#   scripts/setup.sh bench   all of main, the benchmark libraries, the mips cross compiler and
#                            python3 for the report (scripts/bench.sh)
# One line per step; apt's own output goes to a log, whose tail is shown when a step fails.
# Safe to run again: does nothing when all is there.
set -eu

main="cmake ninja-build g++ googletest libcli11-dev nlohmann-json3-dev scdoc iproute2 util-linux"
bench="libbenchmark-dev liblmdb-dev libsqlite3-dev g++-mips-linux-gnu"
which=${1:-}
case $which in
main) packages=$main ;;
test)
    packages="$main $bench clang libclang-rt-dev qemu-user pkg-config binutils jq usbutils
              dpkg-dev file lintian man-db bash-completion"
    ;;
bench) packages="$main $bench python3" ;;
*)
    echo "usage: $0 main|test|bench" >&2
    exit 2
    ;;
esac

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -z "$missing" ]; then
    echo "setup: $which: every package is installed"
    exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
log=$(mktemp /tmp/ek-setup.XXXXXX)
step() { # what command...
    what=$1
    shift
    start=$(date +%s)
    if ! "$@" >>"$log" 2>&1; then
        echo "setup: $what: FAILED; the end of $log:"
        tail -n 25 "$log"
        exit 1
    fi
    echo "setup: $what: ok ($(($(date +%s) - start)) s)"
}
# shellcheck disable=SC2086 # $missing is a list of words
set -- $missing
echo "setup: $which: installing $#:$missing"
step "apt-get update" $sudo apt-get update -qq
step "apt-get install" $sudo env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "$@"
rm -f "$log"
