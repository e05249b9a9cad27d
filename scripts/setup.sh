#!/bin/sh
# Installs what the build and the tests need, where it is missing, and
# configures and builds the project in build/.  Safe to run again.
set -eu
cd "$(dirname "$0")/.."

packages="cmake g++ make pkg-config libgtest-dev
  nlohmann-json3-dev libmount-dev libblkid-dev util-linux mount coreutils
  dosfstools exfatprogs fuse3 fusefat exfat-fuse"
missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
    missing="$missing $package"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing" >&2
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
fi

PYTHON2_ROOT="${PYTHON2_ROOT:-$(cat scripts/python2-root)}"
if [ ! -x "$PYTHON2_ROOT/bin/python2.7" ]; then
  echo "No Python 2.7 at $PYTHON2_ROOT: set PYTHON2_ROOT to its prefix." >&2
  exit 1
fi
cmake -S . -B build -DPYTHON2_ROOT="$PYTHON2_ROOT" >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
