#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The window's placement under a real window manager: openbox in an Xvfb of the given size, the
# window test run there through xcb, so the frame openbox draws is the one placed.
#
#   openbox-placement.sh UI_TESTS WIDTHxHEIGHT SCALE
# Exits 77 (skipped) when Xvfb or openbox is missing, unless CI=true.
set -euo pipefail
tests=$1 size=$2 scale=$3
for tool in Xvfb openbox; do
    if ! command -v "$tool" >/dev/null; then
        echo "openbox placement: needs $tool" >&2
        [ "${CI:-}" = true ] && exit 1
        exit 77
    fi
done
work=$(mktemp -d /tmp/talvik-openbox.XXXXXX)
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
# openbox owns the window-manager selection once it manages the screen.
for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
done
QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR="$scale" \
    "$tests" --gtest_filter=MainWindowTest.OpensIdleInRangeModeWithEmptyList
