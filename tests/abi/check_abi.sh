#!/bin/sh
# The dynamic interface of libek_brd.so, read with readelf so it works for
# any target's ELF: exactly the names the header declares with EK_BRD_API,
# libek_db.so and libc as the only NEEDED entries, nothing from the C++
# runtime.   check_abi.sh LIBRARY HEADER [--no-needed]
set -eu
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
readelf --dyn-syms -W "$1" >"$tmp/syms"
awk 'NR > 3 && $7 != "UND" && $5 != "LOCAL" && $8 != "" { sub(/@.*/, "", $8); print $8 }' \
    "$tmp/syms" | sort -u >"$tmp/actual"
grep -oE '^(extern )?EK_BRD_API [^;(]*' "$2" | awk '{ sub(/^\*/, "", $NF); print $NF }' |
    sort -u >"$tmp/expected"
diff -u "$tmp/expected" "$tmp/actual" || { echo "exports differ from the header's"; exit 1; }
if [ "${3:-}" != --no-needed ]; then
    readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort >"$tmp/needed"
    printf 'libc.so.6\nlibek_db.so\n' | diff -u - "$tmp/needed" || { echo "NEEDED differs"; exit 1; }
fi
if awk 'NR > 3 && $7 == "UND" { print $8 }' "$tmp/syms" |
    grep -E '^(_Z|__cxa_(guard|throw|begin|end|allocate|pure)|__gxx_|_Unwind_)'; then
    echo "imports from the C++ runtime"
    exit 1
fi
echo "ABI of $(basename "$1"): $(wc -l <"$tmp/actual") exports, as expected"
