#!/bin/sh
# Sets up the machine, builds, and runs every test through CTest: those of
# the i686 and x86_64 Windows trees (see scripts/setup_windows.sh), then
# those of the Linux tree.  Arguments go to every ctest.
set -eu
cd "$(dirname "$0")"
scripts/setup.sh
scripts/setup_windows.sh
status=0
for tree in build-win32 build-win64 build; do
  echo "=== $tree"
  (cd "$tree" && ctest --output-on-failure -j "$(nproc)" "$@") || status=1
done
exit $status
