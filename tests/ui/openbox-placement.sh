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
# Under AddressSanitizer the X11 platform's D-Bus library leaves a buffer of its own behind.
export LSAN_OPTIONS="suppressions=$(dirname "$0")/../support/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR="$scale" \
    "$(dirname "$0")/../support/openbox-session.sh" "$size" \
    "$tests" --gtest_filter=MainWindowTest.OpensIdleInRangeModeWithEmptyList
