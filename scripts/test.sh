#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test; also
# cross-compiles the Windows program. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset ci
cmake --build --preset ci
ctest --preset ci
cmake --preset mingw
cmake --build --preset mingw
echo "Windows program built: build/mingw/bin/tlxup.exe"
