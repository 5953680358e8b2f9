#!/usr/bin/env bash
# CI stage: the style the repository declares. clang-format (.clang-format)
# must leave every source of src/ and tools/ as it is, and clang-tidy
# (.clang-tidy) must find nothing in the program, the generator and the tools
# as they build (CMake option MENDRIX_CLANG_TIDY; the Win32 platform file is
# checked only where it builds).
set -euo pipefail
exec </dev/null
cd "$(dirname "$0")/.."

bash .ci/install-packages.sh cmake clang-format clang-tidy

echo "== clang-format"
find src tools -name '*.cc' -o -name '*.h' -o -name '*.cpp' | LC_ALL=C sort |
  xargs clang-format --dry-run -Werror

echo "== clang-tidy"
cmake -S . -B build-tidy -DMENDRIX_CLANG_TIDY=ON -DMENDRIX_BUILD_TESTS=OFF -DMENDRIX_WERROR=ON
cmake --build build-tidy -j2
echo "== Style: clean"
