#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Host names from two real Avahi daemons in a lab of our own: one on the segment, as a host that
# announces itself (203.0.113.50, labprinter.local), and one beside the scanner on a private
# system bus, which the names test asks. The machine's own bus and interfaces are never touched.
# With a build or an installed tree, talvik-scan as installed is asked too, with Samba's nmbd
# on a third host (203.0.113.60, TALVIKNB) that only NetBIOS names.
#
#   avahi-lab.sh NAMES_TESTS [UI_TESTS] [--build BUILD_DIR | --installed PREFIX]
# Exits 77 (skipped) when it cannot run, unless CI=true.
set -euo pipefail
tests=$1 window= build= prefix=
shift
while [ $# -gt 0 ]; do
    case $1 in
    --build) build=$2; shift 2 ;;
    --installed) prefix=$2; shift 2 ;;
    *) window=$1; shift ;;
    esac
done
here=$(cd "$(dirname "$0")" && pwd)
lab=tvk-l-avahi

cannot() {
    echo "avahi lab: $*" >&2
    [ "${CI:-}" = true ] && exit 1
    exit 77
}
[ "$(id -u)" -eq 0 ] || cannot "needs root"
command_tools=
[ -z "$build$prefix" ] || command_tools="nmbd python3"
for tool in avahi-daemon dbus-daemon unshare ip $command_tools; do
    command -v "$tool" >/dev/null || cannot "needs $tool"
done

work=$(mktemp -d /tmp/talvik-avahi-lab.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    "$here/../lab/lab.sh" down "$lab"
    ip netns delete "${lab}n" 2>/dev/null || true
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

# talvik-scan as the package lays it out (BINDIR/talvik-scan, LIBDIR/talvik/talvik-scan-names.so):
# the name of the Avahi host, and the NetBIOS name of a host that announces none over mDNS.
if [ -n "$build$prefix" ]; then
    if [ -n "$build" ]; then
        prefix=$work/stage/usr
        cmake --install "$build" --prefix "$prefix" >"$work/install.log"
    fi
    # Samba's name server on a host of its own (a macvlan of the segment end), with every file
    # it keeps in the lab's folder.
    ip netns add "${lab}n"
    ip -n "${lab}g" link add "${lab}m" link "${lab}b" type macvlan mode bridge
    ip -n "${lab}g" link set "${lab}m" netns "${lab}n"
    ip netns exec "${lab}n" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv4.conf.all.arp_ignore=0
    ip -n "${lab}n" addr add 203.0.113.60/24 dev "${lab}m"
    ip -n "${lab}n" link set lo up
    ip -n "${lab}n" link set "${lab}m" up
    # The lab's scanner answers no ARP (only the responder may), so a host that answers it must
    # know the scanner's MAC, as it would on a real segment: otherwise nmbd's reply waits in the
    # kernel until the next scan's request teaches it.
    ip -n "${lab}n" neigh replace 203.0.113.1 lladdr 02:54:56:00:00:01 dev "${lab}m" nud permanent
    mkdir "$work/nmbd"
    printf '%s\n' "[global]" "netbios name = TALVIKNB" "workgroup = LAB" \
        "interfaces = ${lab}m" "bind interfaces only = yes" "disable netbios = no" \
        "lock directory = $work/nmbd" "state directory = $work/nmbd" \
        "cache directory = $work/nmbd" "pid directory = $work/nmbd" "private dir = $work/nmbd" \
        "ncalrpc dir = $work/nmbd" "log file = $work/nmbd.log" >"$work/smb.conf"
    ip netns exec "${lab}n" nmbd --foreground --no-process-group --configfile="$work/smb.conf" \
        >"$work/nmbd.out.log" 2>&1 &
    pids+=($!)
    scan() {
        "$here/../lab/lab.sh" scan "$lab" env DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/bus" \
            "$prefix/bin/talvik-scan" "$@"
    }
    # nmbd takes a moment before it answers; the command is asked until both names come.
    names=
    for _ in $(seq 15); do
        code=0
        scan --format json 203.0.113.50 203.0.113.60 >"$work/scan.json" 2>"$work/scan.err" || code=$?
        names=$(python3 -c 'import json, sys
print(" ".join(str(h["host_name"]) for h in json.load(open(sys.argv[1]))["hosts"]))' "$work/scan.json") || true
        [ "$code:$names" = "0:labprinter.local TALVIKNB" ] && break
        sleep 1
    done
    # Its catalogue is installed with it: Chinese under a Chinese locale.
    help=$(env -u LC_ALL -u LANGUAGE LANG=zh_CN.UTF-8 "$prefix/bin/talvik-scan" --help | head -n1)
    if [ "$help" != "用法：talvik-scan [选项]... 目标..." ]; then
        echo "FAILED: the installed talvik-scan's help under zh_CN.UTF-8: $help" >&2
        status=1
    fi
    if [ "$code:$names" = "0:labprinter.local TALVIKNB" ] && [ ! -s "$work/scan.err" ]; then
        echo "ok: the installed talvik-scan named both hosts"
    else
        echo "FAILED: the installed talvik-scan gave exit $code, names: $names" >&2
        cat "$work/scan.json" "$work/scan.err" >&2
        status=1
    fi
    # Every feature at once, as a user runs it: names from both daemons, memory in a store of
    # its own, and each format. The first run finds both hosts new, the second knows them.
    memory() {
        scan --remember --format "$1" 203.0.113.50 203.0.113.60 \
            >"$work/memory.$1.$2" 2>"$work/memory.$1.$2.err"
    }
    export XDG_DATA_HOME=$work/data
    memory json 1 && memory csv 2 && memory text 3 && memory json 4 || {
        echo "FAILED: the installed talvik-scan with memory and names" >&2
        cat "$work"/memory.* >&2
        status=1
    }
    if ! python3 - "$work" <<'PY'
import csv, json, sys
work = sys.argv[1]
first = json.load(open(f"{work}/memory.json.1"))["hosts"]
last = json.load(open(f"{work}/memory.json.4"))["hosts"]
rows = list(csv.DictReader(open(f"{work}/memory.csv.2", encoding="utf-8")))
text = open(f"{work}/memory.text.3", encoding="utf-8").read()
names = ["labprinter.local", "TALVIKNB"]
assert [h["host_name"] for h in first] == names, first
assert [h["new"] for h in first] == [True, True], first
assert [(h["host_name"], h["new"], h["first_seen"] is not None) for h in last] == \
    [(n, False, True) for n in names], last
assert [r["host_name"] for r in rows] == names, rows
assert all(n in text for n in names), text
PY
    then
        echo "FAILED: the installed talvik-scan's formats with memory and names" >&2
        status=1
    else
        echo "ok: the installed talvik-scan with names, memory and every format"
    fi
    unset XDG_DATA_HOME
fi
[ "$status" = 0 ] || cat "$work"/*.log >&2
exit "$status"
