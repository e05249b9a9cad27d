#!/bin/sh
# Installs what the build and the tests need, where it is missing, and
# configures and builds the project in build/.  Safe to run again.
set -eu
cd "$(dirname "$0")/.."

scripts/install_packages.sh cmake g++ make pkg-config libgtest-dev \
  nlohmann-json3-dev libmount-dev libblkid-dev util-linux mount coreutils \
  dosfstools exfatprogs fuse3 fusefat exfat-fuse

PYTHON2_ROOT="${PYTHON2_ROOT:-$(cat scripts/python2-root)}"
if [ ! -x "$PYTHON2_ROOT/bin/python2.7" ]; then
  echo "No Python 2.7 at $PYTHON2_ROOT: set PYTHON2_ROOT to its prefix." >&2
  exit 1
fi
cmake -S . -B build -DPYTHON2_ROOT="$PYTHON2_ROOT" >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
