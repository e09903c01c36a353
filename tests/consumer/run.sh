#!/bin/sh
# Installs the build into a fresh prefix, checks the layout, builds the
# consumer program against it once with pkg-config and once with
# find_package(ek_brd), and runs both (through the emulator, if any).
#   run.sh CMAKE BUILD_DIR APP_DIR GENERATOR C_COMPILER TOOLCHAIN_FILE EXTRA_FLAGS [EMULATOR...]
set -eu
cmake=$1 build=$2 app=$3 generator=$4 cc=$5 toolchain=$6 flags=$7
shift 7

work=$(mktemp -d /tmp/ek-consumer.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "consumer: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" >/dev/null

for f in lib/libek_brd.so.1 include/ek_brd.h lib/pkgconfig/ek_brd.pc \
         lib/cmake/ek_brd/ek_brdConfig.cmake lib/cmake/ek_brd/ek_brdConfigVersion.cmake \
         lib/cmake/ek_brd/ek_brdTargets.cmake bin/brdctl lib/libek_db.so lib/libek_platform.so; do
    [ -e "$prefix/$f" ] || fail "the install lacks $f"
done
[ "$(readlink "$prefix/lib/libek_brd.so")" = libek_brd.so.1 ] || fail "lib/libek_brd.so is not a link to libek_brd.so.1"

# The host component alone: what a development machine adds to a router's set.
"$cmake" --install "$build" --prefix "$work/host-only" --component host >/dev/null
[ -e "$work/host-only/bin/brdctl" ] && [ ! -e "$work/host-only/include/ek_brd.h" ] \
    || fail "the host component is not brdctl and the platform libraries alone"

echo "== pkg-config"
pc_flags=$(PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" pkg-config --cflags --libs ek_brd)
echo "pkg-config --cflags --libs ek_brd: $pc_flags"
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Wextra -Werror -pedantic $flags "$app/consumer.c" $pc_flags \
    -Wl,--no-as-needed -lek_platform -Wl,-rpath,"$prefix/lib" -o "$work/consumer-pkgconfig"
"$@" "$work/consumer-pkgconfig"

echo "== find_package(ek_brd)"
toolchain_arg=""
[ -n "$toolchain" ] && toolchain_arg="-DCMAKE_TOOLCHAIN_FILE=$toolchain"
# ek_brd_DIR names the package directly: a cross toolchain re-roots searches.
"$cmake" -S "$app" -B "$work/build" -G "$generator" $toolchain_arg \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    -Dek_brd_DIR="$prefix/lib/cmake/ek_brd" \
    -DEK_PLATFORM_LIBRARY="$prefix/lib/libek_platform.so" \
    -DCMAKE_BUILD_RPATH="$prefix/lib" >/dev/null
"$cmake" --build "$work/build" >/dev/null
"$@" "$work/build/consumer"
