#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test: the main
# suites, the same suites under the address and undefined-behaviour
# sanitizers, the fuzz targets for a short fixed time, and the Windows
# program with its tests under Wine (skipped, and said so, without Wine or
# mingw-w64). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "== main build and every test"
cmake --preset ci
cmake --build --preset ci
ctest --preset ci

echo "== unit, pty and end-to-end tests under ASan and UBSan"
cmake --preset asan
cmake --build --preset asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --preset asan -L 'unit|pty|e2e' -LE valgrind

echo "== fuzz targets"
cmake --preset fuzz
cmake --build --preset fuzz --target fuzz_version fuzz_monitor fuzz_packets fuzz_command_line
ctest --preset fuzz

scripts/test_windows.sh
