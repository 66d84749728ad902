#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Pictures of the window's menus and boxes under openbox in Xvfb, as a user sees them.
#
#   scripts/screenshots.sh UI_TESTS OUT_DIR [WIDTHxHEIGHT]
set -euo pipefail
tests=$1 out=$2 size=${3:-1280x1024}
mkdir -p "$out"
TALVIK_SCREENSHOT_DIR=$(cd "$out" && pwd) QT_QPA_PLATFORM=xcb \
    "$(dirname "$0")/../tests/support/openbox-session.sh" "$size" \
    "$tests" --gtest_filter='Screenshots.*'
