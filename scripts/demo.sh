#!/usr/bin/env bash
# Headless demonstration of the tool's main job on the simulated car: the
# simulated ECU on a pseudo-terminal drives the load sweep on petrol and on
# gas by itself (gascal-ecusim --drive, about two and a half minutes, its
# progress shown as it goes); gascal-cli then reads the injection map over
# the real serial transport, fits the line model to the map's targets and
# writes the correction table, and reads back the model the ECU now holds.
# The simulator, which knows its injectors' hidden curve, tells how far the
# gas it gets is from what they need at the mapped petrol times, before and
# after the fit.
set -uo pipefail
bin="${1:?BIN folder of the installation tree}"
cli="$bin/gascal-cli"
ecusim="$bin/gascal-ecusim"
if [ ! -x "$cli" ] || [ ! -x "$ecusim" ]; then
    echo "gascal-cli or gascal-ecusim is not built; nothing to demonstrate." >&2
    exit 1
fi
work="$(mktemp -d)"
sim_pid=""
finish() {
    if [ -n "$sim_pid" ]; then
        kill -INT "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap finish EXIT

echo "Starting the simulated ECU on a pseudo-terminal; it drives the load sweep by itself."
"$ecusim" --drive >"$work/out" 2> >(tee "$work/err" >&2) &
sim_pid=$!
for _ in $(seq 50); do
    [ -s "$work/out" ] && break
    sleep 0.1
done
port="$(head -n 1 "$work/out")"
if [ -z "$port" ]; then
    echo "The simulated ECU did not start." >&2
    exit 1
fi

run() {
    echo
    echo "\$ gascal-cli --port $port $*"
    "$cli" --port "$port" "$@"
}
run identify

echo
echo "Waiting for the drive to end..."
until grep -q -e "after the drive" -e "drive: stopped" "$work/err"; do
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        echo "The simulated ECU stopped." >&2
        exit 1
    fi
    sleep 1
done

# The map's targets (the points themselves left out for brevity); messages
# and data in the order they come.
echo
echo "\$ gascal-cli --port $port map | grep -v -e '^mapped' -e '^selected'"
"$cli" --port "$port" map 2>&1 | grep -v -e '^mapped' -e '^selected'
run fit
rc=$?
# The simulator's word on the table just written.
for _ in $(seq 20); do
    grep -q "correction table written" "$work/err" && break
    sleep 0.5
done
run model
echo
if [ "$rc" -eq 0 ]; then
    echo "Demonstration finished: the model above was fitted to the map and written to the ECU."
else
    echo "Demonstration finished; the fit ended with exit code $rc."
fi
echo "Run 'gascal-cli --help' for everything the command-line tool can do."
