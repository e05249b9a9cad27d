#!/bin/sh
# What ./test.sh needs for the standing checks, and their trees built beside
# build/ (which scripts/setup.sh makes).  Safe to run again.
#   build-asan/  every target with AddressSanitizer and UndefinedBehaviorSanitizer
#   build-fuzz/  the libFuzzer targets, built with clang
. "$(dirname "$0")/setup-common.sh"

CHECK_PACKAGES="
  clang
  libclang-rt-dev
  valgrind
  libgtest-dev
"
ensure_packages $MAIN_PACKAGES $CHECK_PACKAGES
ensure_python2
jobs="$(nproc)"
for tree in build-asan build-fuzz; do
  generator=""
  [ -f "$tree/CMakeCache.txt" ] || generator="-G Ninja"
  step "building $tree/ (cmake)"
  if [ "$tree" = build-asan ]; then
    quietly cmake -S . -B "$tree" $generator -DPYTHON2_ROOT="$PYTHON2_ROOT" \
      -DVOLUMES_SANITIZE=ON
    quietly cmake --build "$tree" -j "$jobs"
  else
    quietly env CC=clang CXX=clang++ cmake -S . -B "$tree" $generator \
      -DPYTHON2_ROOT="$PYTHON2_ROOT" -DVOLUMES_FUZZ=ON
    quietly cmake --build "$tree" -j "$jobs" --target fuzz_machine_file \
      fuzz_platform_calls
  fi
done
