#!/usr/bin/env bash
# Patch size, creation and apply figures of mendrix-make / mendrix against
# xdelta3, bsdiff/bspatch and zstd --patch-from on real old/new pairs.
#
# Usage: corpus_bench.sh CORPUS [BUILD]
#   CORPUS  a directory made by corpus.sh: single-file pairs NAME/old, NAME/new;
#           tree pairs NAME/old/, NAME/new/ with NAME/old.tar, NAME/new.tar
#   BUILD   the build directory holding mendrix and mendrix-make (default:
#           build/ beside this script's repository)
# Env:      PAIRS="node jvm ..." to run some pairs only; TOOLS="mendrix floor"
#           to run some of mendrix, xdelta3, bsdiff, zstd and floor only (the
#           other tools' rows don't change with Mendrix's code); WORK=dir for
#           scratch (default a fresh directory under /tmp, removed at the end).
#           TOOLS="... durable" adds, after the table, durable_bench.sh's on
#           the same pairs and the 1.5 GiB pair: each whole run's time, its
#           durable batch, the bytes it writes and the floor with sync (tens
#           of minutes; its own settings, such as BIG and WORK, as it reads
#           them).
#
# Figures come from /usr/bin/time -v (CPU time, maximum resident set size)
# and, for wall time, the shell's clock around it, to the millisecond.
# Applies are run five times and the fastest is kept; creations once.
# Mendrix is run as a user runs it: `mendrix patch old_copy` with standard
# input from /dev/null (quiet test, test pass, apply pass).
# Tools without directory support get the pairs' tar files. Every result is
# compared with the new version; a mismatch stops the script.
set -euo pipefail

CORPUS=$(cd "${1:?usage: corpus_bench.sh CORPUS [BUILD]}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "${2:-$HERE/../../build}" && pwd)
MAKE="$BUILD/mendrix-make"
MENDRIX="$BUILD/mendrix"
PAIRS=${PAIRS:-"node jvm crypto pgtree pystd"}
TOOLS=${TOOLS:-"mendrix xdelta3 bsdiff zstd floor"}
runs() { [[ " $TOOLS " == *" $1 "* ]]; }  # runs TOOL: is TOOL among TOOLS?

need() {  # command package
  command -v "$1" >/dev/null 2>&1 && return
  apt-get install -y "$2" >/dev/null ||
    { apt-get update >/dev/null && apt-get install -y "$2" >/dev/null; }
}
need xdelta3 xdelta3
need bsdiff bsdiff
need zstd zstd
need xz xz-utils
[ -x /usr/bin/time ] || need /usr/bin/time time
for program in "$MAKE" "$MENDRIX"; do
  [ -x "$program" ] || { echo "missing $program: build first" >&2; exit 1; }
done

WORK=${WORK:-$(mktemp -d /tmp/corpus-bench.XXXXXX)}
mkdir -p "$WORK"
trap 'rm -rf "$WORK"' EXIT
export TMPDIR="$WORK/tmp"
mkdir -p "$TMPDIR"

# measure LOG cmd...: runs cmd under /usr/bin/time -v; sets SECONDS_ (wall, to
# the millisecond from the shell's clock: time's own has 10 ms steps), CPU_
# (user + system) and KB_ (peak resident set).
measure() {
  local log=$1; shift
  local start=$EPOCHREALTIME
  /usr/bin/time -v -o "$log" "$@" </dev/null >"$log.out" 2>"$log.err" || {
    echo "failed: $*" >&2; cat "$log.err" >&2; exit 1; }
  local end=$EPOCHREALTIME
  SECONDS_=$(awk -v a="${start/,/.}" -v b="${end/,/.}" 'BEGIN {printf "%.3f", b - a}')
  CPU_=$(awk -F': ' '/User time|System time/ {s += $2} END {printf "%.2f", s}' "$log")
  KB_=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")
}

# best_of_5 SETUP CMD...: runs SETUP then CMD five times; keeps the fastest
# run's times and the largest memory.
best_of_5() {
  local setup=$1; shift
  local best="" cpu="" mem=0
  for _ in 1 2 3 4 5; do
    eval "$setup"
    measure "$WORK/run.log" "$@"
    if [ -z "$best" ] || awk -v a="$SECONDS_" -v b="$best" 'BEGIN {exit !(a < b)}'; then
      best=$SECONDS_; cpu=$CPU_
    fi
    [ "$KB_" -gt "$mem" ] && mem=$KB_
  done
  SECONDS_=$best; CPU_=$cpu; KB_=$mem
}

size() { stat -c %s "$1"; }
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }
compressed() {  # raw file: prints "raw / zstd -19 / xz -9"
  printf '%s / %s / %s' "$(size "$1")" "$(zstd -19 -q -c "$1" | wc -c)" "$(xz -9 -c "$1" | wc -c)"
}

