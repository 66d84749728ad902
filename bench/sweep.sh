#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Large runs beside arp-scan in the network lab (198.18.0.0/16 on one interface, a second
# interface beside it), scenario by scenario, one table with ratios from the same run. Run as
# root; every frame stays inside the lab's namespaces.
#
#   bench/sweep.sh [--only LIST] [--loss-runs N] [--build-dir DIR] [--no-build]
#
# --only: a comma-separated choice of s22, s16, loss20, sparse20, two22 and s24 (default: all);
# --loss-runs: seeds of each lossy /20 (default 3).
# Our side is talvik-sweep (the engine's sweep over the platform's wires, as root through the
# packet socket) and, for the /22 and the /16, the command talvik-scan as it ships; the /24 row
# is talvik-bench, the engine a run of one /24 keeps.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

only=s22,s16,loss20,sparse20,two22,s24
loss_runs=3
build_dir=$root/build/bench
build=1
while [ $# -gt 0 ]; do
    case $1 in
    --only) only=$2; shift 2 ;;
    --loss-runs) loss_runs=$2; shift 2 ;;
    --build-dir) build_dir=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    *) echo "usage: bench/sweep.sh [--only LIST] [--loss-runs N] [--build-dir DIR] [--no-build]" >&2
       exit 2 ;;
    esac
done
[ "$(id -u)" -eq 0 ] || { echo "bench/sweep.sh needs root (it builds a network lab)" >&2; exit 1; }
command -v arp-scan >/dev/null || { echo "bench/sweep.sh: arp-scan is missing (scripts/setup.sh)" >&2; exit 1; }
if [ "$build" = 1 ]; then
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTALVIK_BUILD_GUI=OFF -DTALVIK_BUILD_TESTS=OFF -DTALVIK_BUILD_BENCH=ON >/dev/null
    cmake --build "$build_dir" -j2 --target talvik-sweep talvik-bench talvik-arp talvik-scan >/dev/null
fi
sweep=$build_dir/bin/talvik-sweep
bench=$build_dir/bin/talvik-bench
scan_command=$build_dir/bin/talvik-scan
[ -x "$sweep" ] || { echo "bench/sweep.sh: $sweep was not built" >&2; exit 1; }

# shellcheck source=bench/lab-session.sh
. "$root/bench/lab-session.sh"
# TALVIK_LAB_PREFIX (tvk-l- and a few letters) keeps labs of parallel runs apart.
prefix=${TALVIK_LAB_PREFIX:-tvk-l-w}
lab_session "$prefix$(($$ % 10 ** (14 - ${#prefix})))" tvk-l-sweep --big --second
second_pid=

