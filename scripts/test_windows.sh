#!/usr/bin/env bash
# The Windows program, tested for real under Wine: cross-compiles tlxup.exe
# and the serial backend's tests with mingw-w64, then runs, each in a fresh
# Wine prefix, the backend's conformance suite and the whole update against
# the simulator behind COM1. Needs the native build of the ci preset (for
# the simulator and the native program the update is compared with) and
# brings those two up to date.
#
# When mingw-w64 or Wine is not on this machine, says so and skips the
# suites that need it (exit status 0); scripts/setup.sh installs both.
set -euo pipefail
cd "$(dirname "$0")/.."

mingw=""
for c in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++; do
  if command -v "$c" >/dev/null 2>&1; then mingw=$c; break; fi
done
if [ -z "$mingw" ]; then
  echo "== Windows: SKIPPED: mingw-w64 is not installed, so tlxup.exe was neither built nor tested"
  exit 0
fi

echo "== Windows program and backend tests (mingw-w64)"
cmake --preset mingw
cmake --build --preset mingw
echo "Windows program built: build/mingw/bin/tlxup.exe"

if ! command -v wine >/dev/null 2>&1 || ! command -v wineserver >/dev/null 2>&1; then
  echo "== Windows: SKIPPED: Wine is not installed, so the Win32 serial backend and tlxup.exe were not run"
  exit 0
fi
cmake --preset ci >/dev/null
cmake --build --preset ci --target tlxup tlxsim

echo "== Windows tests under Wine ($(wine --version 2>/dev/null))"
ctest --preset mingw -L wine
