#!/usr/bin/env bash
# Installs what gascal needs to build, test and run on Debian 12, then
# configures and builds one build folder. Safe to run again: packages that are
# present are not touched, and the build only redoes what changed.
#
#   scripts/setup.sh <build-dir> [cmake options...]
set -euo pipefail

PACKAGES=(g++ make cmake ninja-build pkg-config ccache mold git clang-format-14
          qt6-base-dev qt6-serialport-dev libqt6serialport6 libgl-dev
          libftdi1-dev libgtest-dev libgmock-dev googletest
          xvfb xauth)
# More packages for one purpose (scripts/package.sh adds what cpack needs).
read -r -a extra <<< "${GASCAL_EXTRA_PACKAGES:-}"
PACKAGES+=("${extra[@]}")

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    $SUDO apt-get update -q
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:?build folder}"
shift
case "$build" in /*) ;; *) build="$top/$build" ;; esac
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
fi
# GASCAL_NINJA_TARGETS names the targets to build (default: all).
read -r -a targets <<< "${GASCAL_NINJA_TARGETS:-}"
ninja -C "$build" -j"$(nproc)" "${targets[@]}"
