#!/bin/sh
# Every test: host (dev), address+undefined and thread sanitizers, and the
# 32-bit big-endian target under qemu-mips. Each workflow configures, builds
# and runs the whole suite; tests run in private namespaces. Then every other
# preset is built: bench and mips-release here (the benchmarks are not run:
# scripts/bench.sh does that), fuzz and deb by the extra steps, which run the
# fuzz targets and build, lint, install and remove the Debian packages.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh test

for preset in ${EK_PRESETS:-dev asan tsan mips}; do
    echo "==== $preset"
    cmake --workflow --preset "$preset"
done
for preset in ${EK_BUILD_ONLY_PRESETS:-bench mips-release}; do
    echo "==== $preset (build only)"
    cmake --workflow --preset "$preset"
done
for extra in scripts/test-extra-*.sh; do
    [ -x "$extra" ] || continue
    echo "==== $extra"
    "$extra"
done
echo "==== all presets passed"
