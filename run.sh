#!/bin/sh
# Sets up the machine, builds, and prints this machine's volume table
# (arguments go to tools/volume_table.py: --json, PATH ...).
set -eu
cd "$(dirname "$0")"
scripts/setup.sh
PYTHON2_ROOT="${PYTHON2_ROOT:-$(cat scripts/python2-root)}"
PYTHONPATH="$PWD/build/python" exec "$PYTHON2_ROOT/bin/python2.7" tools/volume_table.py "$@"
