#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The bash completion of talvik-scan, run by bash itself on the words bash hands it: with "=" a
# word break (bash's default) "--format=c" comes as "--format" "=" "c".
#
#   completion_test.sh COMPLETION_FILE
set -uo pipefail
# shellcheck source=/dev/null
source "$1"
HOSTFILE=$(mktemp)
trap 'rm -f "$HOSTFILE"' EXIT
printf '203.0.113.5 cathost\n203.0.113.6 doghost\n' >"$HOSTFILE"
failed=0

# expect "WANTED REPLIES" WORD... : the last word is the one completed.
expect() {
    local wanted=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _talvik_scan talvik-scan "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
    if [[ $got != "$wanted" ]]; then
        echo "FAIL: ${COMP_WORDS[*]} -> '$got', wanted '$wanted'" >&2
        failed=1
    fi
}

expect "csv json jsonl text" talvik-scan --format =
expect "json jsonl" talvik-scan --format js
expect "" talvik-scan --rate ""
expect "--rate" talvik-scan --ra
expect "--interface" talvik-scan --inter
# The interfaces of this machine: loopback is always there.
expect "lo" talvik-scan --interface lo
expect "--interface=lo" talvik-scan --interface=lo
expect "csv" talvik-scan --format = c
expect "csv" talvik-scan --format c
expect "--format=csv" talvik-scan --format=c
expect "" talvik-scan --workers = ""
expect "" talvik-scan --every ""
expect "--watch" talvik-scan --wa
expect "--format" talvik-scan --fo
expect "cathost" talvik-scan ca
# After "--" every word is a target, also one that starts with a dash.
expect "" talvik-scan -- --fo
expect "cathost doghost" talvik-scan -- --format ""
expect "cathost" talvik-scan -- --format ca
expect "cathost doghost" talvik-scan 203.0.113.1 -- ""
exit $failed
