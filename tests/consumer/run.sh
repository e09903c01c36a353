#!/bin/sh
# Installs the build into a fresh prefix, checks the layout, then builds
# and runs what docs/brdctl.md tells a user to write (the blocks marked
# "consumer:" there, with the prefix /opt/ek_brd replaced): app.c with
# pkg-config and with find_package(ek_brd), and examples/ on its own.
#   run.sh CMAKE BUILD_DIR SOURCE_DIR GENERATOR C_COMPILER TOOLCHAIN_FILE EXTRA_FLAGS [EMULATOR...]
set -eu
cmake=$1 build=$2 src=$3 generator=$4 cc=$5 toolchain=$6 flags=$7
shift 7

work=$(mktemp -d /tmp/ek-consumer.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "consumer: $*" >&2; exit 1; }
# The block of docs/brdctl.md after the line "<!-- consumer: $1 -->".
snippet() {
    sed -n "/^<!-- consumer: $1 -->\$/,/^\`\`\`\$/p" "$src/docs/brdctl.md" | sed '1,2d;$d' |
        sed "s|/opt/ek_brd|$prefix|g"
}

"$cmake" --install "$build" --prefix "$prefix" >/dev/null

for f in lib/libek_brd.so.1 include/ek_brd.h lib/pkgconfig/ek_brd.pc lib/pkgconfig/ek_brd-platform.pc \
         lib/cmake/ek_brd/ek_brdConfig.cmake lib/cmake/ek_brd/ek_brdConfigVersion.cmake \
         lib/cmake/ek_brd/ek_brdTargets.cmake lib/cmake/ek_brd/ek_brdHostTargets.cmake \
         bin/brdctl lib/libek_db.so lib/libek_platform.so; do
    [ -e "$prefix/$f" ] || fail "the install lacks $f"
done
[ "$(readlink "$prefix/lib/libek_brd.so")" = libek_brd.so.1 ] || fail "lib/libek_brd.so is not a link to libek_brd.so.1"
"$cmake" --install "$build" --prefix "$work/host-only" --component host >/dev/null
[ -e "$work/host-only/bin/brdctl" ] && [ ! -e "$work/host-only/include/ek_brd.h" ] \
    || fail "the host component is not brdctl and the platform libraries alone"

mkdir "$work/pc" "$work/app"
cp "$src/tests/consumer/app.c" "$work/pc/app.c"
cp "$src/tests/consumer/app.c" "$work/app/app.c"

echo "== pkg-config"
cflags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags ek_brd | sed "s/ *$//")
[ "$cflags" = "-I$prefix/include" ] || fail "pkg-config --cflags ek_brd says '$cflags'"
snippet pkg-config | sed "s|^cc |\"$cc\" -std=c99 -Wall -Wextra -Werror -pedantic $flags |; s|^\./app|\"\$@\" ./app|" \
    >"$work/pc/build.sh"
cat "$work/pc/build.sh"
(cd "$work/pc" && . ./build.sh)

echo "== find_package(ek_brd)"
snippet CMakeLists.txt >"$work/app/CMakeLists.txt"
toolchain_arg=""
[ -n "$toolchain" ] && toolchain_arg="-DCMAKE_TOOLCHAIN_FILE=$toolchain"
# ek_brd_DIR names the package directly: a cross toolchain re-roots searches.
for dir in "$work/app" "$src/examples"; do
    out=$work/build-$(basename "$dir")
    "$cmake" -S "$dir" -B "$out" -G "$generator" $toolchain_arg -DCMAKE_C_COMPILER="$cc" \
        -DCMAKE_C_FLAGS="-std=c99 -Wall -Wextra -Werror -pedantic $flags" \
        -DCMAKE_EXE_LINKER_FLAGS="$flags" -Dek_brd_DIR="$prefix/lib/cmake/ek_brd" >/dev/null
    "$cmake" --build "$out" >/dev/null
done
"$@" "$work/build-app/app"
"$@" "$work/build-examples/cpe_status"
