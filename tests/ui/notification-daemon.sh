#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The window's desktop notification against a real notification daemon: Debian's
# notification-daemon on a private session bus, in an Xvfb under openbox, with dbus-monitor
# recording the call as the daemon got it, checked against the service's published Notify.
#
#   notification-daemon.sh UI_TESTS
# Exits 77 (skipped) when a tool is missing, unless CI=true.
set -euo pipefail
tests=$1
daemon=/usr/lib/notification-daemon/notification-daemon
here=$(cd "$(dirname "$0")" && pwd)
if [ "${2:-}" != --inside ]; then
    for tool in Xvfb openbox dbus-daemon dbus-monitor dbus-send "$daemon"; do
        if ! command -v "$tool" >/dev/null; then
            echo "notification daemon: needs $tool" >&2
            [ "${CI:-}" = true ] && exit 1
            exit 77
        fi
    done
    exec "$here/../support/openbox-session.sh" 1024x768 "$0" "$tests" --inside
fi

work=$(mktemp -d /tmp/talvik-notify.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$work/address" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/address" ] && break; sleep 0.1; done
export DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/address")
dbus-monitor --session "interface='org.freedesktop.Notifications'" >"$work/monitor" 2>&1 &
pids+=($!)
NO_AT_BRIDGE=1 GTK_A11Y=none "$daemon" >"$work/daemon.log" 2>&1 &
pids+=($!)
owned() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Notifications 2>/dev/null |
        grep -q 'boolean true'
}
for _ in $(seq 100); do owned && break; sleep 0.1; done
if ! owned; then
    echo "notification daemon: it did not take its name" >&2
    cat "$work/daemon.log" >&2
    exit 1
fi
# The name the daemon gives itself, for the test to compare.
name=$(dbus-send --session --print-reply --dest=org.freedesktop.Notifications \
    /org/freedesktop/Notifications org.freedesktop.Notifications.GetServerInformation |
    sed -n 's/^ *string "\(.*\)"$/\1/p' | head -n1)
TALVIK_NOTIFICATION_DAEMON=$name QT_QPA_PLATFORM=offscreen \
    "$tests" --gtest_filter='DesktopNotificationsTest.*'
sleep 0.5
# Notify(app_name s, replaces_id u, app_icon s, summary s, body s, actions as, hints a{sv},
# expire_timeout i): the call's arguments in that order and of those types.
awk '
    /member=Notify$/ { on = 1; n = 0; next }
    on && /^(method|signal|method return|error) / { exit }
    on && /^   [a-z]/ { sub(/^ +/, ""); split($0, w, " "); types[++n] = w[1]; line[n] = $0 }
    END {
        want = "string uint32 string string string array array int32"
        got = ""
        for (i = 1; i <= n; i++) got = got (i > 1 ? " " : "") types[i]
        if (got != want) { print "Notify arguments: " got " (want " want ")"; exit 1 }
        if (line[1] != "string \"Talvik\"" || line[2] != "uint32 0" ||
            line[4] != "string \"发现新设备\"" || line[8] != "int32 0") {
            for (i = 1; i <= n; i++) print line[i]
            exit 1
        }
    }
' "$work/monitor" || { cat "$work/monitor" >&2; exit 1; }
grep -q 'string "203.0.113.5' "$work/monitor"
echo "notification daemon: Notify checked"
