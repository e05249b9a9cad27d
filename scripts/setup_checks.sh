#!/bin/sh
# Installs what the standing checks need, where it is missing, and builds
# their trees beside build/ (which scripts/setup.sh makes):
#   build-asan/  every target with AddressSanitizer and UndefinedBehaviorSanitizer
#   build-fuzz/  the libFuzzer targets, built with clang
# Safe to run again.
set -eu
cd "$(dirname "$0")/.."

scripts/install_packages.sh clang libclang-rt-dev valgrind cmake g++ make \
  pkg-config libgtest-dev nlohmann-json3-dev libmount-dev libblkid-dev

PYTHON2_ROOT="${PYTHON2_ROOT:-/root/.pyenv/versions/2.7.18}"
jobs="$(nproc)"
cmake -S . -B build-asan -DPYTHON2_ROOT="$PYTHON2_ROOT" -DVOLUMES_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs" >/dev/null
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DPYTHON2_ROOT="$PYTHON2_ROOT" \
  -DVOLUMES_FUZZ=ON >/dev/null
cmake --build build-fuzz -j "$jobs" --target fuzz_machine_file fuzz_platform_calls >/dev/null
