#!/bin/sh
# The benchmark: builds the module and the benchmark's helpers, installing
# what they need, measures (bench/run.py: a table, the targets met or
# missed, the figures in bench/results.json or --out FILE), then draws the
# plot beside the figures (bench/results.png for bench/results.json).
#   bench/run.sh [--out FILE] [--rounds N] [--refresh-rounds N] [--quick] [--no-real]
#                [--tree DIR] [--baseline DIR]
#   bench/run.sh --check [FILE]   the verdicts of figures written before
set -eu
cd "$(dirname "$0")/.."
PYTHON2_ROOT="${PYTHON2_ROOT:-$(cat scripts/python2-root)}"
python2="$PYTHON2_ROOT/bin/python2.7"
export PYTHONPATH="$PWD/build/python"

case " $* " in
  *" --check"*) exec "$python2" bench/run.py "$@" ;;
esac

scripts/setup-main.sh
scripts/setup_bench.sh
out=bench/results.json
previous=""
for argument in "$@"; do
  [ "$previous" = "--out" ] && out="$argument"
  case "$argument" in --out=*) out="${argument#--out=}" ;; esac
  previous="$argument"
done
"$python2" bench/run.py "$@"
/usr/bin/python3 bench/plot.py "$out" "${out%.json}.png"
