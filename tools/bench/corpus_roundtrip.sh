#!/usr/bin/env bash
# Round trips of mendrix-make and mendrix on the real pairs of a corpus made
# by corpus.sh: for every pair, the patch old -> new, and a three-version
# chain old -> mid -> new (mid: a blend of both, built here), each applied by
# mendrix to a copy of every old version. Every rebuilt file must equal the
# new one byte for byte and carry its date (to the DOS two-second step).
#
# Usage: corpus_roundtrip.sh CORPUS [BUILD]      (Env: PAIRS, WORK as in corpus_bench.sh)
set -euo pipefail

CORPUS=$(cd "${1:?usage: corpus_roundtrip.sh CORPUS [BUILD]}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "${2:-$HERE/../../build}" && pwd)
MAKE="$BUILD/mendrix-make"
MENDRIX="$BUILD/mendrix"
PAIRS=${PAIRS:-"node jvm crypto pgtree pystd"}
WORK=${WORK:-$(mktemp -d /tmp/corpus-roundtrip.XXXXXX)}
mkdir -p "$WORK/tmp"
trap 'rm -rf "$WORK"' EXIT
export TMPDIR="$WORK/tmp" TZ=UTC
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# same_file EXPECTED ACTUAL: bytes, and the date when the file was patched.
same_file() {
  cmp -s "$1" "$2" || { fail "$2 differs from $1"; return; }
  local want; want=$(( $(stat -c %Y "$1") / 2 * 2 ))
  [ "$(stat -c %Y "$2")" = "$want" ] || fail "$2 has date $(stat -c %Y "$2"), not $want"
}

# check_tree NEW RESULT OLD: every file of NEW equal in RESULT; dated like NEW
# where OLD had other bytes (unchanged files keep their own date).
check_tree() {
  local new=$1 result=$2 old=$3 name
  while IFS= read -r -d '' name; do
    name=${name#"$new"/}
    if [ -f "$old/$name" ] && cmp -s "$old/$name" "$new/$name"; then
      cmp -s "$new/$name" "$result/$name" || fail "$result/$name differs"
    else
      same_file "$new/$name" "$result/$name"
    fi
  done < <(find "$new" -type f -print0)
}

# apply PATCH SOURCE: copies SOURCE to $WORK/target and applies PATCH there.
apply() {
  rm -rf "$WORK/target"
  cp -a "$2" "$WORK/target"
  "$MENDRIX" "$1" "$WORK/target" </dev/null >"$WORK/apply.log" 2>&1 ||
    { fail "mendrix $1 on a copy of $2: $(tail -n 2 "$WORK/apply.log" | tr -d '\r')"; return 1; }
}

for pair in $PAIRS; do
  dir="$CORPUS/$pair"
  mid="$WORK/mid"
  rm -rf "$mid"
  if [ -d "$dir/old" ]; then
    # mid: the old tree with every second file of the new tree taken over.
    cp -a "$dir/old" "$mid"
    i=0
    while IFS= read -r -d '' name; do
      name=${name#"$dir/new"/}
      i=$((i + 1))
      if [ $((i % 2)) = 0 ]; then
        mkdir -p "$(dirname "$mid/$name")"
        cp -p "$dir/new/$name" "$mid/$name"
      fi
    done < <(find "$dir/new" -type f -print0 | sort -z)
  else
    # mid: the first half of the new file, then the second half of the old.
    half=$(( $(stat -c %s "$dir/new") / 2 ))
    { head -c "$half" "$dir/new"; tail -c +"$((half + 1))" "$dir/old"; } >"$mid"
  fi

  "$MAKE" -quiet -f "$WORK/p.pat" "$dir/old" "$dir/new" >/dev/null
  "$MAKE" -quiet -f "$WORK/chain.pat" "$dir/old" "$mid" "$dir/new" >/dev/null
  for run in "p.pat old" "chain.pat old" "chain.pat mid"; do
    set -- $run
    source="$dir/old"; [ "$2" = mid ] && source="$mid"
    apply "$WORK/$1" "$source" || continue
    if [ -d "$dir/old" ]; then
      check_tree "$dir/new" "$WORK/target" "$source"
    else
      same_file "$dir/new" "$WORK/target"
    fi
    echo "$pair: $1 applied to $2: checked"
  done
done
[ $failures = 0 ] && echo "all round trips passed" || { echo "$failures failures"; exit 1; }
