#!/usr/bin/env bash
# Builds the Debian package: installs what the build needs, configures a
# release build without the tests in build/package and runs cpack there.
# The package lands in build/package/gascal_<version>_<arch>.deb.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# cpack's Debian generator finds the library dependencies with dpkg-shlibdeps
# (dpkg-dev) and looks at the programs with file; lintian checks the package
# as Debian does, and mandoc the manual pages.
GASCAL_EXTRA_PACKAGES="dpkg-dev file lintian mandoc" "$top/scripts/setup.sh" build/package \
    -DCMAKE_BUILD_TYPE=Release -DGASCAL_TESTS=OFF -DGASCAL_BENCH=OFF
cd "$top/build/package"
cpack -G DEB
deb="$(ls -1 "$top"/build/package/gascal_*.deb | head -1)"
# An error of either check fails the script; lintian's warnings are shown.
lintian --fail-on error --tag-display-limit 0 "$deb"
mandoc -T lint -W warning "$top"/packaging/man/*.1
echo "$deb"