want() { [[ ,$only, == *,$1,* ]]; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
rows=()
row() { rows+=("| $1 | $2 | $3 | $4 | $5 |"); }
out=$work/out

# Each command is spawned and timed by the same reader (its start-up outside the figure), its
# output kept in $out, its wall time in ms in $work/elapsed.
timed() {  # [--jsonl] COMMAND...
    local jsonl=()
    [ "$1" = --jsonl ] && { jsonl=(--jsonl); shift; }
    python3 "$root/bench/stamp.py" "${jsonl[@]}" "$out" "$work/elapsed" -- "$@"
}

hosts() {  # CONFIG EXPECTED INTERFACE SEED BLOCK... OPTIONS
    python3 "$root/bench/sweep_hosts.py" "$@"
}

# The busiest second the link carried, from the responder's log of requests.
busiest() {
    python3 - "$1" <<'PY'
import json, sys
times = [t for t, _target, _unicast in json.load(open(sys.argv[1]))["request_log"]]
best, j = 0, 0
for i, t in enumerate(times):
    while t - times[j] >= 1000:
        j += 1
    best = max(best, i - j + 1)
print(best)
PY
}

# found ms_all ms_99 of the "found MS ADDRESS MAC" lines of $out against $1.
sweep_finds() {
    python3 - "$out" "$1" <<'PY'
import math, sys
expected = set(open(sys.argv[2]).read().split("\n")) - {""}
times = {}
for line in open(sys.argv[1]):
    parts = line.split()
    if parts[:1] == ["found"] and f"{parts[2]} {parts[3]}" in expected:
        times.setdefault(f"{parts[2]} {parts[3]}", int(parts[1]))
t = sorted(times.values())
need = math.ceil(0.99 * len(expected))
print(len(t), t[-1] if t else 0, t[need - 1] if len(t) >= need else -1)
PY
}
value() { awk -F= -v k="$1" '$1 == k { print $2 }' "$out"; }

start_second() {  # CONFIG
    rm -f "$work/ready2"
    "$lab_sh" seg "$lab" python3 "$root/tests/lab/arp_responder.py" --config "$1" \
        --ready-file "$work/ready2" --duration 900 &
    second_pid=$!
    for _ in $(seq 100); do [ -s "$work/ready2" ] && return 0; sleep 0.05; done
    exit 1
}
stop_second() { kill "$second_pid"; wait "$second_pid" || true; second_pid=; }
trap '[ -n "$second_pid" ] && kill "$second_pid" 2>/dev/null; lab_session_end' EXIT

# Runs talvik-sweep over LINK triples; sets t_ms, t_found, t_all, t_99, t_rss, t_threads, t_peak.
run_ours() {  # CONFIG EXPECTED LINK-ARGS...
    local config=$1 expected=$2
    shift 2
    responder_counts=$work/counts.json start_responder "$config" 900
    ip -n "$LAB_SCANNER_NS" neigh flush all
    timed "$lab_sh" scan "$lab" "$sweep" --sender packet "$@"
    stop_responder
    t_ms=$(cat "$work/elapsed")
    read -r t_found t_all t_99 <<<"$(sweep_finds "$expected")"
    t_rss=$(value maxrss_kb) t_threads=$(value threads_max)
    t_peak=$(busiest "$work/counts.json")
}

# Runs talvik-scan --format jsonl over TARGETS, each line stamped as it arrives; sets c_ms (to
# its exit), c_found, c_99 and c_rss (its peak, from time(1)).
run_scan() {  # CONFIG EXPECTED TARGET...
    local config=$1 expected=$2
    shift 2
    start_responder "$config" 900
    ip -n "$LAB_SCANNER_NS" neigh flush all
    timed --jsonl "$lab_sh" scan "$lab" /usr/bin/time -f %M -o "$work/rss" "$scan_command" \
        --format jsonl --no-names --no-memory "$@"
    stop_responder
    c_ms=$(cat "$work/elapsed")
    read -r c_found _ c_99 <<<"$(sweep_finds "$expected")"
    c_rss=$(cat "$work/rss")
}

run_peer() {  # CONFIG EXPECTED CIDR
    responder_counts=$work/counts.json start_responder "$1" 900
    ip -n "$LAB_SCANNER_NS" neigh flush all
    timed "$lab_sh" scan "$lab" arp-scan -q -I "$LAB_SCANNER_IF" "$3"
    stop_responder
    p_ms=$(cat "$work/elapsed")
    p_found=$(awk -F'\t' '$1 ~ /^[0-9.]+$/ { print $1, $2 }' "$out" | sort -u | grep -cxF -f "$2" || true)
    p_peak=$(busiest "$work/counts.json")
}

if want s22; then
    echo "== /22, 120 live, 10 of them 300 ms late" >&2
    hosts "$work/s22.json" "$work/s22.exp" "$LAB_SEGMENT_IF" 22 198.18.4 198.18.5 198.18.6 198.18.7 --live 120 --late 10
    run_peer "$work/s22.json" "$work/s22.exp" 198.18.4.0/22
    run_ours "$work/s22.json" "$work/s22.exp" --link "$LAB_SCANNER_IF" 198.18.4.1 198.18.7.254
    row "/22, 1,022 addresses, 120 live of which 10 answer 300 ms late" \
        "$t_found/120 in $t_ms ms, busiest second $t_peak frames" \
        "$p_found/120 in $p_ms ms, busiest second $p_peak" "$(ratio "$t_ms" "$p_ms")" \
        "all found, <= 0.6"
    if [ -x "$scan_command" ]; then
        run_scan "$work/s22.json" "$work/s22.exp" 198.18.4.0/22
        row "the same, talvik-scan --format jsonl (names and memory off)" \
            "$c_found/120 in $c_ms ms; $c_rss kB peak" "$p_found/120 in $p_ms ms" \
            "$(ratio "$c_ms" "$p_ms")" "all found, <= 0.6"
    fi
fi

if want s16; then
    echo "== /16, 600 live in 12 /24s, 30 of them late (some minutes)" >&2
    blocks=$(python3 -c 'import random; r = random.Random(16); print(" ".join(f"198.18.{b}" for b in sorted(r.sample(range(256), 12))))')
    # shellcheck disable=SC2086
    hosts "$work/s16.json" "$work/s16.exp" "$LAB_SEGMENT_IF" 16 $blocks --live 600 --late 30
    run_peer "$work/s16.json" "$work/s16.exp" 198.18.0.0/16
    run_ours "$work/s16.json" "$work/s16.exp" --link "$LAB_SCANNER_IF" 198.18.0.1 198.18.255.254
    row "/16, 65,534 addresses, 600 live in 12 of 256 /24s, 30 of them 300 ms late" \
        "$t_found/600 in $t_ms ms, 99 % by $t_99 ms; busiest second $t_peak frames; $t_rss kB peak" \
        "$p_found/600 in $p_ms ms, busiest second $p_peak" \
        "time $(ratio "$t_ms" "$p_ms"), 99 % at $(ratio "$t_99" "$p_ms")" \
        "all found, <= 0.55, 99 % <= 0.35, <= 500/s, < 65536 kB"
    if [ -x "$scan_command" ]; then
        run_scan "$work/s16.json" "$work/s16.exp" 198.18.0.0/16
        row "the same, talvik-scan --format jsonl (names and memory off)" \
            "$c_found/600 in $c_ms ms, 99 % printed by $c_99 ms; $c_rss kB peak" \
            "$p_found/600 in $p_ms ms" "time $(ratio "$c_ms" "$p_ms"), 99 % at $(ratio "$c_99" "$p_ms")" \
            "all found, <= 0.55, 99 % <= 0.35, < 65536 kB"
    fi
fi

if want loss20; then
    echo "== /20, 180 live in 6 /24s, 10 % loss each way, $loss_runs seeds" >&2
    st=0 sp=0 tt=0 tp=0
    for seed in $(seq "$loss_runs"); do
        hosts "$work/l20.json" "$work/l20.exp" "$LAB_SEGMENT_IF" "$seed" 198.18.17 198.18.19 \
            198.18.20 198.18.24 198.18.25 198.18.30 --live 180 --loss 0.1
        run_peer "$work/l20.json" "$work/l20.exp" 198.18.16.0/20
        run_ours "$work/l20.json" "$work/l20.exp" --link "$LAB_SCANNER_IF" 198.18.16.1 198.18.31.254
        echo "   seed $seed: talvik $t_found in $t_ms ms, arp-scan $p_found in $p_ms ms" >&2
        st=$((st + t_found)) sp=$((sp + p_found)) tt=$((tt + t_ms)) tp=$((tp + p_ms))
    done
    avg() { awk -v s="$1" -v n="$loss_runs" 'BEGIN { printf "%.1f", s / n }'; }
    row "/20, 180 live in 6 /24s, 10 % loss each way (mean of $loss_runs seeds)" \
        "$(avg "$st")/180 in $(avg "$tt") ms" "$(avg "$sp")/180 in $(avg "$tp") ms" \
        "found $(ratio "$st" "$sp"), time $(ratio "$tt" "$tp")" ">= 1.00 found, <= 1.00 time"
fi

if want sparse20; then
    echo "== /20, a lone host in each of its 16 /24s, 10 % loss each way, $loss_runs seeds" >&2
    st=0 sp=0 tt=0 tp=0
    # shellcheck disable=SC2046
    for seed in $(seq "$loss_runs"); do
        hosts "$work/p20.json" "$work/p20.exp" "$LAB_SEGMENT_IF" "$((seed + 100))" \
            $(printf '198.18.%d ' $(seq 16 31)) --live 16 --loss 0.1
        run_peer "$work/p20.json" "$work/p20.exp" 198.18.16.0/20
        run_ours "$work/p20.json" "$work/p20.exp" --link "$LAB_SCANNER_IF" 198.18.16.1 198.18.31.254
        echo "   seed $seed: talvik $t_found in $t_ms ms, arp-scan $p_found in $p_ms ms" >&2
        st=$((st + t_found)) sp=$((sp + p_found)) tt=$((tt + t_ms)) tp=$((tp + p_ms))
    done
    avg() { awk -v s="$1" -v n="$loss_runs" 'BEGIN { printf "%.1f", s / n }'; }
    row "/20, 16 live, each alone in its /24, 10 % loss each way (mean of $loss_runs seeds)" \
        "$(avg "$st")/16 in $(avg "$tt") ms" "$(avg "$sp")/16 in $(avg "$tp") ms" \
        "found $(ratio "$st" "$sp"), time $(ratio "$tt" "$tp")" ">= 1.00 found, <= 1.00 time"
fi

if want two22; then
    echo "== two interfaces, a /22 each" >&2
    hosts "$work/a22.json" "$work/a22.exp" "$LAB_SEGMENT_IF" 41 198.18.4 198.18.5 198.18.6 198.18.7 --live 120 --late 10
    hosts "$work/c22.json" "$work/c22.exp" "$LAB_SECOND_SEGMENT_IF" 42 198.19.12 198.19.13 198.19.14 198.19.15 --live 120 --late 10
    cat "$work/a22.exp" "$work/c22.exp" >"$work/ac22.exp"
    start_second "$work/c22.json"
    run_ours "$work/a22.json" "$work/a22.exp" --link "$LAB_SCANNER_IF" 198.18.4.1 198.18.7.254
    one_a=$t_ms
    run_ours "$work/a22.json" "$work/c22.exp" --link "$LAB_SECOND_IF" 198.19.12.1 198.19.15.254
    one_c=$t_ms
    run_ours "$work/a22.json" "$work/ac22.exp" --link "$LAB_SCANNER_IF" 198.18.4.1 198.18.7.254 \
        --link "$LAB_SECOND_IF" 198.19.12.1 198.19.15.254
    stop_second
    longer=$((one_a > one_c ? one_a : one_c))
    row "two interfaces, a /22 each, 120 live on each" \
        "$t_found/240 in $t_ms ms (alone: $one_a and $one_c ms), $t_threads threads" "-" \
        "$(ratio "$t_ms" "$longer") x the longer alone" "all found, <= 1.1"
fi

if want s24 && [ -x "$bench" ]; then
    echo "== one /24, 20 live (the engine of small runs, unchanged)" >&2
    hosts "$work/s24.json" "$work/s24.exp" "$LAB_SEGMENT_IF" 24 203.0.113 --live 20
    sed -i '/ 203\.0\.113\.1 /d' "$work/s24.exp"
    python3 - "$work/s24.json" <<'PY'
import json, sys
c = json.load(open(sys.argv[1]))
c["hosts"] = [h for h in c["hosts"] if h["ip"] != "203.0.113.1"]
json.dump(c, open(sys.argv[1], "w"))
PY
    live24=$(wc -l <"$work/s24.exp")
    run_peer "$work/s24.json" "$work/s24.exp" 203.0.113.0/24
    start_responder "$work/s24.json"
    timed "$lab_sh" scan "$lab" "$bench" --first 203.0.113.1 --last 203.0.113.254 --sender packet --rows
    stop_responder
    ms24=$(cat "$work/elapsed")
    found24=$(awk '$1 == "row" && $3 == "running" { print $2, $4 }' "$out" | tr 'A-F-' 'a-f:' |
        sort -u | grep -cxF -f "$work/s24.exp" || true)
    row "one /24, $live24 live (talvik-bench)" "$found24/$live24 in $ms24 ms" \
        "$p_found/$live24 in $p_ms ms" "$(ratio "$ms24" "$p_ms")" "as before (0.3 to 0.6)"
fi

printf '\nprocess wall times, one run each; rates at their defaults (talvik 500 frames/s, arp-scan 2 ms a frame)\n\n'
echo "| scenario | talvik | arp-scan | ratio | target |"
echo "|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
