#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Host names from two real Avahi daemons in a lab of our own: one on the segment, as a host that
# announces itself (203.0.113.50, labprinter.local), and one beside the scanner on a private
# system bus, which the names test asks. The machine's own bus and interfaces are never touched.
#
#   avahi-lab.sh NAMES_TESTS [UI_TESTS]
# Exits 77 (skipped) when it cannot run, unless CI=true.
set -euo pipefail
tests=$1 window=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
lab=tvk-l-avahi

cannot() {
    echo "avahi lab: $*" >&2
    [ "${CI:-}" = true ] && exit 1
    exit 77
}
[ "$(id -u)" -eq 0 ] || cannot "needs root"
for tool in avahi-daemon dbus-daemon unshare ip; do
    command -v "$tool" >/dev/null || cannot "needs $tool"
done

work=$(mktemp -d /tmp/talvik-avahi-lab.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    "$here/../lab/lab.sh" down "$lab"
    rm -rf "$work"
}
trap cleanup EXIT
"$here/../lab/lab.sh" up "$lab"
# The segment end becomes a host of its own, which the kernel answers ARP for.
ip -n "${lab}g" addr add 203.0.113.50/24 dev "${lab}b"
ip netns exec "${lab}g" sysctl -qw net.ipv4.conf.all.arp_ignore=0 "net.ipv4.conf.${lab}b.arp_ignore=0"

cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
daemon_conf() {  # HOST-NAME INTERFACE DBUS
    printf '%s\n' "[server]" "host-name=$1" "domain-name=local" "use-ipv4=yes" "use-ipv6=no" \
        "allow-interfaces=$2" "enable-dbus=$3" "[wide-area]" "enable-wide-area=no" \
        "[publish]" "publish-addresses=yes" "publish-hinfo=no" "publish-workstation=no"
}
daemon_conf labprinter "${lab}b" no >"$work/segment.conf"
daemon_conf labscanner "${lab}a" yes >"$work/scanner.conf"

dbus-daemon --config-file="$work/bus.conf" --nofork 2>"$work/bus.log" &
pids+=($!)
# Each daemon keeps its pid file and socket in a /run/avahi-daemon of its own mount namespace.
start_daemon() {  # NAMESPACE CONF LOG
    ip netns exec "$1" unshare -m sh -c 'mkdir -p /run/avahi-daemon &&
        mount -t tmpfs tmpfs /run/avahi-daemon &&
        exec avahi-daemon -f "$0" --no-drop-root --no-chroot --no-rlimits' "$2" >"$3" 2>&1 &
    pids+=($!)
}
for _ in $(seq 50); do [ -S "$work/bus" ] && break; sleep 0.1; done
start_daemon "${lab}g" "$work/segment.conf" "$work/segment.log"
DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/bus" start_daemon "${lab}s" "$work/scanner.conf" "$work/scanner.log"
for _ in $(seq 100); do
    grep -q "Server startup complete" "$work/segment.log" "$work/scanner.log" 2>/dev/null &&
        [ "$(grep -l "Server startup complete" "$work/segment.log" "$work/scanner.log" | wc -l)" = 2 ] && break
    sleep 0.1
done
[ "$(grep -l "Server startup complete" "$work/segment.log" "$work/scanner.log" | wc -l)" = 2 ] || {
    cat "$work"/*.log >&2
    echo "avahi lab: the daemons did not start" >&2
    exit 1
}

# In the scanner namespace, so the resolver asked first sees only the lab's hosts file.
status=0
TALVIK_AVAHI_LAB_BUS="unix:path=$work/bus" "$here/../lab/lab.sh" scan "$lab" \
    "$tests" --gtest_filter='AvahiLab*' || status=$?
# The window asks the same way and shows the name in the row's tooltip.
if [ -n "$window" ]; then
    TALVIK_AVAHI_LAB_BUS="unix:path=$work/bus" QT_QPA_PLATFORM=offscreen \
        "$here/../lab/lab.sh" scan "$lab" "$window" --gtest_filter='AvahiLab*' || status=$?
fi
[ "$status" = 0 ] || cat "$work"/*.log >&2
exit "$status"
