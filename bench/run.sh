#!/usr/bin/env bash
# Builds the release preset and prints the benchmark table.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target tlxup tlxsim tlx_alloc_count
python3 bench/bench.py build/release/bin
