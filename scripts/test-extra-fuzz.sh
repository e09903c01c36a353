#!/bin/sh
# Every fuzz target for EK_FUZZ_SECONDS, one a core, on a scratch copy of its
# corpus; a finding's input is kept under build/fuzz/artifacts.
set -eu
cd "$(dirname "$0")/.."
seconds=${EK_FUZZ_SECONDS:-20}
if [ $# -eq 1 ]; then  # one target, for the xargs below
    work=$EK_FUZZ_WORK/$1
    cp -r "fuzz/corpus/$1" "$work"
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
    if ! "build/fuzz/fuzz/$1" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="build/fuzz/artifacts/$1-" "$work" >"$work.log" 2>&1; then
        tail -n 60 "$work.log"
        echo " $1" >>"$EK_FUZZ_WORK/failed"
        exit 1
    fi
    echo "fuzz: $1 ran ${seconds}s"
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+.*DONE' "$work.log" || true
    exit 0
fi
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
EK_FUZZ_WORK=$(mktemp -d /tmp/ek-fuzz.XXXXXX)
export EK_FUZZ_WORK
trap 'rm -rf "$EK_FUZZ_WORK"' EXIT INT TERM
mkdir -p build/fuzz/artifacts
if ! (cd fuzz/corpus && printf '%s\n' *) | xargs -n 1 -P "$(nproc)" "scripts/$(basename "$0")"; then
    echo "fuzz: FAILED:$(cat "$EK_FUZZ_WORK/failed")"
    exit 1
fi
echo "fuzz: every target ran ${seconds}s without a finding"
