#!/bin/sh
# Sets up the machine, builds, and runs every test through CTest.
set -eu
cd "$(dirname "$0")"
scripts/setup.sh
cd build && ctest --output-on-failure -j "$(nproc)" "$@"
