#!/usr/bin/env bash
# Headless demonstration: the command-line tool talks to the built-in
# simulated ECU, identifies it, reads live values, settings and the error list.
set -uo pipefail
bin="${1:?BIN folder of the installation tree}"
cli="$bin/gascal-cli"
if [ ! -x "$cli" ]; then
    echo "gascal-cli is not built; nothing to demonstrate." >&2
    exit 1
fi
run() {
    echo
    echo "\$ gascal-cli --sim $*"
    "$cli" --sim "$@"
}
run identify
run live --count 5
run get SwitchRpm SwitchTempRaw SwitchDelay NumCylinders
run read-table | head -n 20
run errors
echo
echo "Demonstration finished. Run 'gascal-cli --help' for everything it can do."
