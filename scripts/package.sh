#!/usr/bin/env bash
# Builds the Debian package: installs what the build needs, configures a
# release build without the tests in build/package and runs cpack there.
# The package lands in build/package/gascal_<version>_<arch>.deb.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# cpack's Debian generator finds the library dependencies with dpkg-shlibdeps
# (dpkg-dev) and looks at the programs with file.
GASCAL_EXTRA_PACKAGES="dpkg-dev file" "$top/scripts/setup.sh" build/package -DCMAKE_BUILD_TYPE=Release -DGASCAL_TESTS=OFF
cd "$top/build/package"
cpack -G DEB
ls -1 "$top"/build/package/gascal_*.deb
