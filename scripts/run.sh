#!/usr/bin/env bash
# Builds gascal and starts the desktop tool on the built-in simulated ECU.
# Without a display it says so and runs a headless demonstration instead.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$top/scripts/setup.sh" build/run -DGASCAL_TESTS=OFF -DGASCAL_BENCH=OFF
bin="$top/build/run/tree/BIN"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$bin/gascal" ]; then
    exec "$bin/gascal" --sim "$@"
fi
echo "No display available: running the headless demonstration on the simulated ECU instead."
exec "$top/scripts/demo.sh" "$bin"
