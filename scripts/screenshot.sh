#!/usr/bin/env bash
# Builds the tool if needed, runs it on the simulated ECU under a virtual X
# display, and saves a picture of each page of the main window to docs/:
# page-calibration.png, page-general.png (also docs/screenshot.png, the
# README's picture) and page-configuration.png; then of each secondary
# window: window-<name>.png (for example window-frminjset.png).
#   scripts/screenshot.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build/shot}"
wait="${2:-40}"
if [ ! -x "$build/tree/BIN/gascal" ]; then
    cmake -S "$top" -B "$build" -G Ninja -DGASCAL_TESTS=OFF >/dev/null
fi
ninja -C "$build" -j2 gascal install_tree >/dev/null
for page in 0:calibration 3:general 4:configuration; do
    tab="${page%%:*}"
    out="$top/docs/page-${page#*:}.png"
    # A fresh start: no remembered port, so the tool searches and finds the simulator.
    rm -f "$build/tree/BIN/SetCom.ini"
    ASAN_OPTIONS=detect_leaks=0 xvfb-run -a -s "-screen 0 1366x768x24" \
        "$build/tree/BIN/gascal" --sim --screenshot "$out" --screenshot-after "$wait" \
        --screenshot-tab "$tab"
    echo "saved $out"
done
cp "$top/docs/page-general.png" "$top/docs/screenshot.png"
for name in FrmInjSet FrmLevelSetting; do
    out="$top/docs/window-$(echo "$name" | tr '[:upper:]' '[:lower:]').png"
    rm -f "$build/tree/BIN/SetCom.ini"
    ASAN_OPTIONS=detect_leaks=0 xvfb-run -a -s "-screen 0 1366x768x24" \
        "$build/tree/BIN/gascal" --sim --screenshot "$out" --screenshot-after "$wait" \
        --screenshot-window "$name"
    echo "saved $out"
done
