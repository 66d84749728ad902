#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Regenerates every PNG under res/ from its SVG source. Needs rsvg-convert (librsvg2-bin) and
# ImageMagick. With --check, renders into a scratch folder and fails if a committed PNG differs
# from its source (beyond anti-aliasing noise), so a stale picture cannot slip in.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
app_id=io.github.talvik.Talvik
toolbar=(scan-all scan-selected stop advanced exit about)

check=0
if [ "${1:-}" = "--check" ]; then
    check=1
fi

out=$here
if [ $check -eq 1 ]; then
    out=$(mktemp -d)
    trap 'rm -rf "$out"' EXIT
fi

render() { # svg size png
    mkdir -p "$(dirname "$3")"
    rsvg-convert -w "$2" -h "$2" "$1" -o "$3"
}

# Below 48 px the full icon turns to mush; those sizes have hand-tuned sources.
for n in 16 24 32 48 64 128 256; do
    case $n in
        16 | 24) src=$here/icons/talvik-16.svg ;;
        32) src=$here/icons/talvik-32.svg ;;
        *) src=$here/icons/talvik.svg ;;
    esac
    render "$src" "$n" "$out/icons/hicolor/${n}x${n}/apps/$app_id.png"
done
mkdir -p "$out/icons/hicolor/scalable/apps"
cp "$here/icons/talvik.svg" "$out/icons/hicolor/scalable/apps/$app_id.svg"

rsvg-convert -w 120 -h 400 "$here/banner.svg" -o "$out/banner.png"

# The @2x files are what QIcon picks on a high-density screen.
strip=()
for name in "${toolbar[@]}"; do
    render "$here/toolbar/$name.svg" 32 "$out/toolbar/$name.png"
    render "$here/toolbar/$name.svg" 64 "$out/toolbar/$name@2x.png"
    strip+=("$out/toolbar/$name.png")
done
convert -background none "${strip[@]}" +append -strip PNG32:"$out/toolbar.png"

render "$here/about.svg" 32 "$out/about-32.png"
render "$here/about.svg" 64 "$out/about-32@2x.png"
render "$here/about-16.svg" 16 "$out/about-16.png"
render "$here/about.svg" 32 "$out/about-16@2x.png"

if [ $check -eq 1 ]; then
    stale=0
    while IFS= read -r -d '' fresh; do
        rel=${fresh#"$out"/}
        if [ ! -f "$here/$rel" ]; then
            echo "missing: res/$rel" >&2
            stale=1
            continue
        fi
        case $rel in
            *.png)
                diff=$(compare -metric AE -fuzz 2% "$here/$rel" "$fresh" null: 2>&1 || true)
                if [ "$diff" != "0" ]; then
                    echo "stale: res/$rel ($diff pixels differ; run res/render.sh)" >&2
                    stale=1
                fi
                ;;
            *)
                cmp -s "$here/$rel" "$fresh" || {
                    echo "stale: res/$rel (run res/render.sh)" >&2
                    stale=1
                }
                ;;
        esac
    done < <(find "$out" -type f -print0)
    exit $stale
fi
