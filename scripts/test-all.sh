#!/bin/sh
# Every test: host (dev), address+undefined and thread sanitizers, and the
# 32-bit big-endian target under qemu-mips. Each workflow configures, builds
# and runs the whole suite; tests run in private namespaces.
set -eu
cd "$(dirname "$0")/.."
"$(pwd)/scripts/setup.sh"

for preset in ${EK_PRESETS:-dev asan tsan mips}; do
    echo "==== $preset"
    cmake --workflow --preset "$preset"
done
for extra in scripts/test-extra-*.sh; do
    [ -x "$extra" ] || continue
    echo "==== $extra"
    "$extra"
done
echo "==== all presets passed"
