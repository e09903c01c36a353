#!/bin/sh
# The dynamic interface of libek_brd.so: exported names, NEEDED entries and
# imports, read with readelf so it works for any target's ELF.
#   check_abi.sh LIBRARY EXPORTS_FILE [--no-needed]
set -eu
lib=$1
expected=$2
check_needed=1
[ "${3:-}" = "--no-needed" ] && check_needed=0
fail=0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

readelf --dyn-syms -W "$lib" | awk 'NR > 3 && $7 != "UND" && $5 != "LOCAL" && $8 != "" { sub(/@.*/, "", $8); print $8 }' \
    | sort -u > "$tmp/actual"
grep -v '^#' "$expected" | sed '/^$/d' | sort -u > "$tmp/expected"
if ! diff -u "$tmp/expected" "$tmp/actual" > "$tmp/diff"; then
    echo "exported symbols differ from $expected (- missing, + unexpected):"
    tail -n +3 "$tmp/diff"
    fail=1
fi

if [ $check_needed = 1 ]; then
    readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort > "$tmp/needed"
    printf 'libc.so.6\nlibek_db.so\n' > "$tmp/needed.expected"
    if ! diff -u "$tmp/needed.expected" "$tmp/needed" > "$tmp/diff"; then
        echo "NEEDED entries differ (want libek_db.so and libc only):"
        tail -n +3 "$tmp/diff"
        fail=1
    fi
fi

readelf --dyn-syms -W "$lib" | awk 'NR > 3 && $7 == "UND" { sub(/@.*/, "", $8); print $8 }' \
    | grep -E '^(_Z|__cxa_(guard|throw|begin|end|allocate|pure)|__gxx_|_Unwind_)' > "$tmp/cxx" || true
if [ -s "$tmp/cxx" ]; then
    echo "imports from the C++ runtime:"
    cat "$tmp/cxx"
    fail=1
fi

[ $fail = 0 ] && echo "ABI of $(basename "$lib"): $(wc -l < "$tmp/actual") exports, as expected"
exit $fail
