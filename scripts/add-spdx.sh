#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Gives every tracked source file that lacks it the licence line, as its first line (after a
# shebang, and after a Python coding line that must stay within the first two). Running it again
# changes nothing.
#
#   scripts/add-spdx.sh            add the line where it is missing
#   scripts/add-spdx.sh --check    only list the files that lack it; fails if there are any
set -euo pipefail
cd "$(dirname "$0")/.."

licence=GPL-3.0-or-later
check=false
[ "${1:-}" = --check ] && check=true

# A file carries the line when one of its first three lines names its licence; a file that names
# another licence is left alone.
has_line() {
    head -n 3 -- "$1" | grep -q 'SPDX-License-Identifier:'
}

missing=0
while IFS= read -r -d '' file; do
    [ -f "$file" ] || continue
    has_line "$file" && continue
    if $check; then
        echo "$file"
        missing=$((missing + 1))
        continue
    fi
    case $file in
        *.c | *.cpp | *.h) line="// SPDX-License-Identifier: $licence" ;;
        *) line="# SPDX-License-Identifier: $licence" ;;
    esac
    after=0
    if [ "$(head -c 2 -- "$file")" = '#!' ]; then
        after=1
        sed -n 2p -- "$file" | grep -Eq '^#.*coding[:=]' && after=2
    fi
    {
        head -n "$after" -- "$file"
        printf '%s\n' "$line"
        tail -n +"$((after + 1))" -- "$file"
    } >"$file.spdx-new"
    chmod --reference="$file" "$file.spdx-new"
    mv -- "$file.spdx-new" "$file"
    echo "add-spdx: $file"
done < <(git ls-files -z -- '*.c' '*.cpp' '*.h' '*.sh' '*.py' '*CMakeLists.txt' '*.cmake')

if $check && [ "$missing" -gt 0 ]; then
    echo "check-spdx: $missing file(s) lack 'SPDX-License-Identifier: $licence' (fix: scripts/add-spdx.sh)" >&2
    exit 1
fi
