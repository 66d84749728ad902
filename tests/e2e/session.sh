#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A desktop session of its own for the end-to-end run: an X server on a free display,
# a session bus with the accessibility bus behind it, then the driver. Runs inside the lab's
# scanner namespace as the unprivileged user that plays the newcomer.
#
#   session.sh WORK DRIVER-ARGS...
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$1
shift

export HOME=$work/home XDG_RUNTIME_DIR=$work/run XAUTHORITY=$work/xauthority
mkdir -p -m 700 "$HOME" "$XDG_RUNTIME_DIR"

# One cookie for whatever display the server gets.
: >"$XAUTHORITY"
printf 'ffff 0000  0000  0012 4d49542d4d414749432d434f4f4b49452d31 0010 %s\n' "$(mcookie)" |
    xauth -q nmerge -

xvfb_pid=
cleanup() {
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    return 0
}
trap cleanup EXIT

# A display well away from the low numbers that other sessions on the machine tend to take.
display=
for n in $(seq $((200 + $$ % 500)) $((260 + $$ % 500))); do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -auth "$XAUTHORITY" >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do
        # The server has the display once its lock names it and it takes a client (a socket
        # file alone may be left over from an earlier server).
        if [ "$({ tr -d ' ' <"/tmp/.X$n-lock"; } 2>/dev/null)" = "$xvfb_pid" ] &&
            DISPLAY=:$n xdotool getdisplaygeometry >/dev/null 2>&1; then
            display=$n
            break 2
        fi
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.05
    done
    { kill "$xvfb_pid" && wait "$xvfb_pid"; } 2>/dev/null || true
    xvfb_pid=
done
[ -n "$display" ] || { echo "e2e: the X server did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=:$display

# The accessibility bus is started on demand by the session bus and lives in this namespace.
dbus-run-session -- /usr/bin/python3 "$here/drive.py" --work "$work" "$@"
