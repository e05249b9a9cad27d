#!/bin/sh
# What ./test.sh needs for Windows: the mingw-w64 cross compilers, 64- and
# 32-bit Wine and GoogleTest's source, and the two Windows trees built.
# Safe to run again.
#   build-win32/  i686 Windows, the host's platform: volumes.pyd and
#                 _winwrap.pyd; the test programs run under 32-bit Wine, and
#                 the Python suites in the Windows CPython 2.7 installation
#                 that VOLUMES_WINDOWS_PYTHON_X86 names, if it names one
#   build-win64/  x86_64 Windows: the same modules, the test programs under
#                 wine64, the Python suites in VOLUMES_WINDOWS_PYTHON_X64
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
  wine32:i386
"

if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi

# 32-bit Wine is a package of the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  step "adding the i386 architecture (dpkg --add-architecture)"
  $sudo dpkg --add-architecture i386
fi

# Wine's recommendations (graphics, sound, fonts) are not needed to run
# console test programs.
APT_INSTALL_OPTIONS=--no-install-recommends
ensure_packages $WINDOWS_PACKAGES
unset APT_INSTALL_OPTIONS

# A kernel built with 32-bit programs off by default (ia32_emulation=off)
# refuses 32-bit Wine's loader with "Exec format error": there, qemu's
# user-mode emulation runs the i386 programs, through binfmt_misc.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  ensure_packages qemu-user-static
  binfmt=/proc/sys/fs/binfmt_misc
  if [ ! -e "$binfmt/register" ]; then
    step "mounting binfmt_misc"
    $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
  fi
  if [ ! -e "$binfmt/qemu-i386" ]; then
    step "running i386 programs under qemu-i386-static (binfmt_misc)"
    # An i386 ELF executable (types 2 and 3), as qemu's own configuration
    # names it; F: the interpreter is opened now, so it works in any mount
    # namespace.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:FP' |
      $sudo tee "$binfmt/register" >/dev/null
  fi
  if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "setup_windows.sh: 32-bit Wine does not run on this machine" >&2
    exit 1
  fi
fi

# The interpreter's headers are taken from PYTHON2_ROOT; no interpreter runs.
ensure_python2
# build_tree ARCH TREE WINDOWS_PYTHON: configures and builds a tree; the
# installation's path, relative to the checkout where it is not absolute.
build_tree() {
  windows_python=$3
  case $windows_python in
    "" | /*) ;;
    *) windows_python="$PWD/$windows_python" ;;
  esac
  generator=""
  [ -f "$2/CMakeCache.txt" ] || generator="-G Ninja"
  step "building $2/ for $1 Windows (cmake)"
  quietly cmake -S . -B "$2" $generator -DPYTHON2_ROOT="$PYTHON2_ROOT" \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-$1-w64-mingw32.cmake" \
    -DVOLUMES_WINDOWS_PYTHON="$windows_python"
  quietly cmake --build "$2" -j "$(nproc)"
}
build_tree i686 build-win32 "${VOLUMES_WINDOWS_PYTHON_X86:-}"
build_tree x86_64 build-win64 "${VOLUMES_WINDOWS_PYTHON_X64:-}"
