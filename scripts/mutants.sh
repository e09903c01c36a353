#!/bin/sh
# Plants one fault at a time in a scratch copy of the tree, rebuilds it and
# runs the host suite there: a fault no test notices "survives". This tells
# whether the suite still catches what it should after tests are trimmed or
# merged. Not part of CI (about half a minute a fault on two cores).
#
#   scripts/mutants.sh [REGEX]   only the faults whose name matches REGEX
#   EK_MUTANTS_TESTS=REGEX       judge by the ctest tests matching REGEX only
#                                (does this file alone still catch them?)
#
# Faults are listed in scripts/mutants.txt, one a line:
#   name  path  perl-substitution   (applied once, to the whole file)
# A fault whose substitution no longer matches, or that no longer builds, is
# reported as such: mend the line rather than let it drop out of the count.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
list=${EK_MUTANTS_LIST:-$top/scripts/mutants.txt}
scratch=${EK_MUTANTS_DIR:-$top/build/mutants}
only=${1:-.}

# A fresh copy and build each run: nothing deleted from the tree may linger.
rm -rf "$scratch/pristine" "$scratch/src" "$scratch/build"
mkdir -p "$scratch/src"
(cd "$top" && git ls-files -co --exclude-standard | grep -v '^build/' | tar -cf - -T -) |
    tar -xf - -C "$scratch/src"
# No debug information, and executables that are not relinked when only the
# shared library changed: a fault then costs one compile and a few links.
cmake -S "$scratch/src" -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
    -DCMAKE_LINK_DEPENDS_NO_SHARED=ON >"$scratch/configure.log"
cmake --build "$scratch/build" >"$scratch/build.log" 2>&1 || {
    echo "mutants: the unmodified tree does not build (see $scratch/build.log)"
    exit 2
}
# The suite the faults are judged by: everything but the install and header
# checks, which never see the library's behaviour.
suite() {
    ctest --test-dir "$scratch/build" -j2 -R "${EK_MUTANTS_TESTS:-.}" -E '^(packaging|abi)\.' >"$1" 2>&1
}
suite "$scratch/baseline.log" || {
    echo "mutants: the unmodified suite fails (see $scratch/baseline.log)"
    exit 2
}

grep -vE '^[[:space:]]*(#|$)' "$list" | while read -r name path expr; do
    echo "$name" | grep -Eq -- "$only" || continue
    file="$scratch/src/$path"
    pristine="$scratch/pristine/$path"
    [ -f "$pristine" ] || { mkdir -p "$(dirname "$pristine")" && cp "$file" "$pristine"; }
    perl -0pi -e "$expr" "$file"
    if cmp -s "$pristine" "$file"; then
        verdict="NOT APPLIED"
    elif ! cmake --build "$scratch/build" >"$scratch/last-build.log" 2>&1; then
        verdict="DOES NOT BUILD"
    elif suite "$scratch/last.log"; then
        verdict="SURVIVED"
    else
        verdict="killed by $(grep -oE '[0-9]+ - [^ ]+' "$scratch/last.log" | cut -d' ' -f3 |
            tr '\n' ' ')"
    fi
    cp "$pristine" "$file"
    printf '%-28s %s\n' "$name" "$verdict"
done | tee "$scratch/report.txt"
cmake --build "$scratch/build" >/dev/null 2>&1 || true

killed=$(grep -c ' killed by' "$scratch/report.txt" || true)
survived=$(grep -c ' SURVIVED' "$scratch/report.txt" || true)
broken=$(grep -cE ' (NOT APPLIED|DOES NOT BUILD)' "$scratch/report.txt" || true)
echo "mutants: $killed killed, $survived survived, $broken not planted"
[ "$survived" -eq 0 ] && [ "$broken" -eq 0 ]
