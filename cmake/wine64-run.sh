#!/bin/sh
# wine64-run.sh PREFIX PROGRAM [ARGUMENT...]
#
# Runs a 64-bit Windows program under wine64 in the Wine prefix PREFIX.  The
# prefix is initialised once, under a lock, so that the first programs of a
# parallel test run do not each start building it.
set -eu
prefix=$1
shift
wine=${WINE64:-/usr/lib/wine/wine64}
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko: nothing here needs them, and their installers would wait.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

if [ ! -e "$prefix/.initialised" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -e "$prefix/.initialised" ]; then
      "$wine" wineboot --init >/dev/null 2>&1
      touch "$prefix/.initialised"
    fi
  ) 9>"$prefix.lock"
fi
exec "$wine" "$@"
