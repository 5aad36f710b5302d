#!/usr/bin/env bash
# Builds gascal with AddressSanitizer and UndefinedBehaviorSanitizer and runs
# the whole test suite headless.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$top/scripts/setup.sh" build/test -DGASCAL_SANITIZE=ON -DGASCAL_BENCH=OFF
export QT_QPA_PLATFORM=offscreen
cd "$top/build/test"
ctest --output-on-failure -j2 -LE soak "$@"
