#!/usr/bin/env bash
# Builds the tool if needed, runs it on the simulated ECU under a virtual X
# display, and saves a picture of each page of the main window to docs/:
# page-calibration.png, page-general.png (also docs/screenshot.png, the
# README's picture) and page-configuration.png; and of the secondary
# windows: window-frmupdate.png (the firmware upgrade while it writes),
# window-about.png (the About box of the Info menu) and window-<name>.png
# for each window opened by name (for example window-frminjset.png).
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
fi
[ "$what" = windows ] && exit 0
for page in 0:calibration 1:modeling 2:map 3:general 4:configuration; do
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