same_tree() {  # result expected: the new tree, less the backup directory
  diff -r --no-dereference -x Backup "$1" "$2" >/dev/null
}

printf '| pair | new size | tool | patch bytes (raw / zstd -19 / xz -9) '
printf '| create s (wall / cpu) | create MiB | apply s (wall / cpu) | apply MiB |\n'
printf '|---|---|---|---|---|---|---|---|\n'
for pair in $PAIRS; do
  dir="$CORPUS/$pair"
  if [ -d "$dir/old" ]; then
    tree=1; oldf="$dir/old.tar"; newf="$dir/new.tar"
  else
    tree=0; oldf="$dir/old"; newf="$dir/new"
  fi
  newsize=$(size "$newf")
  row() { printf '| %s | %s | %s | %s | %s | %s | %s | %s |\n' "$pair" "$newsize" "$@"; }

  if runs mendrix; then
    # Mendrix: the patch of the files or the trees themselves.
    patch="$WORK/$pair.pat"
    measure "$WORK/make.log" "$MAKE" -quiet "$patch" "$dir/old" "$dir/new"
    cs="$SECONDS_ / $CPU_"; ck=$KB_
    target="$WORK/target"
    if [ $tree = 1 ]; then
      best_of_5 "rm -rf '$target'; cp -a '$dir/old' '$target'" "$MENDRIX" "$patch" "$target"
      same_tree "$target" "$dir/new" || { echo "$pair: mendrix result differs" >&2; exit 1; }
    else
      best_of_5 "cp '$dir/old' '$target'" "$MENDRIX" "$patch" "$target"
      cmp -s "$target" "$dir/new" || { echo "$pair: mendrix result differs" >&2; exit 1; }
    fi
    row mendrix "$(compressed "$patch")" "$cs" "$(mib "$ck")" "$SECONDS_ / $CPU_" "$(mib "$KB_")"
    rm -rf "$target"
  fi

  out="$WORK/out"
  if runs xdelta3; then
    measure "$WORK/x.log" xdelta3 -e -9 -f -s "$oldf" "$newf" "$WORK/x.vcdiff"
    cs="$SECONDS_ / $CPU_"; ck=$KB_
    best_of_5 "rm -f '$out'" xdelta3 -d -f -s "$oldf" "$WORK/x.vcdiff" "$out"
    cmp -s "$out" "$newf" || { echo "$pair: xdelta3 result differs" >&2; exit 1; }
    row xdelta3 "$(compressed "$WORK/x.vcdiff")" "$cs" "$(mib "$ck")" \
      "$SECONDS_ / $CPU_" "$(mib "$KB_")"
  fi

  if runs bsdiff; then
    measure "$WORK/b.log" bsdiff "$oldf" "$newf" "$WORK/b.bsdiff"
    cs="$SECONDS_ / $CPU_"; ck=$KB_
    best_of_5 "rm -f '$out'" bspatch "$oldf" "$out" "$WORK/b.bsdiff"
    cmp -s "$out" "$newf" || { echo "$pair: bspatch result differs" >&2; exit 1; }
    row bsdiff "$(compressed "$WORK/b.bsdiff")" "$cs" "$(mib "$ck")" \
      "$SECONDS_ / $CPU_" "$(mib "$KB_")"
  fi

  if runs zstd; then
    measure "$WORK/z.log" zstd -19 --long=31 -q -f --patch-from="$oldf" "$newf" -o "$WORK/z.zst"
    cs="$SECONDS_ / $CPU_"; ck=$KB_
    best_of_5 "rm -f '$out'" zstd -d --long=31 -q -f --patch-from="$oldf" "$WORK/z.zst" -o "$out"
    cmp -s "$out" "$newf" || { echo "$pair: zstd result differs" >&2; exit 1; }
    row "zstd --patch-from" "$(compressed "$WORK/z.zst")" "$cs" "$(mib "$ck")" \
      "$SECONDS_ / $CPU_" "$(mib "$KB_")"
  fi

  if runs floor; then
    # The floor: reading the old version and writing the new one.
    best_of_5 "rm -f '$out'" \
      sh -c 'cat "$1" >/dev/null && cat "$2" >"$3"' floor "$oldf" "$newf" "$out"
    row "floor (read old, write new)" "-" "-" "-" "$SECONDS_ / $CPU_" "$(mib "$KB_")"
  fi
  rm -f "$out" "$WORK"/x.vcdiff "$WORK"/b.bsdiff "$WORK"/z.zst
done

if runs durable; then
  echo
  PAIRS="$PAIRS" "$HERE/durable_bench.sh" "$CORPUS" "$BUILD"
fi
