#!/usr/bin/env bash
# Builds the Debian package: a release build installed under /usr, packed by CPack. The package
# gives talvik-arp cap_net_raw in its post-install step.
#
#   scripts/package.sh [BUILD_DIR]     (default build/package; the .deb is left there)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/package}

for tool in cmake ninja cpack dpkg-shlibdeps; do
    command -v "$tool" >/dev/null || {
        echo "package.sh: $tool is missing (run scripts/setup.sh as root)" >&2
        exit 1
    }
done

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTALVIK_BUILD_TESTS=OFF
cmake --build "$build" -j2
rm -f "$build"/talvik_*.deb
(cd "$build" && cpack -G DEB)
deb=$(ls "$build"/talvik_*.deb)
echo "package.sh: built $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends
