#!/bin/sh
# Installs the build into a fresh prefix, then builds and runs app.c as the blocks marked
# "consumer:" in docs/brdctl.md tell a user to (pkg-config, find_package), and examples/ alone.
#   run.sh CMAKE BUILD_DIR SOURCE_DIR GENERATOR C_COMPILER TOOLCHAIN_FILE SANITIZERS [EMULATOR...]
set -eux
cmake=$1 build=$2 src=$3 generator=$4 cc=$5 toolchain=$6 flags=${7:+-fsanitize=$7}
shift 7
work=$(mktemp -d /tmp/ek-consumer.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix cflags="-std=c99 -Wall -Wextra -Werror -pedantic $flags"
snippet() {
    sed -n "/^<!-- consumer: $1 -->\$/,/^\`\`\`\$/p" "$src/docs/brdctl.md" | sed "1,2d;\$d;s|/opt/ek_brd|$prefix|g"
}
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
[ "$(readlink "$prefix/lib/libek_brd.so")" = libek_brd.so.1 ]
# The host component is brdctl and the platform libraries alone.
"$cmake" --install "$build" --prefix "$work/host" --component host >/dev/null
[ -x "$work/host/bin/brdctl" ]
[ ! -e "$work/host/include/ek_brd.h" ]
mkdir "$work/app"
cp "$src/tests/consumer/app.c" "$work/app/"
snippet pkg-config | sed "s|^cc |\"$cc\" $cflags |; s|^\./app|\"\$@\" ./app|" >"$work/app/build.sh"
(cd "$work/app" && . ./build.sh)
snippet CMakeLists.txt >"$work/app/CMakeLists.txt"
# ek_brd_DIR names the package directly: a cross toolchain re-roots searches.
for dir in "$work/app" "$src/examples"; do
    "$cmake" -S "$dir" -B "$work/build-${dir##*/}" -G "$generator" ${toolchain:+"-DCMAKE_TOOLCHAIN_FILE=$toolchain"} \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
        -Dek_brd_DIR="$prefix/lib/cmake/ek_brd" >/dev/null
    "$cmake" --build "$work/build-${dir##*/}" >/dev/null
done
"$@" "$work/build-app/app"
"$@" "$work/build-examples/cpe_status"
