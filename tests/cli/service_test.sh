#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The watch's systemd unit as the package ships it: systemd-analyze verify has nothing to say
# about it (pointed at the command this build made, since /usr/bin may hold none), and it keeps
# the privileges it promises.
set -eu
unit=$1
scan=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
grep -qx 'ExecStart=/usr/bin/talvik-scan --watch --remember --no-names --interface %I' "$unit"
sed "s|/usr/bin/talvik-scan|$scan|" "$unit" > "$dir/talvik-watch@eth0.service"
if ! systemd-analyze verify --man=no "$dir/talvik-watch@eth0.service" > "$dir/said" 2>&1 ||
   [ -s "$dir/said" ]; then
    cat "$dir/said"
    exit 1
fi
for line in DynamicUser=yes AmbientCapabilities=CAP_NET_RAW CapabilityBoundingSet=CAP_NET_RAW \
            NoNewPrivileges=yes 'StateDirectory=talvik-watch/%i' StandardOutput=journal; do
    grep -qx "$line" "$unit" || { echo "missing: $line"; exit 1; }
done
echo ok
