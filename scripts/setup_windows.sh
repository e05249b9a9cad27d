#!/bin/sh
# Installs what the Windows builds and their tests need, where it is
# missing, and configures and builds the two Windows trees.  Safe to run
# again.
#   build-win32/  i686 Windows, the host's platform: volumes.pyd and
#                 _winwrap.pyd (this machine cannot run 32-bit Windows
#                 programs: their imports and exports are checked natively)
#   build-win64/  x86_64 Windows: the platform suites, run under wine64
set -eu
cd "$(dirname "$0")/.."

# Wine's recommendations (fonts, sound, 32-bit Wine) are not needed to run
# console test programs.
scripts/install_packages.sh --no-install-recommends \
  cmake make util-linux nlohmann-json3-dev googletest \
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine64

# The interpreter's headers are taken from here; no interpreter is run.
PYTHON2_ROOT="${PYTHON2_ROOT:-$(cat scripts/python2-root)}"
for target in i686:build-win32 x86_64:build-win64; do
  arch=${target%%:*}
  tree=${target#*:}
  cmake -S . -B "$tree" -DPYTHON2_ROOT="$PYTHON2_ROOT" \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-$arch-w64-mingw32.cmake" >/dev/null
  cmake --build "$tree" -j "$(nproc)" >/dev/null
done
