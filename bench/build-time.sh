#!/usr/bin/env bash
# Build-time figures for one build folder: what a newcomer and a developer wait
# for. Prints, for each case, the wall time and the number of build steps:
#   clean       configure and build from nothing, compiler cache off
#   no-change   the same build again with nothing changed
#   header      after touching one widely included header
#   leaf        after touching one leaf .cpp
# and, unless --no-tests, the test run (ctest, as scripts/test.sh runs it).
#
#   bench/build-time.sh [--no-tests] [BUILD_DIR [cmake options...]]
#
# The default folder and options are the test command's (build/test,
# sanitized). The folder is deleted first. Set GASCAL_TIME_HEADER and
# GASCAL_TIME_LEAF to time other files.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
run_tests=1
if [ "${1:-}" = "--no-tests" ]; then run_tests=0; shift; fi
build="${1:-build/test}"
shift || true
opts=("$@")
if [ ${#opts[@]} -eq 0 ]; then opts=(-DGASCAL_SANITIZE=ON); fi
case "$build" in /*) ;; *) build="$top/$build" ;; esac
header="${GASCAL_TIME_HEADER:-common/Helpers.h}"
leaf="${GASCAL_TIME_LEAF:-pages/level/LevelPage.cpp}"

# One build through the project's own set-up script; prints "<seconds> <steps>".
timed_build() {
    local log start end steps
    log="$(mktemp)"
    start=$(date +%s%N)
    "$top/scripts/setup.sh" "$build" "${opts[@]}" >"$log" 2>&1 || { cat "$log" >&2; rm -f "$log"; exit 1; }
    end=$(date +%s%N)
    # Ninja numbers its steps "[n/total]"; no line means nothing was rebuilt.
    steps=$(grep -oE '^\[[0-9]+/[0-9]+\]' "$log" | tail -1 | sed -E 's/^\[([0-9]+)\/.*/\1/')
    rm -f "$log"
    echo "$(seconds "$start" "$end") ${steps:-0}"
}

# Nanosecond stamps to seconds with one decimal.
seconds() { local d=$((($2 - $1) / 100000000)); echo "$((d / 10)).$((d % 10))"; }

report() { printf '%-10s %8s s  %5s steps\n' "$1" "$2" "$3"; }

echo "build folder: $build"
echo "options:      ${opts[*]}"
echo "cores:        $(nproc)"
rm -rf "$build"
read -r t s < <(CCACHE_DISABLE=1 timed_build)
report clean "$t" "$s"
read -r t s < <(timed_build)
report no-change "$t" "$s"
touch "$top/$header"
read -r t s < <(timed_build)
report header "$t" "$s"
touch "$top/$leaf"
read -r t s < <(timed_build)
report leaf "$t" "$s"
if [ "$run_tests" = 1 ] && [ -f "$build/CTestTestfile.cmake" ]; then
    start=$(date +%s%N)
    (cd "$build" && QT_QPA_PLATFORM=offscreen ctest -j2 -LE soak >/dev/null 2>&1) || echo "(some tests failed)"
    end=$(date +%s%N)
    report tests "$(seconds "$start" "$end")" "-"
fi
