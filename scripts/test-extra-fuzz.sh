#!/bin/sh
# Builds the fuzz preset and runs every fuzz target for EK_FUZZ_SECONDS
# (default 60) from a scratch copy of its seed corpus, so the checkout is
# never modified. Fails when a target crashes, leaks or trips a sanitizer;
# the input that did it is kept under build/fuzz/artifacts.
set -eu
cd "$(dirname "$0")/.."
seconds=${EK_FUZZ_SECONDS:-60}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work=$(mktemp -d /tmp/ek-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM
artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0

failed=""
for corpus in fuzz/corpus/*/; do
    target=$(basename "$corpus")
    binary=build/fuzz/fuzz/$target
    [ -x "$binary" ] || { echo "fuzz: no target for corpus $target"; failed="$failed $target"; continue; }
    mkdir -p "$work/$target"
    cp "$corpus"* "$work/$target/"
    echo "fuzz: $target for ${seconds}s"
    if "$binary" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$artifacts/$target-" "$work/$target" >"$work/$target.log" 2>&1; then
        grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+.*DONE' "$work/$target.log" || true
    else
        tail -n 60 "$work/$target.log"
        failed="$failed $target"
    fi
done

if [ -n "$failed" ]; then
    echo "fuzz: FAILED:$failed"
    exit 1
fi
echo "fuzz: every target ran ${seconds}s without a finding"
