#!/bin/sh
# Planted-fault run over src/ and host/; see scripts/mutants.py --help.
# Not part of CI: each fault costs a compile and a run of the host suite.
exec python3 "$(dirname "$0")/mutants.py" "$@"
