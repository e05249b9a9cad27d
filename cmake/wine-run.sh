#!/bin/sh
# wine-run.sh WINE PREFIX PROGRAM [ARGUMENT...]
#
# Runs a Windows program under WINE (/usr/lib/wine/wine for 32-bit
# programs, /usr/lib/wine/wine64 for 64-bit ones) in the Wine prefix PREFIX.
# The prefix is made once, under a lock, so that the first programs of a
# parallel test run do not each start building it.  It is a 64-bit prefix,
# as on 64-bit Windows, where 32-bit programs run beside 64-bit services;
# wine64 builds it natively, which matters where 32-bit Wine itself runs
# under emulation (see scripts/setup_windows.sh).
set -eu
wine=$1
prefix=$2
shift 2
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko: nothing here needs them, and their installers would wait.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# wine64 started on a 32-bit program, or a Wine that this kernel refuses,
# can end without a word: say so here rather than let a test read silence.
if ! "$wine" --version >/dev/null 2>&1; then
  echo "wine-run.sh: $wine does not run here; scripts/setup_windows.sh installs it" >&2
  exit 125
fi

if [ ! -e "$prefix/.initialised" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -e "$prefix/.initialised" ]; then
      /usr/lib/wine/wine64 wineboot --init </dev/null >/dev/null 2>&1 9>&-
      touch "$prefix/.initialised"
    fi
  ) 9>"$prefix.lock"
fi

# Wine's server, and the services that the first program of a session
# starts, outlive the program and keep whatever it had as standard output
# and error: a caller reading the program's output to its end would wait
# for them.  So a session is started here, apart (one runner at a time),
# and kept a while; the program then joins it.
(
  flock 9
  /usr/lib/wine/wineserver -p30 </dev/null >/dev/null 2>&1 9>&- || true
  /usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
) 9>"$prefix.lock"
exec "$wine" "$@"
