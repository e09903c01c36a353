#!/bin/sh
# Builds the benchmarks (bench preset) and the size-optimised target library
# (mips-release preset), runs every benchmark in private namespaces (the
# library's database paths and SysV keys are fixed) and prints the ratios
# of each hot path to its same-run baseline.
#
#   EK_BENCH_REPS      repetitions per benchmark (default 5, at least 2); medians count
#   EK_BENCH_DISK_DIR  disk-backed directory for the store comparison
#                      (default build/bench/diskdb)
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
reps=${EK_BENCH_REPS:-5}
disk_dir=${EK_BENCH_DISK_DIR:-$root/build/bench/diskdb}

case $reps in
'' | *[!0-9]* | 0 | 1)
    echo "bench: EK_BENCH_REPS must be 2 or more: the report compares medians" >&2
    exit 2
    ;;
esac

scripts/setup.sh bench
cmake --preset bench >/dev/null
cmake --build --preset bench -j2
cmake --preset mips-release >/dev/null
cmake --build --preset mips-release -j2 --target ek_brd

out=$root/build/bench/results
rm -rf "$out" "$disk_dir"
mkdir -p "$out" "$disk_dir"
bin=$root/build/bench/bench

run() { # name program [args...]
    name=$1
    shift
    echo "==== $name" >&2
    tests/isolate.sh "$@" --benchmark_repetitions="$reps" \
        --benchmark_enable_random_interleaving=true \
        --benchmark_report_aggregates_only=true \
        --benchmark_format=json --benchmark_out_format=json \
        --benchmark_out="$out/$name.json" >/dev/null
}

for prog in shm wanif search local usb; do
    if [ -x "$bin/bench_$prog" ]; then run "$prog" "$bin/bench_$prog"; fi
done
# Without a management interface the test makes no service call.
(
    EK_BENCH_NO_MGT0=1
    export EK_BENCH_NO_MGT0
    run local_no_mgt0 "$bin/bench_local"
)
# The store costs an fsync: tmpfs makes it nearly free, the disk does not.
run db_tmpfs "$bin/bench_db_compare"
(
    EK_BENCH_DIR=$disk_dir
    export EK_BENCH_DIR
    run db_disk "$bin/bench_db_compare" --benchmark_filter=store
)
rm -rf "$disk_dir"

tests/isolate.sh "$bin/bench_rss" >"$out/rss.json"

lib=$root/build/mips-release/src/libek_brd.so
stripped=$out/libek_brd.so.stripped
mips-linux-gnu-strip -o "$stripped" "$lib"
mips-linux-gnu-size "$stripped" >"$out/size.txt"

python3 bench/report.py "$out"
