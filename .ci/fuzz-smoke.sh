#!/usr/bin/env bash
# CI stage: builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for a short while, one job at a
# time: whole runs and the reader from the seed corpus and the kept
# regression inputs, the generator's round trip from nothing. Any finding
# (crash, sanitizer report, timeout, memory over the limit, a check of a
# target) fails the stage; the input is kept in build-fuzz/findings/.
# MENDRIX_FUZZ_SECONDS sets the length of the whole-run fuzzing (default 45);
# the reader gets half of it and the round trip two thirds.
set -euo pipefail
exec </dev/null
cd "$(dirname "$0")/.."

bash .ci/install-packages.sh cmake clang libclang-rt-14-dev libdivsufsort-dev liblzma-dev

seconds=${MENDRIX_FUZZ_SECONDS:-45}
build=build-fuzz
root=$PWD
cmake -S tools/fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/seeds" "$work/artifacts"
"$build/make_seeds" "$work/seeds"

# fuzz TARGET SECONDS [READ-ONLY CORPUS DIRECTORY...]: new inputs go to the
# target's own corpus directory; the others are only read. The job's log
# lands in the target's run directory.
status=0
fuzz() {
  local target=$1 time=$2
  shift 2
  mkdir -p "$work/$target/corpus" "$work/$target/run"
  echo "== Fuzzing $target for ${time}s"
  (cd "$work/$target/run" && ASAN_OPTIONS=quarantine_size_mb=64 \
    "$root/$build/$target" -jobs=1 -workers=1 -max_total_time="$time" \
    -timeout=20 -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/$target-" \
    "$work/$target/corpus" "$@") || status=$?
  cat "$work/$target/run"/fuzz-*.log 2>/dev/null | grep -vE '^#[0-9]+\s+(NEW|REDUCE|pulse)' || true
}
fuzz fuzz_patch "$seconds" "$work/seeds" "$root/tools/fuzz/regressions"
fuzz fuzz_reader $((seconds / 2)) "$work/seeds" "$root/tools/fuzz/regressions"
fuzz fuzz_roundtrip $((seconds * 2 / 3))

if [ -n "$(ls -A "$work/artifacts")" ]; then
  mkdir -p "$build/findings"
  cp "$work/artifacts"/* "$build/findings/"
  echo "Fuzzing found something; inputs kept in $build/findings:" >&2
  ls -l "$build/findings" >&2
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "A fuzzer ended with status $status" >&2
  exit 1
fi
echo "== Fuzzing smoke run: no finding"
