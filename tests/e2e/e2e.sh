#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A newcomer's first scan, end to end: install the build into a staging prefix, check what the
# install put where (only the helper holds cap_net_raw), then, inside a network lab, start the
# installed program as an unprivileged user under its own X server and let drive.py use the
# window as a person would. Hosts are played by the lab's responder in 203.0.113.0/24.
#
#   e2e.sh BUILD_DIR [KEEP_DIR]
#   e2e.sh --installed PREFIX [KEEP_DIR]    (a tree installed already, e.g. the package in /usr)
#
# KEEP_DIR, when given, receives the screenshots and the saved report. Needs root; exit 77
# (skipped) without it or without the desktop tools, unless CI=true, where that is a failure.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
lab_dir=$(cd "$here/../lab" && pwd)
build= prefix=
if [ "${1:-}" = --installed ]; then
    prefix=${2:?e2e.sh --installed PREFIX}
    shift 2
else
    build=${1:?e2e.sh BUILD_DIR}
    shift
fi
keep=${1:-}

cannot_run() {
    if [ "${CI:-}" = true ]; then
        echo "e2e: cannot run under CI: $*" >&2
        exit 1
    fi
    echo "e2e: skipped: $*"
    exit 77
}

[ "$(id -u)" -eq 0 ] || cannot_run "needs root for the network lab"
for tool in Xvfb xdotool xauth mcookie xwd convert dbus-run-session dbus-monitor setpriv setcap \
    getcap ip /usr/lib/notification-daemon/notification-daemon; do
    command -v "$tool" >/dev/null || cannot_run "$tool is missing (scripts/setup.sh)"
done
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null || cannot_run "python3-pyatspi is missing"
if [ -n "$build" ]; then
    [ -x "$build/bin/talvik" ] || cannot_run "$build/bin/talvik is not built"
fi

lab=tvk-s-e$(($$ % 1000000))
work=$(mktemp -d /tmp/tvk-s-e2e.XXXXXX)
chmod 755 "$work"
responder_pid= announcer_pid=
failures=0

cleanup() {
    [ -n "$responder_pid" ] && kill "$responder_pid" 2>/dev/null && wait "$responder_pid" 2>/dev/null
    # Ended by a signal, it waits with that status: not the run's.
    if [ -n "$announcer_pid" ]; then
        kill "$announcer_pid" 2>/dev/null && wait "$announcer_pid" 2>/dev/null || true
    fi
    # Whatever the session left behind (the accessibility bus daemons detach themselves) lives
    # in the lab's namespaces and ends with them.
    local pid
    for pid in $(ip netns pids "${lab}s" 2>/dev/null) $(ip netns pids "${lab}g" 2>/dev/null); do
        kill "$pid" 2>/dev/null || true
    done
    "$lab_dir/lab.sh" down "$lab"
    rm -rf "$work"
}
trap cleanup EXIT

check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what" >&2
        failures=$((failures + 1))
    fi
}

# --- the installed tree ------------------------------------------------------------------

if [ -n "$build" ]; then
    prefix=$work/stage
    cmake --install "$build" --prefix "$prefix" >"$work/install.log"
    getcap -r "$prefix" >"$work/caps"
    check "nothing but the helper holds a capability" \
        test "$(cat "$work/caps")" = "$prefix/libexec/talvik/talvik-arp cap_net_raw=ep"
fi
app_id=io.github.talvik.Talvik
for file in bin/talvik bin/talvik-scan share/bash-completion/completions/talvik-scan \
    libexec/talvik/talvik-arp share/applications/$app_id.desktop \
    share/metainfo/$app_id.metainfo.xml share/icons/hicolor/scalable/apps/$app_id.svg \
    share/icons/hicolor/48x48/apps/$app_id.png share/doc/talvik/copyright; do
    check "installed $file" test -s "$prefix/$file"
done
# The package also carries what is built from the sources at package time.
if [ -z "$build" ]; then
    for file in share/doc/talvik/changelog.gz share/man/man1/talvik.1.gz \
        share/man/zh_CN/man1/talvik.1.gz share/man/man1/talvik-scan.1.gz \
        share/man/zh_CN/man1/talvik-scan.1.gz; do
        check "installed $file" test -s "$prefix/$file"
    done
    if command -v lexgrog >/dev/null; then
        check "the manual page names the program" \
            sh -c "lexgrog '$prefix/share/man/man1/talvik.1.gz' | grep -q 'talvik - '"
    fi
