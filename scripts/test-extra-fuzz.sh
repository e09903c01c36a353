#!/bin/sh
# Builds the fuzz preset and runs every fuzz target for EK_FUZZ_SECONDS
# (default 45), one a core, from a scratch copy of its seed corpus, so the
# checkout is never modified. Fails when a target crashes, leaks or trips a
# sanitizer; the input that did it is kept under build/fuzz/artifacts.
set -eu
cd "$(dirname "$0")/.."
seconds=${EK_FUZZ_SECONDS:-45}
if [ $# -eq 0 ]; then
    cmake --preset fuzz >/dev/null
    cmake --build --preset fuzz
    EK_FUZZ_WORK=$(mktemp -d /tmp/ek-fuzz.XXXXXX)
    export EK_FUZZ_WORK
    trap 'rm -rf "$EK_FUZZ_WORK"' EXIT INT TERM
    mkdir -p build/fuzz/artifacts
    if ! ls fuzz/corpus | xargs -n 1 -P "$(nproc)" "scripts/$(basename "$0")"; then
        echo "fuzz: FAILED:$(cat "$EK_FUZZ_WORK/failed")"
        exit 1
    fi
    echo "fuzz: every target ran ${seconds}s without a finding"
    exit 0
fi

# One target, run by the xargs above.
target=$1
work=$EK_FUZZ_WORK/$target
cp -r "fuzz/corpus/$target" "$work"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
if "build/fuzz/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="build/fuzz/artifacts/$target-" "$work" >"$work.log" 2>&1; then
    echo "fuzz: $target ran ${seconds}s"
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+.*DONE' "$work.log" || true
else
    tail -n 60 "$work.log"
    echo " $target" >>"$EK_FUZZ_WORK/failed"
    exit 1
fi
