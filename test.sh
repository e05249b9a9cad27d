#!/bin/sh
# Sets up the machine, builds, and runs every test through CTest: the suites
# of build/, then the same suites in the sanitizer build (build-asan/), then
# the libFuzzer targets (build-fuzz/).  VOLUMES_LONG_CHECKS=1 runs the long
# versions of the standing checks (see the README).
set -eu
cd "$(dirname "$0")"
scripts/setup.sh
scripts/setup_checks.sh
jobs="$(nproc)"
status=0
(cd build && ctest --output-on-failure -j "$jobs" "$@") || status=1
(cd build-asan && ctest --output-on-failure -j "$jobs" "$@") || status=1
(cd build-fuzz && ctest --output-on-failure -L fuzz "$@") || status=1
exit "$status"
