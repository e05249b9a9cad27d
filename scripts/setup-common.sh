# Sourced by the other scripts of this folder (setup-main.sh, setup.sh,
# setup_checks.sh, setup_windows.sh, setup_bench.sh), never run by itself.
#
# Every step that has work to do says so on one line of standard error (so
# that the command's own output stays clean), keeps its tools' chatter aside
# and shows it only when the step fails.  A step with nothing to do is
# silent and cheap: the main command runs all of them at every start.

set -eu
cd "$(dirname "$0")/.."
PYTHON2_ROOT="${PYTHON2_ROOT:-$(cat scripts/python2-root)}"

# What the module itself needs to be built: the compiler, the build tools and
# the libraries that the Linux machine is read with.
MAIN_PACKAGES="
  cmake
  ninja-build
  g++
  pkg-config
  nlohmann-json3-dev
  libmount-dev
  libblkid-dev
"

step() {
  printf '%s: %s\n' "${0##*/}" "$*" >&2
}

# Runs a command with its output kept in a file that is shown only when the
# command fails.
quietly() {
  quiet_log=$(mktemp)
  "$@" >"$quiet_log" 2>&1 && { rm -f "$quiet_log"; return 0; }
  quiet_status=$?
  cat "$quiet_log" >&2
  rm -f "$quiet_log"
  return $quiet_status
}

# Installs those of the named Debian packages that are missing; one query of
# the package database when none is.  A package of another architecture is
# named with it (wine32:i386).
ensure_packages() {
  installed=" $(dpkg-query -W -f='${Status} ${Package} ${binary:Package}\n' "$@" 2>/dev/null |
                sed -n 's/^install ok installed //p' | tr '\n' ' ') "
  missing=""
  for package in "$@"; do
    case "$installed" in
      *" $package "*) ;;
      *) missing="$missing $package" ;;
    esac
  done
  [ -n "$missing" ] || return 0
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  step "updating the package lists (apt-get update)"
  quietly $sudo apt-get update
  step "installing$missing (apt-get install)"
  quietly $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y \
    ${APT_INSTALL_OPTIONS:-} $missing
}

ensure_python2() {
  if [ ! -x "$PYTHON2_ROOT/bin/python2.7" ]; then
    echo "No Python 2.7 at $PYTHON2_ROOT: set PYTHON2_ROOT to its prefix." >&2
    exit 1
  fi
}

# Configures build/ with Ninja, whose no-op check costs milliseconds, as a
# Release build (-O3: GCC's warnings that follow values through inlined
# code see the most there, and warnings are errors), only when it is not
# configured yet, or not for Ninja, or for another Python, or as another
# build type.  Later changes to the CMake files are picked up by the build
# itself.
configure() {
  cache=build/CMakeCache.txt
  build_type=Release
  unset_python=""
  if [ ! -f "$cache" ]; then
    step "configuring build/ (cmake)"
  elif ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$cache"; then
    step "configuring build/ anew, for Ninja (cmake)"
    rm -rf "$cache" build/CMakeFiles
  elif ! grep -qxF "PYTHON2_ROOT:PATH=$PYTHON2_ROOT" "$cache"; then
    step "configuring build/ for the Python 2.7 at $PYTHON2_ROOT (cmake)"
    unset_python="-UPYTHON2_EXECUTABLE"
  elif ! grep -qxF "CMAKE_BUILD_TYPE:STRING=$build_type" "$cache"; then
    step "configuring build/ as a $build_type build (cmake)"
  else
    return 0
  fi
  quietly cmake -S . -B build -G Ninja -DPYTHON2_ROOT="$PYTHON2_ROOT" \
    -DCMAKE_BUILD_TYPE="$build_type" $unset_python
}

# build WHAT [TARGET ...]: builds the targets (all without any) in build/.
# The step is announced at the first line of real work that Ninja reports:
# its dry run cannot tell, as the CMake files' globs are checked afresh at
# every build.
build() {
  what=$1
  shift
  build_log=$(mktemp)
  build_status=$(mktemp)
  { status=0
    cmake --build build -j "$(nproc)" ${1:+--target} "$@" 2>&1 || status=$?
    echo "$status" >"$build_status"; } |
    while IFS= read -r line; do
      printf '%s\n' "$line" >>"$build_log"
      case $line in
        "ninja: Entering directory"* | *"Re-checking globbed directories..." | \
        "ninja: no work to do.") ;;
        *) [ -n "${announced:-}" ] || step "building $what (cmake --build)"
           announced=1 ;;
      esac
    done
  status=$(cat "$build_status")
  [ "$status" -eq 0 ] || cat "$build_log" >&2
  rm -f "$build_log" "$build_status"
  return "$status"
}
