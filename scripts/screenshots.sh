#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Pictures of the window's menus and boxes under openbox in Xvfb, as a user sees them.
#
#   scripts/screenshots.sh UI_TESTS OUT_DIR [WIDTHxHEIGHT]
set -euo pipefail
tests=$1 out=$2 size=${3:-1280x1024}
mkdir -p "$out"
work=$(mktemp -d /tmp/talvik-shots.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"
openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
done
TALVIK_SCREENSHOT_DIR=$(cd "$out" && pwd) QT_QPA_PLATFORM=xcb "$tests" --gtest_filter='Screenshots.*'
