#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what Talvik needs to build, run and test on Debian 12. Run as root.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git
    qt6-base-dev qt6-base-dev-tools qt6-translations-l10n libqt6svg6
    libgtest-dev libgmock-dev googletest
    clang clang-format libclang-rt-14-dev
    libcap-dev libcap2-bin
    fonts-arphic-uming fonts-noto-cjk
    xvfb openbox xauth x11-apps imagemagick librsvg2-bin desktop-file-utils appstream
    iproute2 iputils-arping arp-scan nmap tcpdump python3 strace util-linux
    xdotool python3-pyatspi at-spi2-core dbus x11-utils openbox avahi-daemon avahi-utils
    notification-daemon
    ieee-data scdoc lintian time
    libsqlite3-dev sqlite3 samba
    gettext locales systemd
)

if [ "$(id -u)" -ne 0 ]; then
    echo "setup.sh installs packages and must run as root (try: sudo $0)" >&2
    exit 1
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# talvik-scan speaks Chinese under a zh_* locale; its tests read it under zh_CN.UTF-8.
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf-\?8'; then
    sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >>/etc/locale.gen
    locale-gen >/dev/null
fi
