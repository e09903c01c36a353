#!/bin/sh
# Builds the fuzz preset and runs every fuzz target for EK_FUZZ_SECONDS
# (default 45) from a scratch copy of its seed corpus, so the checkout is
# never modified. Fails when a target crashes, leaks or trips a sanitizer;
# the input that did it is kept under build/fuzz/artifacts.
set -eu
cd "$(dirname "$0")/.."
seconds=${EK_FUZZ_SECONDS:-45}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work=$(mktemp -d /tmp/ek-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM
artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0

# One target a core: the machine's two cores halve the wall time without
# shortening any target's run.
fuzz_one() {
    target=$1
    if "build/fuzz/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$artifacts/$target-" "$work/$target" >"$work/$target.log" 2>&1; then
        echo "fuzz: $target ran ${seconds}s"
        grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+.*DONE' "$work/$target.log" || true
    else
        tail -n 60 "$work/$target.log"
        touch "$work/$target.failed"
    fi
}

jobs=$(nproc)
running=0
for corpus in fuzz/corpus/*/; do
    target=$(basename "$corpus")
    [ -x "build/fuzz/fuzz/$target" ] || { echo "fuzz: no target for corpus $target"; touch "$work/$target.failed"; continue; }
    mkdir -p "$work/$target"
    cp "$corpus"* "$work/$target/"
    fuzz_one "$target" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait
        running=0
    fi
done
wait
failed=$(cd "$work" && ls -- *.failed 2>/dev/null | sed 's/\.failed$//' | tr '\n' ' ')

if [ -n "$failed" ]; then
    echo "fuzz: FAILED:$failed"
    exit 1
fi
echo "fuzz: every target ran ${seconds}s without a finding"
