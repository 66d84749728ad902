#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# How long talvik-scan takes from its start to its first ARP request on the wire, without a
# display: the time before exec against the first request tcpdump sees in the lab's segment.
# Run as root; everything stays inside the lab's namespaces.
#
#   bench/cli-startup.sh TALVIK_SCAN [RUNS]   (talvik-arp beside it serves the nobody runs)
set -euo pipefail
cd "$(dirname "$0")/.."
scan=$(realpath "$1")
runs=${2:-5}
[ "$(id -u)" -eq 0 ] || { echo "bench/cli-startup.sh needs root (it builds a network lab)" >&2; exit 1; }
lab=tvk-l-su$$
work=$(mktemp -d)
chmod 755 "$work"
cleanup() {
    tests/lab/lab.sh down "$lab"
    rm -rf "$work"
}
trap cleanup EXIT
tests/lab/lab.sh up "$lab"
install -m 755 "$scan" "$work/talvik-scan"
if [ -x "$(dirname "$scan")/talvik-arp" ]; then
    install -m 755 "$(dirname "$scan")/talvik-arp" "$work/talvik-arp"
    setcap cap_net_raw+ep "$work/talvik-arp"
fi

one() {
    local as=("$@") pcap=$work/arp.pcap start first
    tests/lab/lab.sh seg "$lab" tcpdump -i "${lab}b" -n -tt -c 1 -l arp >"$work/first" 2>/dev/null &
    local dump=$!
    sleep 0.5
    start=$(tests/lab/lab.sh scan "$lab" env -u DISPLAY -u WAYLAND_DISPLAY "${as[@]}" sh -c \
        'date +%s.%N >&2; exec "$0" --no-names --no-memory --format csv 203.0.113.2' \
        "$work/talvik-scan" 2>&1 >/dev/null | head -1)
    wait "$dump" || true
    first=$(awk '{ print $1; exit }' "$work/first")
    awk -v a="$start" -v b="$first" 'BEGIN { printf "%.1f\n", (b - a) * 1000 }'
}

for who in root nobody; do
    as=()
    [ "$who" = nobody ] && as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    times=()
    for _ in $(seq "$runs"); do times+=("$(one "${as[@]}")"); done
    printf '%s: start to first request, ms: %s (median %s)\n' "$who" "${times[*]}" \
        "$(printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')"
done
