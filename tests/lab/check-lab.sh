#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks the lab itself with arping and arp-scan, so that a fault of the lab or of the responder
# is never taken for a fault of the scanner. Exit 77 (skipped) when not root, unless CI=true.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ "$(id -u)" -ne 0 ]; then
    [ "${CI:-}" != true ] || { echo "check-lab: the lab needs root under CI" >&2; exit 1; }
    echo "check-lab: not root, skipped"
    exit 77
fi

lab=tvk-l-c$(($$ % 10000000))
work=$(mktemp -d /tmp/tvk-l-check.XXXXXX)
responder_pid=
cleanup() {
    [ -z "$responder_pid" ] || { kill "$responder_pid" && wait "$responder_pid"; } 2>/dev/null
    "$here/lab.sh" down "$lab"
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
check() {
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what" >&2; failures=$((failures + 1)); fi
}

"$here/lab.sh" up "$lab"
eval "$("$here/lab.sh" info "$lab")"
cat >"$work/config.json" <<EOF
{"interface": "$LAB_SEGMENT_IF", "seed": 1, "hosts": [
  {"ip": "203.0.113.10", "mac": "02:1a:00:00:00:0a"},
  {"ip": "203.0.113.11", "mac": "02:1a:00:00:00:0b", "delay_ms": 150},
  {"ip": "203.0.113.12", "mac": "02:1a:00:00:00:0c", "reply_from": "203.0.113.19"},
  {"ip": "203.0.113.13", "mac": "02:1a:00:00:00:0d", "silent": true},
  {"ip": "203.0.113.14", "mac": "02:1a:00:00:00:0e", "duplicates": 2},
  {"ip": "203.0.113.15", "mac": "02:1a:00:00:00:0f", "request_loss": 1.0}
]}
EOF
"$here/lab.sh" seg "$lab" python3 "$here/arp_responder.py" --config "$work/config.json" \
    --count-file "$work/counts.json" --ready-file "$work/ready" --duration 60 &
responder_pid=$!
for _ in $(seq 100); do [ -s "$work/ready" ] && break; sleep 0.05; done
check "responder started" test -s "$work/ready"

arping() { "$here/lab.sh" scan "$lab" arping -c 1 -w 1 -I "$LAB_SCANNER_IF" "$@"; }
arping 203.0.113.10 >"$work/live" || true
check "a live host answers with its MAC" grep -qi '\[02:1a:00:00:00:0a\]' "$work/live"
start=$(date +%s%N)
arping 203.0.113.11 >"$work/late" || true
late_ms=$((($(date +%s%N) - start) / 1000000))
check "a late host answers" grep -qi '\[02:1a:00:00:00:0b\]' "$work/late"
check "the late host's answer takes its delay ($late_ms ms)" test "$late_ms" -ge 150
silent_rc=0
arping 203.0.113.13 >/dev/null || silent_rc=$?
check "a silent host does not answer" test "$silent_rc" -ne 0

"$here/lab.sh" scan "$lab" arp-scan -q -I "$LAB_SCANNER_IF" 203.0.113.1-203.0.113.20 >"$work/found"
lines() { grep -ciP "^$1\t${2:-}" "$work/found" || true; }
check "arp-scan finds the live host" test "$(lines '203\.0\.113\.10' 02:1a:00:00:00:0a)" -gt 0
check "arp-scan finds the late host" test "$(lines '203\.0\.113\.11' 02:1a:00:00:00:0b)" -gt 0
check "the duplicating host answers three times" \
    test "$(lines '203\.0\.113\.14' 02:1a:00:00:00:0e)" = 3
check "a host answering for another address shows as that address" \
    test "$(lines '203\.0\.113\.19' 02:1a:00:00:00:0c)" -gt 0
check "no answer in that host's own name, nor from silent and all-losing hosts" \
    test "$(lines '203\.0\.113\.1[235]')" = 0

kill "$responder_pid"
wait "$responder_pid" || true
responder_pid=
count() { python3 -c "import json,sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])" \
    "$work/counts.json" "$1"; }
check "the responder counted the requests" test "$(count arp_requests)" -gt 20
check "every request came from the scanner" \
    test "$(count requesters)" = "['$LAB_SCANNER_IP $LAB_SCANNER_MAC']"

[ "$failures" = 0 ] || { echo "check-lab: $failures check(s) failed" >&2; exit 1; }
echo "check-lab: the lab works"
