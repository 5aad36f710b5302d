#!/usr/bin/env bash
# Builds the tool if needed, runs it on the simulated ECU under a virtual X
# display, and saves a picture of each page of the main window to docs/:
# page-calibration.png (an automatic calibration in the middle of step 02,
# the simulated fitter holding the raised speed), page-general.png (also docs/screenshot.png, the
# README's picture), page-modeling.png and page-map.png (after a simulated
# drive that fills the map) and page-configuration.png; and of the secondary
# windows: window-frmupdate.png (the firmware upgrade while it writes),
# window-about.png (the About box of the Info menu), window-<name>.png for
# each window opened by name (for example window-frminjset.png), and the
# signal viewer twice, on a simulated car that revs up and down:
# window-frmview-run.png (run mode) and window-frmview-stop.png (stop mode
# with both cursors).
#   scripts/screenshot.sh [BUILD_DIR] [SECONDS] [all|pages|windows]
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build/shot}"
wait="${2:-40}"
what="${3:-all}"
if [ ! -x "$build/tree/BIN/gascal" ]; then
    cmake -S "$top" -B "$build" -G Ninja -DGASCAL_TESTS=OFF >/dev/null
fi
ninja -C "$build" -j2 gascal install_tree >/dev/null
if [ "$what" != pages ]; then
    # The windows drive themselves (hidden option --screenshot-window): the
    # upgrade runs to its end after the picture, about a minute.
    for win in FrmUpdate:frmupdate FrmStartUp:about; do
        out="$top/docs/window-${win#*:}.png"
        rm -f "$build/tree/BIN/SetCom.ini"
        ASAN_OPTIONS=detect_leaks=0 xvfb-run -a -s "-screen 0 1366x768x24" \
            "$build/tree/BIN/gascal" --sim --screenshot "$out" --screenshot-window "${win%%:*}"
        echo "saved $out"
    done
    # The upgrade's backup of the simulated ECU's configuration.
    rm -f "$build/tree/"UpgradeBackup_*.var
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
fi
[ "$what" = windows ] && exit 0
for page in 0:calibration 1:modeling 2:map 3:general 4:configuration; do
    tab="${page%%:*}"
    out="$top/docs/page-${page#*:}.png"
    # A fresh start: no remembered port, so the tool searches and finds the simulator.
    rm -f "$build/tree/BIN/SetCom.ini"
    # The Modeling and Map tabs are pictured after a drive that fills the map.
    # The Calibration tab: "Yes" once online, the picture after the third
    # cycle of step 02 (about 40 s; at the latest after 150 s).
    drive=""
    after="$wait"
    if [ "$tab" = 1 ] || [ "$tab" = 2 ]; then drive="--screenshot-drive"; fi
    if [ "$tab" = 0 ]; then drive="--screenshot-calibrate 3"; after=150; fi
    ASAN_OPTIONS=detect_leaks=0 xvfb-run -a -s "-screen 0 1366x768x24" \
        "$build/tree/BIN/gascal" --sim --screenshot "$out" --screenshot-after "$after" \
        --screenshot-tab "$tab" $drive
    echo "saved $out"
done
cp "$top/docs/page-general.png" "$top/docs/screenshot.png"
