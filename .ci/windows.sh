#!/usr/bin/env bash
# Windows stage of the continuous integration: cross-builds mendrix.exe with
# mingw-w64 for 32-bit Windows (i686, the shipped program: compile and link
# check, since 32-bit code can't run on the build machines) and for 64-bit
# Windows (x86_64), then runs the unit and end-to-end tests of the x86_64
# build under wine64. Any failure ends the stage with a non-zero status.
#
# The Wine prefix is made fresh inside the build directory. Its drives are
# set up so that a search of the drives stays inside the prefix: Z: (which
# Wine maps to the whole Linux file system) is removed, B: maps the source
# tree (the test programs and their working directories live there, and the
# search never looks at A: or B:), and the temp directory, where the tests
# make their scratch files, is moved from C: to B:.
set -euo pipefail
exec </dev/null
cd "$(dirname "$0")/.."
root=$PWD
# Build directories: <prefix>-i686 and <prefix>-x86_64 in the source tree.
prefix=${MENDRIX_WINDOWS_BUILD:-build-win}

# Never wine32 or the i386 architecture: 32-bit programs can't run here, and
# once wine32 is installed the wine wrapper picks it even for 64-bit programs.
packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64)
bash .ci/install-packages.sh "${packages[@]}"

# The 32-bit build is the shipped program, and only it; the 64-bit build
# brings the tests and tools along.
echo "== Windows build (i686)"
cmake -S . -B "$prefix-i686" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake -DMENDRIX_WERROR=ON \
  -DMENDRIX_BUILD_TESTS=OFF -DMENDRIX_BUILD_TOOLS=OFF
cmake --build "$prefix-i686" -j2 --target mendrix
echo "== Windows build (x86_64)"
cmake -S . -B "$prefix-x86_64" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake -DMENDRIX_WERROR=ON
cmake --build "$prefix-x86_64" -j2

echo "== Imports of mendrix.exe"
for arch in i686 x86_64; do
  imports=$(LC_ALL=C "$arch-w64-mingw32-objdump" -p "$prefix-$arch/mendrix.exe" |
            awk '/DLL Name:/ { print $3 }' | LC_ALL=C sort -u | tr '\n' ' ')
  echo "$arch: $imports"
  if [ "$imports" != "KERNEL32.dll msvcrt.dll " ]; then
    echo "mendrix.exe ($arch) must import from KERNEL32.dll and msvcrt.dll only" >&2
    exit 1
  fi
done

echo "== Tests under Wine (x86_64)"
build=$root/$prefix-x86_64
export WINEPREFIX=$build/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winedbg.exe=d;winemenubuilder.exe=d"  # a crash fails, no dump
export TZ=UTC
unset DISPLAY WAYLAND_DISPLAY

cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
cleanup
mkdir -p "$WINEPREFIX"
# The server and Wine's own processes start here, outside CTest: started by a
# test they would inherit CTest's pipes and hold every test up.
status=0
wineserver -p >/dev/null 2>&1 || status=$?
if [ "$status" -ne 0 ] && [ "$status" -ne 2 ]; then  # 2: one runs already
  echo "wineserver -p failed ($status)" >&2
  exit 1
fi
wine wineboot -i >/dev/null 2>&1

wintemp=$build/wintemp
rm -rf "$wintemp"
mkdir -p "$wintemp"
for name in TEMP TMP; do
  wine reg add 'HKCU\Environment' /v "$name" /t REG_SZ /d "B:\\$prefix-x86_64\\wintemp" /f \
    >/dev/null 2>&1
done
rm -f "$WINEPREFIX/dosdevices/z:" "$WINEPREFIX/dosdevices/b:"
ln -s "$root" "$WINEPREFIX/dosdevices/b:"
# A failed test runs once more: once so far in many runs of the suite, a
# death test's parent process under Wine ended without a word in the middle
# of its children (seen with ReadEntryDeathTest.DamagedEntriesStopTheRun,
# which passed on every rerun). The first failure's output stays in the log.
ctest --test-dir "$build" --output-on-failure -j2 --repeat until-pass:2
