#!/bin/sh
# The main job: install what the host build lacks, build brdctl and its
# manual page (dev preset, build/dev), then run a guided brdctl session in a
# private namespace (its own /tmp/db, segments and network), so nothing on
# the machine is touched. One line per step, the tour, then every step's
# result; the build's output goes to build/main-job.log, whose end a failure shows.
set -eu
cd "$(dirname "$0")/.."
mkdir -p build
log=build/main-job.log
: >"$log"
passed=""
# step NAME COMMAND...: runs COMMAND, its output to the log unless NAME ends in "+".
step() {
    raw=$1
    name=${raw%+}
    shift
    start=$(date +%s)
    if [ "$name" != "$raw" ]; then
        "$@" || { echo "main job: $name: FAILED" && exit 1; }
    else
        echo "main job: $name"
        "$@" >>"$log" 2>&1 || { echo "main job: $name: FAILED; the end of $log:" && tail -n 30 "$log" && exit 1; }
    fi
    passed="$passed$(printf '\n  %-10s ok %5d s' "$name" $(($(date +%s) - start)))"
}
step packages+ scripts/setup.sh main
step configure cmake --preset dev
step build cmake --build --preset dev -j2 --target brdctl brdctl_man
step tour+ scripts/demo.sh --no-build
cat <<EOF

==== main job: every step passed$passed
brdctl is build/dev/tools/brdctl/brdctl; its manual page: man -l build/dev/docs/brdctl.1.gz
EOF
