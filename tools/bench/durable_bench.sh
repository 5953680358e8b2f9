#!/usr/bin/env bash
# Whole-run time, durable-batch time and bytes written of mendrix on the pairs
# of a corpus made by corpus.sh and on a 1.5 GiB pair made by make_big_pair.py,
# next to the floor (cat old, cp new, sync). See durable_bench.py for what is
# measured and how.
#
# Usage: durable_bench.sh CORPUS [BUILD] > table.md
#   CORPUS  a directory made by /work/shared/bench/corpus.sh
#   BUILD   the build directory holding mendrix and mendrix-make (default:
#           build/ beside this script's repository)
# Env:  PAIRS="node jvm ..."  corpus pairs to run (default: all five; PAIRS= none)
#       BIG=DIR     the large pair: DIR/old and DIR/new, made with SEED (default
#                   1) when missing, and its patch DIR/mendrix.pat, made when
#                   missing or older than the pair (default
#                   /work/bench-data/big; BIG=none leaves it out). About 5 GiB
#                   of disk with the run's copies; mendrix-make takes minutes.
#       WORK=DIR    scratch (default /work/bench-data/durable-work), on the file
#                   system to measure; RUNS (7) and STRACE_RUNS (4) as in
#                   durable_bench.py; QUIET_WAIT (120) seconds to wait for an
#                   idle processor before each timed run; JSON=FILE keeps
#                   every figure. On a machine others use, give WORK a file
#                   system of its own (see durable_bench.py).
# Not for CI: a run takes tens of minutes.
set -euo pipefail

CORPUS=$(cd "${1:?usage: durable_bench.sh CORPUS [BUILD]}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "${2:-$HERE/../../build}" && pwd)
PAIRS=${PAIRS-"node jvm crypto pgtree pystd"}
BIG=${BIG:-/work/bench-data/big}
SEED=${SEED:-1}
WORK=${WORK:-/work/bench-data/durable-work}

command -v strace >/dev/null 2>&1 || apt-get install -y strace >/dev/null ||
  { apt-get update >/dev/null && apt-get install -y strace >/dev/null; }

args=()
for pair in $PAIRS; do
  args+=("$pair=$CORPUS/$pair/old,$CORPUS/$pair/new")
done
if [ "$BIG" != none ]; then
  if [ ! -f "$BIG/old" ] || [ ! -f "$BIG/new" ]; then
    echo "making the large pair in $BIG (seed $SEED)" >&2
    "$HERE/make_big_pair.py" --seed "$SEED" "$BIG" >&2
  fi
  if [ ! -f "$BIG/mendrix.pat" ] || [ "$BIG/mendrix.pat" -ot "$BIG/new" ] ||
     [ "$BIG/mendrix.pat" -ot "$BIG/old" ]; then
    echo "mendrix-make on the large pair" >&2
    "$BUILD/mendrix-make" -quiet "$BIG/mendrix.pat" "$BIG/old" "$BIG/new" >&2
  fi
  args+=("big=$BIG/old,$BIG/new,$BIG/mendrix.pat")
fi

exec "$HERE/durable_bench.py" --build "$BUILD" --work "$WORK" --runs "${RUNS:-7}" \
  --strace-runs "${STRACE_RUNS:-4}" --quiet-wait "${QUIET_WAIT:-120}" \
  ${JSON:+--json "$JSON"} "${args[@]}"
