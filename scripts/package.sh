#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package: a release build with Debian's hardening flags installed under /usr,
# with its manual pages, changelog and copyright, stripped and packed by CPack. The package gives
# talvik-arp cap_net_raw in its post-install step.
#
#   scripts/package.sh [BUILD_DIR]     (default build/package; the .deb is left there)
#
# TALVIK_WERROR=ON makes compiler warnings fail the build (the test run sets it).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/package}

for tool in cmake ninja cpack dpkg-shlibdeps dpkg-buildflags scdoc; do
    command -v "$tool" >/dev/null || {
        echo "package.sh: $tool is missing (run scripts/setup.sh as root)" >&2
        exit 1
    }
done

# Debian's hardening flags, as its own packages are built with: the helper holds cap_net_raw.
# The preprocessor's go with the compiler's, since CMake does not read CPPFLAGS. Given on the
# command line rather than in the environment so that they also reach an existing build dir.
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTALVIK_BUILD_TESTS=OFF "-DTALVIK_WERROR=${TALVIK_WERROR:-OFF}" \
    "-DCMAKE_CXX_FLAGS=$(flags CPPFLAGS) $(flags CXXFLAGS)" \
    "-DCMAKE_C_FLAGS=$(flags CPPFLAGS) $(flags CFLAGS)" \
    "-DCMAKE_EXE_LINKER_FLAGS=$(flags LDFLAGS)"
cmake --build "$build" -j2
rm -f "$build"/talvik_*.deb
(cd "$build" && cpack -G DEB)
deb=$(ls "$build"/talvik_*.deb)
echo "package.sh: built $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends
