#!/usr/bin/env bash
# CI stage: builds the fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and fuzzes whole runs for a short while, one
# job, starting from the seed corpus and the kept regression inputs. Any
# finding (crash, sanitizer report, timeout, memory over the limit, a check
# of the target) fails the stage; the input is kept in build-fuzz/findings/.
# MENDRIX_FUZZ_SECONDS sets the length of the run (default 90).
set -euo pipefail
exec </dev/null
cd "$(dirname "$0")/.."

missing=()
for p in cmake clang libclang-rt-14-dev; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== Installing: ${missing[*]}"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

seconds=${MENDRIX_FUZZ_SECONDS:-90}
build=build-fuzz
cmake -S tools/fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$work/seeds" "$work/artifacts" "$work/run"
"$build/make_seeds" "$work/seeds"

echo "== Fuzzing for ${seconds}s"
status=0
# New inputs go to the first corpus directory; the seeds and the regression
# inputs are only read. The job's log lands in the run directory.
(cd "$work/run" && ASAN_OPTIONS=quarantine_size_mb=64 \
  "$OLDPWD/$build/fuzz_patch" -jobs=1 -workers=1 -max_total_time="$seconds" \
  -timeout=5 -rss_limit_mb=1024 -close_fd_mask=3 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" \
  "$work/corpus" "$work/seeds" "$OLDPWD/tools/fuzz/regressions") || status=$?
cat "$work/run"/fuzz-*.log 2>/dev/null | grep -vE '^#[0-9]+\s+(NEW|REDUCE|pulse)' || true

if [ -n "$(ls -A "$work/artifacts")" ]; then
  mkdir -p "$build/findings"
  cp "$work/artifacts"/* "$build/findings/"
  echo "Fuzzing found something; inputs kept in $build/findings:" >&2
  ls -l "$build/findings" >&2
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "The fuzzer ended with status $status" >&2
  exit 1
fi
echo "== Fuzzing smoke run: no finding"