fi
check "the helper holds cap_net_raw" \
    test "$(getcap "$prefix/libexec/talvik/talvik-arp")" = \
    "$prefix/libexec/talvik/talvik-arp cap_net_raw=ep"
check "the program holds no capability" test -z "$(getcap "$prefix/bin/talvik")"
check "the command holds no capability" test -z "$(getcap "$prefix/bin/talvik-scan")"
# Nothing sent: a bad range is refused before the command looks at the network.
check "the command refuses more than 65,536 addresses with status 2" \
    sh -c "env -u DISPLAY -u WAYLAND_DISPLAY '$prefix/bin/talvik-scan' 198.18.0.0/15 2>/dev/null; test \$? -eq 2"
if command -v desktop-file-validate >/dev/null; then
    check "the desktop entry validates" \
        desktop-file-validate "$prefix/share/applications/$app_id.desktop"
fi

# --- the lab and its hosts -----------------------------------------------------------------

"$lab_dir/lab.sh" up "$lab"
eval "$("$lab_dir/lab.sh" info "$lab")"
# 203.0.113.10 carries a block of a real maker, so the window names it from the registry.
cat >"$work/hosts.json" <<EOF
{"interface": "$LAB_SEGMENT_IF", "seed": 7, "hosts": [
  {"ip": "203.0.113.10", "mac": "b8:27:eb:00:00:0a"},
  {"ip": "203.0.113.12", "mac": "02:1a:00:00:00:0c", "delay_ms": 150},
  {"ip": "203.0.113.15", "mac": "02:1a:00:00:00:0f", "silent": true},
  {"ip": "203.0.113.17", "mac": "02:1a:00:00:00:11", "duplicates": 2}
]}
EOF
# The scanner's own address answers with its own interface's MAC.
cat >"$work/expect" <<EOF
$LAB_SCANNER_IP ${LAB_SCANNER_MAC//:/-}
203.0.113.10 b8-27-eb-00-00-0a
203.0.113.12 02-1a-00-00-00-0c
203.0.113.17 02-1a-00-00-00-11
EOF
"$lab_dir/lab.sh" seg "$lab" python3 "$lab_dir/arp_responder.py" --config "$work/hosts.json" \
    --ready-file "$work/ready" --duration 300 &
responder_pid=$!
for _ in $(seq 100); do
    [ -s "$work/ready" ] && break
    sleep 0.05
done
[ -s "$work/ready" ] || { echo "e2e: the responder did not start" >&2; exit 1; }

# --- the newcomer's session ----------------------------------------------------------------

session=$work/session
mkdir -p "$session/report"
# Once the window keeps watch, a host the scans never saw announces itself on the segment.
"$lab_dir/lab.sh" seg "$lab" python3 - "$LAB_SEGMENT_IF" "$session/watching" <<'PY' &
import os, socket, struct, sys, time
iface, trigger = sys.argv[1:]
mac, address = bytes.fromhex("001b21000013"), socket.inet_aton("203.0.113.19")
frame = b"\xff" * 6 + mac + b"\x08\x06" + struct.pack("!HHBBH", 1, 0x0800, 6, 4, 1) + mac + \
    address + b"\x00" * 6 + address
while not os.path.exists(trigger):
    time.sleep(0.1)
wire = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
wire.bind((iface, 0))
for _ in range(40):
    wire.send(frame + b"\x00" * (60 - len(frame)))
    time.sleep(0.5)
PY
announcer_pid=$!
install -m 755 "$here/session.sh" "$here/drive.py" "$work/"
chown -R nobody:nogroup "$session"
status=0
"$lab_dir/lab.sh" scan "$lab" setpriv --reuid=nobody --regid=nogroup --clear-groups \
    "$work/session.sh" "$session" --app "$prefix/bin/talvik" --expect "$work/expect" \
    --first 203.0.113.1 --last 203.0.113.20 --expect-helper \
    --maker "203.0.113.10=Raspberry Pi Foundation" --watch 203.0.113.19 || status=$?
check "the newcomer's first scan and watch" test "$status" -eq 0
if [ "$status" -ne 0 ] && [ -s "$session/talvik.log" ]; then
    echo "--- talvik's output" >&2
    cat "$session/talvik.log" >&2
fi

if [ -n "$keep" ]; then
    rm -rf "$keep"
    mkdir -p "$keep"
    cp "$session"/*.png "$session"/*.log "$session"/report/* "$keep/" 2>/dev/null || true
fi

if [ "$failures" -gt 0 ]; then
    echo "e2e: $failures check(s) failed" >&2
    exit 1
fi
echo "e2e: a first scan works from the installed tree"
