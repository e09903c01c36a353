#!/bin/bash
# libek_brd.so's dynamic interface (readelf reads any target's ELF): exactly the names the header
# declares with EK_BRD_API, NEEDED only libek_db.so and libc (and the sanitizers' runtimes if built
# with them), nothing from the C++ runtime.
#   check_abi.sh LIBRARY HEADER [SANITIZERS]
set -euo pipefail
syms=$(readelf --dyn-syms -W "$1")
diff -u --label "$2" <(grep -oE '^(extern )?EK_BRD_API [^;(]*' "$2" | awk '{ sub(/^\*/, "", $NF); print $NF }' | sort -u) \
    --label "$1" <(awk 'NR > 3 && $7 != "UND" && $5 != "LOCAL" && $8 != "" { sub(/@.*/, "", $8); print $8 }' <<<"$syms" | sort -u)
if [ -z "${3:-}" ]; then
    diff -u --label NEEDED <(printf 'libc.so.6\nlibek_db.so\n') <(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort)
fi
if awk 'NR > 3 && $7 == "UND" { print $8 }' <<<"$syms" | grep -E '^(_Z|__cxa_(guard|throw|begin|end|allocate|pure)|__gxx_|_Unwind_)'; then
    echo "imports from the C++ runtime"
    exit 1
fi
