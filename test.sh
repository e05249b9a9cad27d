#!/bin/sh
# Sets up the machine, builds, and runs every test through CTest: the suites
# of build/, then the same suites in the sanitizer build (build-asan/), the
# libFuzzer targets (build-fuzz/), and the i686 and x86_64 Windows trees
# (build-win32/, build-win64/; see scripts/setup_windows.sh), where the
# Python suites also run in the Windows CPython 2.7 installations that
# VOLUMES_WINDOWS_PYTHON_X86 and VOLUMES_WINDOWS_PYTHON_X64 name.
# VOLUMES_LONG_CHECKS=1 runs the long versions of the standing checks (see
# docs/checks.md).  Arguments go to every ctest.
set -eu
cd "$(dirname "$0")"
scripts/setup.sh
scripts/setup_checks.sh
scripts/setup_windows.sh
jobs="$(nproc)"
status=0
for tree in build build-asan build-fuzz build-win32 build-win64; do
  echo "=== $tree"
  # A Windows tree says what it runs under a Windows Python, or why not.
  [ ! -f "$tree/windows-python.txt" ] || cat "$tree/windows-python.txt"
  if [ "$tree" = build-fuzz ]; then
    (cd "$tree" && ctest --output-on-failure -L fuzz "$@") || status=1
  else
    (cd "$tree" && ctest --output-on-failure -j "$jobs" "$@") || status=1
  fi
done
exit "$status"
