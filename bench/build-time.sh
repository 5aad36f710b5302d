#!/usr/bin/env bash
# Build-time figures for one build folder: what a newcomer and a developer wait
# for. Prints, for each case, the wall time and the number of build steps:
#   clean       configure and build from nothing, compiler cache off
#   no-change   the same build again with nothing changed
#   header      after an edit of one widely included header, cache off
#   leaf        after an edit of one leaf .cpp, cache off
# and, unless --no-tests, the test run (ctest, as scripts/test.sh runs it).
#
#   bench/build-time.sh [--no-tests] [BUILD_DIR [cmake options...]]
#
# The default options are the test command's (sanitized, no benchmarks), in
# a folder of its own, build/timing, which is deleted first. The edited files
# are put back afterwards (the folder is then one rebuild behind them). Set
# GASCAL_TIME_HEADER and GASCAL_TIME_LEAF to time other files.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
run_tests=1
if [ "${1:-}" = "--no-tests" ]; then run_tests=0; shift; fi
build="${1:-build/timing}"
shift || true
opts=("$@")
if [ ${#opts[@]} -eq 0 ]; then opts=(-DGASCAL_SANITIZE=ON -DGASCAL_BENCH=OFF); fi
case "$build" in /*) ;; *) build="$top/$build" ;; esac
header="${GASCAL_TIME_HEADER:-common/Helpers.h}"
leaf="${GASCAL_TIME_LEAF:-pages/level/LevelPage.cpp}"

# One build through the project's own set-up script; prints
# "<wall seconds> <processor seconds> <steps>". The processor time (user and
# system, all compiler processes) tells the cost apart from other load on
# the machine.
timed_build() {
    local log times steps
    log="$(mktemp)"
    times="$(mktemp)"
    local TIMEFORMAT='%R %U %S'
    { time "$top/scripts/setup.sh" "$build" "${opts[@]}" >"$log" 2>&1; } 2>"$times" \
        || { cat "$log" >&2; rm -f "$log" "$times"; exit 1; }
    # Ninja numbers its steps "[n/total]"; no line means nothing was rebuilt.
    steps=$(grep -oE '^\[[0-9]+/[0-9]+\]' "$log" | tail -1 | sed -E 's/^\[([0-9]+)\/.*/\1/')
    read -r real user sys <"$times"
    rm -f "$log" "$times"
    echo "$real $(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.1f", u + s }') ${steps:-0}"
}

report() { printf '%-10s %8s s wall %8s s cpu %5s steps\n' "$1" "$2" "$3" "$4"; }

echo "build folder: $build"
echo "options:      ${opts[*]}"
echo "cores:        $(nproc)"
rm -rf "$build"
read -r t c s < <(CCACHE_DISABLE=1 timed_build)
report clean "$t" "$c" "$s"
read -r t c s < <(timed_build)
report no-change "$t" "$c" "$s"
# An edit, with the compiler cache off: a cache would answer a touched or
# commented file from its copy. The file is put back afterwards.
edit_and_build() {
    local file="$top/$1" saved
    saved="$(mktemp)"
    cp -p "$file" "$saved"
    printf '\n// build-time %s\n' "$(date +%s%N)" >>"$file"
    CCACHE_DISABLE=1 timed_build
    cp -p "$saved" "$file"
    rm -f "$saved"
}
read -r t c s < <(edit_and_build "$header")
report header "$t" "$c" "$s"
read -r t c s < <(edit_and_build "$leaf")
report leaf "$t" "$c" "$s"
if [ "$run_tests" = 1 ] && [ -f "$build/CTestTestfile.cmake" ]; then
    TIMEFORMAT='%R %U %S'
    { time (cd "$build" && QT_QPA_PLATFORM=offscreen ctest -j2 -LE soak >/dev/null 2>&1 || echo "(some tests failed)" >&2); } 2>/tmp/gascal-test-times.$$
    read -r real user sys < <(tail -1 /tmp/gascal-test-times.$$)
    grep -v '^[0-9.]* [0-9.]* [0-9.]*$' /tmp/gascal-test-times.$$ || true
    rm -f /tmp/gascal-test-times.$$
    report tests "$real" "$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.1f", u + s }')" "-"
fi
