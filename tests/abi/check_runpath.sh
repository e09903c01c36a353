#!/bin/bash
# No ELF file under the build tree may name an empty or relative run path entry: the loader
# resolves those against the working directory of whoever starts the program.
#   check_runpath.sh BUILD_DIR
set -uo pipefail
bad=0
while IFS= read -r -d '' f; do
    path=$(readelf -d "$f" 2>/dev/null | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p')
    [ -n "$path" ] || continue
    IFS=: read -ra entries <<<"$path:"
    for e in "${entries[@]}"; do
        case $e in
        /* | '$ORIGIN' | '$ORIGIN/'*) ;;
        *) echo "$f: run path entry '${e:-<empty>}' in [$path]" && bad=1 ;;
        esac
    done
done < <(find "$1" -type f \( -perm -u+x -o -name '*.so*' \) -print0)
exit $bad
