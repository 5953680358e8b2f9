#!/usr/bin/env bash
# Applies the demo patch to a scratch copy of its old tree and lists the
# result. Usage: tools/demo/run_demo.sh [BUILD_DIR]   (default: build in the
# source tree; the program is built there first when it is missing)
set -euo pipefail

demo_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$demo_dir/../.." && pwd)"
build_dir="${1:-$source_dir/build}"
if [ ! -x "$build_dir/mendrix" ]; then
  # Only the program is built; its progress lines ("[ 40%] Building ...")
  # show that the build goes on.
  echo "Building mendrix in $build_dir (well under a minute on two cores) ..."
  cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build_dir" -j2 --target mendrix | grep --line-buffered '^\[' || true
  [ -x "$build_dir/mendrix" ] || { echo "run_demo.sh: the build failed" >&2; exit 1; }
  echo
fi
mendrix="$(cd "$build_dir" && pwd)/mendrix"

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
