#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Lists the tracked source files that lack the licence line, and fails if there are any.
exec "$(dirname "$0")/add-spdx.sh" --check
