#!/bin/sh
# The main job: build libek_brd with the host platform and run it in a
# private namespace (its own /tmp/db and SysV objects).
set -eu
cd "$(dirname "$0")/.."
"$(pwd)/scripts/setup.sh"
cmake --preset dev >/dev/null
cmake --build --preset dev
exec tests/isolate.sh build/dev/examples/cpe_status
