#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when a picture under res/ is stale against its SVG, when the resource file names a file
# that is not there, or when the desktop entry or the AppStream metadata does not validate.
set -euo pipefail
cd "$(dirname "$0")/.."

app_id=io.github.talvik.Talvik

echo "-- pictures against their sources"
res/render.sh --check

echo "-- resource file"
missing=0
while IFS= read -r file; do
    if [ ! -f "res/$file" ]; then
        echo "res/talvik.qrc names res/$file, which does not exist" >&2
        missing=1
    fi
done < <(sed -n 's|.*<file[^>]*>\([^<]*\)</file>.*|\1|p' res/talvik.qrc)
[ $missing -eq 0 ]

echo "-- desktop entry"
desktop-file-validate "res/$app_id.desktop"

echo "-- AppStream metadata"
# --no-net: the build machine must not go out to check the addresses in the file.
appstreamcli validate --no-net "res/$app_id.metainfo.xml"
