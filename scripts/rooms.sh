#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Files and lines of each layer and room of the product, as a Markdown table.
#   rooms.sh           print the table
#   rooms.sh --update  write it into docs/architecture.md, between its two markers
#   rooms.sh --check   fail if that table is stale or a product source is over 500 lines
set -euo pipefail
cd "$(dirname "$0")/.."

limit=500
doc=docs/architecture.md
begin='<!-- rooms: begin (scripts/rooms.sh --update) -->'
end='<!-- rooms: end -->'

folders() {
    for layer in scan store report platform cli helper ui app; do
        [ -d "$layer" ] || continue
        echo "$layer"
        find "$layer" -mindepth 1 -type d | sort
    done
}

sources() {
    find "$1" -maxdepth 1 -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.in' \) | sort
}

table() {
    echo '| folder | files | lines | largest file (lines) |'
    echo '|---|---:|---:|---|'
    local folder files lines largest
    while read -r folder; do
        files=$(sources "$folder" | wc -l)
        [ "$files" -gt 0 ] || continue
        lines=$(sources "$folder" | xargs cat | wc -l)
        largest=$(sources "$folder" | xargs wc -l | grep -v ' total$' | sort -n | tail -1 |
            awk '{ n = split($2, part, "/"); printf "`%s` (%s)", part[n], $1 }')
        echo "| \`$folder/\` | $files | $lines | $largest |"
    done < <(folders)
}

oversized() {
    local folder
    while read -r folder; do
        sources "$folder"
    done < <(folders) | xargs wc -l | grep -v ' total$' | awk -v limit="$limit" '$1 > limit'
}

case "${1:-}" in
"") table ;;
--update)
    new=$(table)
    python3 - "$doc" "$begin" "$end" "$new" <<'PY'
import sys
path, begin, end, table = sys.argv[1:]
text = open(path, encoding="utf-8").read()
head, rest = text.split(begin, 1)
_, tail = rest.split(end, 1)
open(path, "w", encoding="utf-8").write(head + begin + "\n" + table + "\n" + end + tail)
PY
    ;;
--check)
    status=0
    if big=$(oversized) && [ -n "$big" ]; then
        echo "rooms.sh: product sources over $limit lines:" >&2
        echo "$big" >&2
        status=1
    fi
    current=$(awk -v b="$begin" -v e="$end" '$0 == e { f = 0 } f { print } $0 == b { f = 1 }' "$doc")
    if [ "$current" != "$(table)" ]; then
        echo "rooms.sh: the table in $doc is stale; run scripts/rooms.sh --update" >&2
        status=1
    fi
    exit "$status"
    ;;
*)
    echo "usage: rooms.sh [--update | --check]" >&2
    exit 2
    ;;
esac
