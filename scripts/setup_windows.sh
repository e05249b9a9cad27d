#!/bin/sh
# What ./test.sh needs for Windows: the mingw-w64 cross compilers, wine64 and
# GoogleTest's source, and the two Windows trees built.  Safe to run again.
#   build-win32/  i686 Windows, the host's platform: volumes.pyd and
#                 _winwrap.pyd (this machine cannot run 32-bit Windows
#                 programs: their imports and exports are checked natively)
#   build-win64/  x86_64 Windows: the platform suites, run under wine64
. "$(dirname "$0")/setup-common.sh"

WINDOWS_PACKAGES="
  cmake
  ninja-build
  util-linux
  nlohmann-json3-dev
  googletest
  g++-mingw-w64-i686-posix
  g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-i686
  binutils-mingw-w64-x86-64
  wine64
"

# Wine's recommendations (32-bit Wine, graphics, sound, fonts) are not
# needed to run console test programs.
APT_INSTALL_OPTIONS=--no-install-recommends
ensure_packages $WINDOWS_PACKAGES
unset APT_INSTALL_OPTIONS

# The interpreter's headers are taken from PYTHON2_ROOT; no interpreter runs.
ensure_python2
for target in i686:build-win32 x86_64:build-win64; do
  arch=${target%%:*}
  tree=${target#*:}
  generator=""
  [ -f "$tree/CMakeCache.txt" ] || generator="-G Ninja"
  step "building $tree/ for $arch Windows (cmake)"
  quietly cmake -S . -B "$tree" $generator -DPYTHON2_ROOT="$PYTHON2_ROOT" \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-$arch-w64-mingw32.cmake"
  quietly cmake --build "$tree" -j "$(nproc)"
done
