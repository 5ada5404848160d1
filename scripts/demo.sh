#!/usr/bin/env bash
# Builds tlxup and the device simulator, starts a simulated device on a
# pseudo-terminal and runs a real update against it as COM1. Answer the
# question with Y (or N to see it asked again); any key ends the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev --target tlxup tlxsim
bin=build/dev/bin
work=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; rm -rf "$work"' EXIT
"$bin/tlxsim" --image firmware/images/VEL2346-2.57.img --report "$work/report.json" "$@" >"$work/pty" &
sim=$!
for _ in $(seq 50); do [ -s "$work/pty" ] && break; sleep 0.1; done
port=$(head -n 1 "$work/pty")
echo "Simulated device on $port (COM1)."
status=0
TLXUP_PORTS="$port" "$bin/tlxup" 1 || status=$?
echo "tlxup ended with exit status $status (always 1)."
kill -TERM "$sim"; wait "$sim" || true
python3 - "$work/report.json" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))
print("Simulator: %d record packets received, %d accepted, image matches: %s, device version now %s."
      % (r["recordPackets"], r["recordsAccepted"], r.get("imageMatches"), r["version"]))
PY
