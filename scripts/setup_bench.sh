#!/bin/sh
# Installs what the benchmarks need, where it is missing, and builds their
# helpers into build/bench/: the no-op METH_O floor and the host's plain
# Python compiled with Cython.  Safe to run again.  The tests never need it.
. "$(dirname "$0")/setup-common.sh"

ensure_packages cython3 python3-psutil python3-matplotlib gcc util-linux mount
ensure_python2
include="$("$PYTHON2_ROOT/bin/python2.7" -c \
  "import sysconfig; print(sysconfig.get_paths()['include'])")"
out=build/bench
mkdir -p "$out"

# Rebuilt only when its source is newer than what was built.
build_extension() {  # source.c module.so [compiler flags]
  source="$1" module="$2"
  shift 2
  if [ ! -e "$module" ] || [ "$source" -nt "$module" ]; then
    step "building $module (gcc)"
    quietly gcc -O2 -fPIC -shared -fno-strict-aliasing "$@" -I"$include" "$source" \
      -o "$module"
  fi
}

build_extension bench/floor.c "$out/floor.so" -Wall

# The same source that the interpreter runs, compiled as Cython compiles a
# plain Python module for Python 2.
if [ ! -e "$out/host_equivalent.c" ] ||
   [ bench/host_equivalent.py -nt "$out/host_equivalent.c" ]; then
  step "compiling bench/host_equivalent.py (cython3 -2)"
  cp bench/host_equivalent.py "$out/host_equivalent.py"
  quietly cython3 -2 "$out/host_equivalent.py" -o "$out/host_equivalent.c"
fi
# Cython's generated code is not ours to warn about.
build_extension "$out/host_equivalent.c" "$out/host_equivalent.so" -w
