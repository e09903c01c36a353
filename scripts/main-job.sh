#!/bin/sh
# The main job: build libek_brd, the host platform and brdctl, then run a
# guided brdctl session in a private namespace (its own /tmp/db, segments
# and network), so nothing on the machine is touched.
set -eu
cd "$(dirname "$0")/.."
"$(pwd)/scripts/setup.sh"
exec scripts/demo.sh
