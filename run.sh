#!/bin/sh
# The main job: builds the module where needed, then prints this machine's
# volume table.  Arguments go to tools/volume_table.py (see --help); paths
# and VOLUMES_SIMULATION are taken from where the command is run.
set -eu
root=$(cd "$(dirname "$0")" && pwd)
"$root/scripts/setup-main.sh"
PYTHON2_ROOT="${PYTHON2_ROOT:-$(cat "$root/scripts/python2-root")}"
PYTHONPATH="$root/build/python" exec "$PYTHON2_ROOT/bin/python2.7" \
  "$root/tools/volume_table.py" "$@"
