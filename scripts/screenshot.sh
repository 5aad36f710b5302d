#!/usr/bin/env bash
# Builds the tool if needed, runs it on the simulated ECU under a virtual X
# display, and saves a picture of each page of the main window to docs/:
# page-calibration.png, page-general.png (also docs/screenshot.png, the
# README's picture) and page-configuration.png; then of each secondary
# window: window-<name>.png (for example window-frminjset.png); the signal
# viewer twice, on a simulated car that revs up and down: window-frmview-run.png
# (run mode) and window-frmview-stop.png (stop mode with both cursors).
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
# The viewer opens half-way through the wait. Run mode with the cursor placed;
# then a stop (taken by the viewer itself, without saving) with both cursors.
half=$(( ${wait%.*} / 2 ))
for mode in run stop; do
    out="$top/docs/window-frmview-$mode.png"
    rm -f "$build/tree/BIN/SetCom.ini"
    stopAfter=""
    if [ "$mode" = stop ]; then stopAfter=$(( half > 8 ? half - 2 : 4 )); fi
    GASCAL_FRMVIEW_CURSORS="0.52,0.26" GASCAL_FRMVIEW_STOP_AFTER="$stopAfter" \
    ASAN_OPTIONS=detect_leaks=0 xvfb-run -a -s "-screen 0 1366x768x24" \
        "$build/tree/BIN/gascal" --sim --sim-drive --screenshot "$out" --screenshot-after "$wait" \
        --screenshot-window FrmView
    echo "saved $out"
done
