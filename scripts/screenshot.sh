#!/usr/bin/env bash
# Builds the tool if needed, runs it on the simulated ECU under a virtual X
# display, and saves a picture of each page of the main window to docs/:
# page-calibration.png (an automatic calibration in the middle of step 02,
# the simulated fitter holding the raised speed), page-general.png (also docs/screenshot.png, the
# README's picture), page-modeling.png and page-map.png (after a simulated
# drive that fills the map; the Modeling tab after "Fit") and
# page-configuration.png; and of the secondary
# windows: window-frmupdate.png (the firmware upgrade while it writes),
# window-about.png (the About box of the Info menu), window-<name>.png for
# each window opened by name (for example window-frminjset.png), the signal
# viewer twice, on a simulated car that revs up and down:
# window-frmview-run.png (run mode) and window-frmview-stop.png (stop mode
# with both cursors), the error window with errors on the simulated ECU
# (window-frmerrecu.png), the expert page at both password levels
# (window-frmsetexpert-level1.png, -level2.png) and the comparison with a
# parameter file (window-compare.png) and the restore points of the File
# menu's "History..." (window-frmhistory.png).
#   scripts/screenshot.sh [BUILD_DIR] [SECONDS] [all|pages|windows]
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build/shot}"
wait="${2:-40}"
what="${3:-all}"
if [ ! -x "$build/tree/BIN/gascal" ]; then
    cmake -S "$top" -B "$build" -G Ninja -DGASCAL_TESTS=OFF >/dev/null
fi
ninja -C "$build" -j2 gascal gascal-cli install_tree >/dev/null

# One picture: the tool started afresh on the simulator with the options given.
shot() {
    local out="$1"
    shift
    # A fresh start: no remembered port, so the tool searches and finds the simulator.
    rm -f "$build/tree/BIN/SetCom.ini"
    ASAN_OPTIONS=detect_leaks=0 xvfb-run -a -s "-screen 0 1366x768x24" \
        "$build/tree/BIN/gascal" --sim --screenshot "$out" "$@"
    echo "saved $out"
}

if [ "$what" != pages ]; then
    # The windows drive themselves (hidden option --screenshot-window): the
    # upgrade runs to its end after the picture, about a minute.
    for win in FrmUpdate:frmupdate FrmStartUp:about; do
        shot "$top/docs/window-${win#*:}.png" --screenshot-window "${win%%:*}"
    done
    # The upgrade's backup of the simulated ECU's configuration.
    rm -f "$build/tree/"UpgradeBackup_*.var
    for name in FrmInjSet FrmLevelSetting; do
        shot "$top/docs/window-$(echo "$name" | tr '[:upper:]' '[:lower:]').png" \
            --screenshot-after "$wait" --screenshot-window "$name"
    done

    # The error window: the reducer temperature and manifold pressure sensors
    # open on the simulated ECU.
    shot "$top/docs/window-frmerrecu.png" --screenshot-after "$wait" --screenshot-window FrmErrEcu \
        --sim-error 1 --sim-error 3

    # The expert page with the shipped passwords of \LNG\ConfigScale.ini.
    password() { sed -n "/^\[$1\]/{n;s/\r//;p;q}" "$build/tree/LNG/ConfigScale.ini"; }
    shot "$top/docs/window-frmsetexpert-level1.png" --screenshot-after "$wait" \
        --screenshot-window FrmSetExpert --screenshot-password "$(password PassWord00)"
    shot "$top/docs/window-frmsetexpert-level2.png" --screenshot-after "$wait" \
        --screenshot-window FrmSetExpert --screenshot-password "$(password PassWord01)"

    # The comparison with a parameter file saved from the simulated ECU and
    # then changed: the switchover temperature, the model's slope and point
    # 3, and a stretch of the correction table; the file ends before its
    # "[ADT]" section (a partial file: listed as not in the file).
    work="$(mktemp -d)"
    trap 'rm -rf "$work"' EXIT
    "$build/tree/BIN/gascal-cli" --sim save-params "$work/car.var" 2>/dev/null
    awk 'BEGIN { k = -1 }
         /^\[COR\]/ { k = 0; print; next }
         /^\[ADT\]/ { exit }
         k >= 0 && k < 192 {
             if (k >= 40 && k < 46) $0 = sprintf(" 0,%d", k - 30)
             if (k == 185) $0 = " 1,08"
             if (k == 189) $0 = " 100"
             k++
         }
         /^B3/ { $0 = substr($0, 1, 6) "2D00" substr($0, 11) }
         { print }' "$work/car.var" | sed 's/$/\r/;s/\r\r$/\r/' >"$work/changed.var"
    shot "$top/docs/window-compare.png" --screenshot-after "$wait" --screenshot-compare "$work/changed.var"

    # The History window: restore points that gascal-cli took of the
    # simulated ECU (a connection, two changes), in a data folder of this run.
    history="$work/data"
    for args in "identify" "set SwitchRpm=2500" "identify" "set SwitchTempRaw=55 --save" "identify"; do
        # shellcheck disable=SC2086
        GASCAL_DATA_DIR="$history" "$build/tree/BIN/gascal-cli" --sim $args >/dev/null 2>&1
    done
    GASCAL_DATA_DIR="$history" shot "$top/docs/window-frmhistory.png" --screenshot-after "$wait" \
        --screenshot-window FrmHistory

    # The viewer opens half-way through the wait. Run mode with the cursor placed;
    # then a stop (taken by the viewer itself, without saving) with both cursors.
    half=$(( ${wait%.*} / 2 ))
    for mode in run stop; do
        stopAfter=""
        if [ "$mode" = stop ]; then stopAfter=$(( half > 8 ? half - 2 : 4 )); fi
        GASCAL_FRMVIEW_CURSORS="0.52,0.26" GASCAL_FRMVIEW_STOP_AFTER="$stopAfter" \
            shot "$top/docs/window-frmview-$mode.png" --sim-drive --screenshot-after "$wait" \
            --screenshot-window FrmView
    done
fi
[ "$what" = windows ] && exit 0
for page in 0:calibration 1:modeling 2:map 3:general 4:configuration; do
    tab="${page%%:*}"
    # The Modeling and Map tabs are pictured after a drive that fills the map.
    # The Calibration tab: "Yes" once online, the picture after the third
    # cycle of step 02 (about 40 s; at the latest after 150 s).
    drive=()
    after="$wait"
    if [ "$tab" = 1 ] || [ "$tab" = 2 ]; then drive=(--screenshot-drive); fi
    if [ "$tab" = 0 ]; then drive=(--screenshot-calibrate 3); after=150; fi
    shot "$top/docs/page-${page#*:}.png" --screenshot-after "$after" --screenshot-tab "$tab" "${drive[@]}"
done
cp "$top/docs/page-general.png" "$top/docs/screenshot.png"
