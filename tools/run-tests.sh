#!/usr/bin/env bash
# Builds everything and runs every test:
#   1. the 32-bit Windows DLL (cross-built with mingw-w64);
#   2. the Linux shared library and the whole test suite, warnings as
#      errors, with the DLL's export table checked as one of the tests;
#   3. the test suite again, built with AddressSanitizer and UBSan.
# Usage: bash tools/run-tests.sh   (from anywhere; builds under ./build-*)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)

echo "== 32-bit Windows DLL"
cmake -S . -B build-win32 -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake \
      -DKESTRUMR_TESTS=OFF -DKESTRUMR_TOOLS=OFF -DKESTRUMR_WERROR=ON >/dev/null
cmake --build build-win32 -j "$jobs"

echo "== sanitizers (AddressSanitizer + UBSan)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DKESTRUMR_SANITIZE=ON -DKESTRUMR_WERROR=ON >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE statistical

echo "== Linux build and full test suite"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUMR_WERROR=ON \
      -DKESTRUMR_DLL="$root/build-win32/kestrumr.dll" >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"
