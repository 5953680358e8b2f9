#!/usr/bin/env bash
# Applies the demo patch to a scratch copy of its old tree and lists the
# result. Usage: tools/demo/run_demo.sh [BUILD_DIR]   (default: build)
set -euo pipefail

demo_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build_dir="${1:-build}"
mendrix="$(cd "$build_dir" && pwd)/mendrix"
[ -x "$mendrix" ] || { echo "run_demo.sh: no mendrix program in $build_dir" >&2; exit 2; }

scratch="$(mktemp -d "${TMPDIR:-/tmp}/mendrix-demo.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
cp -R "$demo_dir/old" "$scratch/tree"
# The old tree stands for release 1.x; give its files a date of that time.
find "$scratch/tree" -type f -exec touch -d '2023-01-15 12:00' {} +
mkdir "$scratch/temp"

echo "\$ mendrix demo.pat tree </dev/null"
# Standard input from /dev/null: the key prompt returns at once.
(cd "$scratch" && TMPDIR="$scratch/temp" "$mendrix" "$demo_dir/demo.pat" tree </dev/null 2>&1) |
  tr -d '\r'

echo
echo "\$ find tree -type f | sort"
(cd "$scratch" && find tree -type f | sort | while read -r f; do
  printf '%-28s %6s bytes  %s\n' "$f" "$(stat -c %s "$f")" "$(date -r "$f" '+%Y-%m-%d %H:%M')"
done)
leftover="$(ls -A "$scratch/temp")"
[ -z "$leftover" ] || { echo "run_demo.sh: work files left: $leftover" >&2; exit 1; }
