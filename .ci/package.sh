#!/usr/bin/env bash
# Package stage of the continuous integration: a Release build installed into
# a prefix (both programs, both man pages), the man pages checked with mandoc,
# the Debian package made with cpack, checked with lintian (no errors) and
# unpacked into a scratch root whose programs must run, and the README's
# examples run and compared (docs/examples.sh). Runs on its own as well:
#   .ci/package.sh
set -euo pipefail
exec </dev/null
cd "$(dirname "$0")/.."
build=${MENDRIX_PACKAGE_BUILD:-build-package}

packages=(cmake g++ make libdivsufsort-dev liblzma-dev dpkg-dev file lintian mandoc)
bash .ci/install-packages.sh "${packages[@]}"

scratch="$(mktemp -d "${TMPDIR:-/tmp}/mendrix-package.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

echo "== Man pages (mandoc -T lint)"
lint="$(mandoc -T lint docs/man/*.1 2>&1 || true)"
if [ -n "$lint" ]; then
  echo "$lint" >&2
  exit 1
fi

# The programs only: the tests have run in the plain build. GoogleTest is
# hidden from this configure, as on a machine without it: it must succeed
# and say once that the tests are left out.
echo "== Release build (as without GoogleTest) and install"
rm -f "$build/CMakeCache.txt"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  -DMENDRIX_BUILD_TOOLS=OFF -DMENDRIX_WERROR=OFF >"$scratch/configure.log"
if [ "$(grep -c 'GoogleTest' "$scratch/configure.log")" -ne 1 ]; then
  cat "$scratch/configure.log"
  echo "configure without GoogleTest: expected one message about it" >&2
  exit 1
fi
grep 'GoogleTest' "$scratch/configure.log"
cmake --build "$build" -j2
tools/demo/run_demo.sh "$build" >/dev/null
cmake --install "$build" --prefix "$scratch/prefix"
for path in bin/mendrix bin/mendrix-make share/man/man1/mendrix.1.gz \
            share/man/man1/mendrix-make.1.gz share/doc/mendrix/copyright; do
  [ -e "$scratch/prefix/$path" ] || { echo "not installed: $path" >&2; exit 1; }
done

echo "== Debian package"
rm -f "$build"/mendrix_*.deb
(cd "$build" && cpack -G DEB)
deb="$(ls "$build"/mendrix_*.deb)"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

echo "== lintian"
# Errors fail the stage; warnings are shown.
lintian --tag-display-limit 0 "$deb" | tee "$scratch/lintian" || true
if grep -q '^E:' "$scratch/lintian"; then
  echo "lintian reports errors" >&2
  exit 1
fi

echo "== Installed programs"
dpkg -x "$deb" "$scratch/root"
"$scratch/root/usr/bin/mendrix" -h >"$scratch/mendrix-h" 2>&1 ||
  { cat "$scratch/mendrix-h"; echo "mendrix -h failed" >&2; exit 1; }
grep -q '^Usage: Mendrix' "$scratch/mendrix-h"
"$scratch/root/usr/bin/mendrix-make" -h >"$scratch/make-h" 2>&1 ||
  { cat "$scratch/make-h"; echo "mendrix-make -h failed" >&2; exit 1; }
grep -q 'mendrix-make' "$scratch/make-h"
for page in mendrix mendrix-make; do
  # man -l renders the installed page; warnings would go to standard error.
  MANWIDTH=80 man -l "$scratch/root/usr/share/man/man1/$page.1.gz" >"$scratch/$page.txt" \
    2>"$scratch/$page.err"
  if [ -s "$scratch/$page.err" ] || ! grep -q '^NAME' "$scratch/$page.txt"; then
    cat "$scratch/$page.err" >&2
    echo "man -l $page.1.gz: warnings or no page" >&2
    exit 1
  fi
done
# The installed programs work together: a patch made and applied from /usr/bin.
cp -R docs/examples/. "$scratch/work"
(cd "$scratch/work" &&
  "$scratch/root/usr/bin/mendrix-make" -self update v1.0 v1.1 v2.0 >/dev/null &&
  cp -R v1.0 site && cd site && printf 'xy' | ../update >/dev/null 2>&1 &&
  diff -r --exclude=Backup . ../v2.0) || { echo "installed programs: patch run failed" >&2; exit 1; }

echo "== README examples"
docs/examples.sh "$build"
echo "== Package stage passed: $(basename "$deb")"
