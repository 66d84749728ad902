#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds talvik-bench and talvik-scan and measures them beside arp-scan and nmap (-sn -PR) in the network lab,
# scenario by scenario, and prints one table with ratios from the same run. Run as root; every
# frame stays inside the lab's namespaces.
#
#   bench/run.sh [--runs N] [--loss-runs N] [--dozing-runs N] [--build-dir DIR] [--no-build] [--peers-only]
#                [--schedule 0,75,150/300] [--neighbour-give-up-ms N] [--only LIST] [--keep DIR]
#
# --runs: repetitions of the timed scenarios (the median is shown, default 3);
# --loss-runs: runs of the loss scenario, each with its own seed (default 5);
# --dozing-runs: runs of the dozing scenario, each with its own phases (default 5);
# --peers-only: measure arp-scan and nmap alone (nothing of ours is built or run);
# --schedule, --neighbour-give-up-ms: try other sender timings than the built-in ones;
# --only: a comma-separated choice of the scenarios live, late, late800, loss, dozing, fallback,
#   fallback-loss, remember and cli (talvik-scan beside talvik-bench and arp-scan; the
#   default: all);
# --keep: copy each dozing run's configuration, outputs and responder logs into DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

runs=3
loss_runs=5
dozing_runs=5
build_dir=$root/build/bench
build=1
peers_only=0
talvik_args=()
only=live,late,late800,loss,dozing,fallback,fallback-loss,remember,cli
keep=
while [ $# -gt 0 ]; do
    case $1 in
    --runs) runs=$2; shift 2 ;;
    --loss-runs) loss_runs=$2; shift 2 ;;
    --dozing-runs) dozing_runs=$2; shift 2 ;;
    --build-dir) build_dir=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    --peers-only) peers_only=1; build=0; shift ;;
    --schedule) talvik_args+=(--schedule "$2"); shift 2 ;;
    --neighbour-give-up-ms) talvik_args+=(--neighbour-give-up-ms "$2"); shift 2 ;;
    --only) only=$2; shift 2 ;;
    --keep) keep=$2; mkdir -p "$keep"; shift 2 ;;
    *) echo "usage: bench/run.sh [--runs N] [--loss-runs N] [--build-dir DIR] [--no-build]" \
           "[--peers-only] [--schedule S] [--neighbour-give-up-ms N] [--only LIST] [--keep DIR]" >&2
       exit 2 ;;
    esac
done

[ "$(id -u)" -eq 0 ] || { echo "bench/run.sh needs root (it builds a network lab)" >&2; exit 1; }
for tool in arp-scan nmap python3 setpriv setcap; do
    command -v "$tool" >/dev/null || { echo "bench/run.sh: $tool is missing (scripts/setup.sh)" >&2; exit 1; }
done

if [ "$build" = 1 ]; then
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTALVIK_BUILD_GUI=OFF -DTALVIK_BUILD_TESTS=OFF -DTALVIK_BUILD_BENCH=ON >/dev/null
    cmake --build "$build_dir" -j2 --target talvik-bench talvik-arp talvik-scan >/dev/null
fi
bench=$build_dir/bin/talvik-bench
helper=$build_dir/bin/talvik-arp
scan_command=$build_dir/bin/talvik-scan
if [ "$peers_only" = 0 ] && [ ! -x "$bench" ]; then
    echo "bench/run.sh: $bench was not built" >&2
    exit 1
fi

# shellcheck source=bench/lab-session.sh
. "$root/bench/lab-session.sh"
lab_session "tvk-l-b$$" tvk-l-bench
range_first=${LAB_SUBNET}.1
range_last=${LAB_SUBNET}.254

# The unprivileged runs need to reach the programs as nobody; a copy outside the work tree
# keeps the tree's permissions as they are.
[ -x "$bench" ] && install -m 755 "$bench" "$work/talvik-bench"
[ -x "$scan_command" ] && install -m 755 "$scan_command" "$work/talvik-scan"
if [ -x "$helper" ]; then
    install -m 755 "$helper" "$work/talvik-arp"
    setcap cap_net_raw+ep "$work/talvik-arp"
fi

# --- responder ---------------------------------------------------------------------------

# Writes a responder configuration: hosts given as "last-octet:delay_ms" words, with the given
# loss each way and seed.
write_config() {
    local file=$1 loss=$2 seed=$3
    shift 3
    {
        printf '{"interface": "%s", "seed": %s, "hosts": [' "$LAB_SEGMENT_IF" "$seed"
        local sep=""
        for word in "$@"; do
            local octet=${word%%:*} delay=${word#*:}
            printf '%s{"ip": "%s.%s", "mac": "02:1a:%02x:00:00:%02x", "delay_ms": %s, ' \
                "$sep" "$LAB_SUBNET" "$octet" "$octet" "$octet" "$delay"
            printf '"request_loss": %s, "reply_loss": %s}' "$loss" "$loss"
            sep=", "
        done
        printf ']}\n'
    } >"$file"
}


# --- one run of one tool -------------------------------------------------------------------

# Each run leaves "<ms> <found> <rss_kb>" in $result; found counts expected hosts reported with
# their own MAC.
expected_file=$work/expected

now_ms() { echo $(($(date +%s%N) / 1000000)); }

count_found() {
    # stdin: "address mac" lines in any MAC spelling; prints how many match the expected set.
    tr 'A-F' 'a-f' | tr '-' ':' | sort -u | grep -cxF -f "$expected_file" || true
}

run_tool() {
    local tool=$1 config=$2
    if [ "$peers_only" = 1 ] && [[ $tool == talvik-* ]]; then
        result="0 0 -"
        return
    fi
    start_responder "$config"
    ip -n "$LAB_SCANNER_NS" neigh flush dev "$LAB_SCANNER_IF"
    local out=$work/out t0 t1 rss=-
    t0=$(now_ms)
    local status=0
    case $tool in
    talvik-packet)
        "$lab_sh" scan "$lab" "$work/talvik-bench" --first "$range_first" --last "$range_last" \
            --sender packet --rows "${talvik_args[@]}" "${scenario_args[@]}" >"$out" || status=$? ;;
    talvik-helper)
        "$lab_sh" scan "$lab" setpriv --reuid=nobody --regid=nogroup --clear-groups \
            "$work/talvik-bench" --first "$range_first" --last "$range_last" \
            --sender helper --rows "${talvik_args[@]}" "${scenario_args[@]}" >"$out" || status=$? ;;
    talvik-neighbour)
        "$lab_sh" scan "$lab" setpriv --reuid=nobody --regid=nogroup --clear-groups \
            "$work/talvik-bench" --first "$range_first" --last "$range_last" \
            --sender neighbour --rows "${talvik_args[@]}" "${scenario_args[@]}" >"$out" || status=$? ;;
    talvik-scan-packet | talvik-scan-helper)
        # The command as a script runs it: no names, no memory, CSV. Its peak memory comes from
        # time(1) on runs of their own (with_rss=1), so that the timed runs carry no wrapper.
        local as=() timer=()
        [ "$tool" = talvik-scan-helper ] && as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
        [ "${with_rss:-0}" = 1 ] && timer=(/usr/bin/time -f %M -o "$work/rss")
        echo - >"$work/rss"
        "$lab_sh" scan "$lab" "${timer[@]}" "${as[@]}" "$work/talvik-scan" \
            --format csv --no-names --no-memory "$range_first-$range_last" >"$out" || status=$? ;;
    arp-scan)
        "$lab_sh" scan "$lab" arp-scan -q -I "$LAB_SCANNER_IF" "$range_first-$range_last" >"$out" || status=$? ;;
    nmap)
        "$lab_sh" scan "$lab" nmap -sn -PR -n -e "$LAB_SCANNER_IF" "$range_first-254" -oG - >"$out" || status=$? ;;
    esac
    t1=$(now_ms)
    stop_responder
    if [ "$status" != 0 ]; then
        echo "bench/run.sh: $tool failed with status $status" >&2
        failures=$((failures + 1))
    fi
    local found
    case $tool in
    talvik-scan-*)
        found=$(awk -F, '$2 == "answered" { print $1, $3 }' "$out" | count_found)
        rss=$(cat "$work/rss") ;;
    talvik-*)
        found=$(awk '$1 == "row" && $3 == "running" { print $2, $4 }' "$out" | count_found)
        rss=$(awk -F= '$1 == "maxrss_kb" { print $2 }' "$out") ;;
    arp-scan)
        found=$(awk -F'\t' '$1 ~ /^[0-9.]+$/ { print $1, $2 }' "$out" | count_found) ;;
    nmap)
        # Grepable output names the host; the MAC is only in the normal output, so the address
        # alone is matched here.
        found=$(awk '/Status: Up/ { print $2 }' "$out" | sort -u |
            grep -cxF -f <(cut -d' ' -f1 "$expected_file") || true) ;;
    esac
    result="$((t1 - t0)) $found $rss"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Runs a tool $runs times; leaves the median time, the lowest found count and the peak rss.
measure() {
    local tool=$1 config=$2 n=$3 times=() founds=() rsses=()
    for _ in $(seq "$n"); do
        run_tool "$tool" "$config"
        read -r ms found rss <<<"$result"
        times+=("$ms")
        founds+=("$found")
        rsses+=("$rss")
    done
    m_time=$(printf '%s\n' "${times[@]}" | median)
    m_found=$(printf '%s\n' "${founds[@]}" | sort -n | head -1)
    m_rss=$(printf '%s\n' "${rsses[@]}" | grep -v -- - | sort -n | tail -1 || true)
}

expect_hosts() {
    : >"$expected_file"
    for word in "$@"; do
        local octet=${word%%:*}
        printf '%s.%s 02:1a:%02x:00:00:%02x\n' "$LAB_SUBNET" "$octet" "$octet" "$octet" \
            >>"$expected_file"
    done
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

failures=0
scenario_args=()  # what one scenario adds to our own command line
rows=()
row() { rows+=("| $1 | $2 | $3 | $4 | $5 | $6 |"); }
have_helper() { [ -x "$work/talvik-arp" ]; }
want() { [[ ,$only, == *,$1,* ]]; }
tp_rss= tn_rss= as_time=0

# --- scenarios -----------------------------------------------------------------------------

live20=()
for i in $(seq 0 19); do live20+=("$((5 + i * 12)):0"); done
write_config "$work/live20.json" 0 1 "${live20[@]}"
# The same with hosts that answer late, in the first rows (.1 is the scanner) and the last.
late=("${live20[@]}" 3:300 50:300 100:300 150:300 251:300 2:450 70:450 130:450 190:450 254:450)

if want live; then
echo "== 20 live hosts answering at once" >&2
expect_hosts "${live20[@]}"
measure arp-scan "$work/live20.json" "$runs"; as_time=$m_time as_found=$m_found
measure nmap "$work/live20.json" "$runs"; nm_time=$m_time nm_found=$m_found
measure talvik-packet "$work/live20.json" "$runs"
tp_time=$m_time tp_found=$m_found tp_rss=$m_rss
row "20 live, rest silent (root, packet socket)" "$tp_found/20 in $tp_time ms" \
    "$as_found/20 in $as_time ms" "$nm_found/20 in $nm_time ms" \
    "$(ratio "$tp_time" "$as_time") x arp-scan, $(ratio "$tp_time" "$nm_time") x nmap" \
    "all found, <= 0.6 x arp-scan"
if have_helper; then
    measure talvik-helper "$work/live20.json" "$runs"
    th_time=$m_time th_found=$m_found
    row "20 live, rest silent (nobody, talvik-arp helper)" "$th_found/20 in $th_time ms" \
        "$as_found/20 in $as_time ms" "$nm_found/20 in $nm_time ms" \
        "$(ratio "$th_time" "$as_time") x arp-scan, $(ratio "$th_time" "$nm_time") x nmap" \
        "all found, <= 0.6 x arp-scan"
fi
fi

if want late; then
echo "== 20 live, 5 hosts 300 ms late, 5 hosts 450 ms late" >&2
expect_hosts "${late[@]}"
write_config "$work/late.json" 0 1 "${late[@]}"
measure arp-scan "$work/late.json" "$runs"; la_time=$m_time la_found=$m_found
measure nmap "$work/late.json" "$runs"; ln_time=$m_time ln_found=$m_found
measure talvik-packet "$work/late.json" "$runs"; lt_time=$m_time lt_found=$m_found
row "20 live + 5 at 300 ms + 5 at 450 ms late (root, packet socket)" \
    "$lt_found/30 in $lt_time ms" "$la_found/30 in $la_time ms" "$ln_found/30 in $ln_time ms" \
    "$(ratio "$lt_time" "$la_time") x arp-scan, $(ratio "$lt_time" "$ln_time") x nmap" \
    "all found, <= 0.65 x arp-scan"
if have_helper; then
    measure talvik-helper "$work/late.json" "$runs"; lh_time=$m_time lh_found=$m_found
    row "20 live + 5 at 300 ms + 5 at 450 ms late (nobody, helper)" \
        "$lh_found/30 in $lh_time ms" "$la_found/30 in $la_time ms" \
        "$ln_found/30 in $ln_time ms" \
        "$(ratio "$lh_time" "$la_time") x arp-scan, $(ratio "$lh_time" "$ln_time") x nmap" \
        "all found, <= 0.65 x arp-scan"
fi
fi

if want late800; then
echo "== one host 800 ms late, network condition 100" >&2
late800=(128:800)
expect_hosts "${late800[@]}"
write_config "$work/late800.json" 0 1 "${late800[@]}"
measure arp-scan "$work/late800.json" 1; a8_time=$m_time a8_found=$m_found
measure nmap "$work/late800.json" 1; n8_time=$m_time n8_found=$m_found
scenario_args=(--network-condition 100)
measure talvik-packet "$work/late800.json" 1; t8_time=$m_time t8_found=$m_found
scenario_args=()
row "one host 800 ms late, network condition 100 (root)" "$t8_found/1 in $t8_time ms" \
    "$a8_found/1 in $a8_time ms" "$n8_found/1 in $n8_time ms" \
    "$(ratio "$t8_time" "$a8_time") x arp-scan" "found"
fi

if want loss; then
echo "== 10% loss each way with the late hosts, $loss_runs seeds" >&2
expect_hosts "${late[@]}"
sum_t=0 sum_a=0 sum_n=0
for seed in $(seq "$loss_runs"); do
    write_config "$work/loss.json" 0.1 "$seed" "${late[@]}"
    measure talvik-packet "$work/loss.json" 1; sum_t=$((sum_t + m_found))
    measure arp-scan "$work/loss.json" 1; sum_a=$((sum_a + m_found))
    measure nmap "$work/loss.json" 1; sum_n=$((sum_n + m_found))
done
avg() { awk -v s="$1" -v n="$loss_runs" 'BEGIN { printf "%.1f", s / n }'; }
row "10% loss each way, 30 hosts of which 10 late, mean of $loss_runs seeds" \
    "$(avg "$sum_t")/30 found" "$(avg "$sum_a")/30 found" "$(avg "$sum_n")/30 found" \
    "$(ratio "$sum_t" "$sum_a") x arp-scan's finds" ">= arp-scan's finds"
fi

if want dozing; then
# 20 hosts that answer at once and 10 that doze: each hears a broadcast only while awake (wake ms
# of every cycle ms, from a phase of its own; or, with wake "beacon", the access point holds it to
# the next beacon and the host wakes for one beacon of every cycle ms), a frame to its own MAC
# always.
dozing10=(10:0 35:0 60:0 85:0 110:0 135:0 160:0 190:0 215:0 250:0)
write_dozing_config() {
    local file=$1 seed=$2 cycle=$3 wake=$4 loss=$5
    python3 - "$file" "$seed" "$cycle" "$wake" "$loss" "$LAB_SEGMENT_IF" "$LAB_SUBNET" \
        "${live20[*]}" "${dozing10[*]}" <<'PY'
import json, random, sys
file, seed, cycle, wake, loss, interface, subnet, live, dozing = sys.argv[1:]
rng = random.Random(int(seed))
def host(word, dozes):
    octet = int(word.split(":")[0])
    h = {"ip": f"{subnet}.{octet}", "mac": f"02:1a:{octet:02x}:00:00:{octet:02x}",
         "request_loss": float(loss), "reply_loss": float(loss)}
    if dozes and wake == "beacon":
        # 102.4 ms: the beacon interval of nearly every access point.
        h.update(doze_cycle_ms=float(cycle), doze_beacon_ms=102.4,
                 doze_phase_ms=rng.uniform(0, float(cycle)))
    elif dozes:
        h.update(doze_cycle_ms=int(cycle), doze_wake_ms=int(wake),
                 doze_phase_ms=rng.randrange(int(cycle)))
    return h
hosts = [host(w, False) for w in live.split()] + [host(w, True) for w in dozing.split()]
json.dump({"interface": interface, "seed": int(seed), "hosts": hosts}, open(file, "w"))
PY
}
# Found in scan 1 and in scan 2 of a --scans 2 output, all and the dozing ones: four lines.
block_rows() {
    awk -v b="$2" '/^scan 2$/ { s = 2; next }
        (s ? s : 1) == b && $1 == "row" && $3 == "running" { print $2, $4 }' "$1" |
        tr 'A-F' 'a-f' | tr '-' ':' | sort -u
}
scan_finds() {
    local block
    for block in 1 2; do
        block_rows "$1" "$block" | grep -cxF -f "$expected_file" || true
        block_rows "$1" "$block" | grep -cxF -f "$work/dozing-expected" || true
    done
}
# Peak frames in any second, first requests (within 150 ms of a target's first in its scan) apart
# from the extra asks, from the responder's counts $1 of the --scans 2 run that printed $2; then
# how many requests went to a known MAC.
request_rates() {
    python3 - "$1" "$2" <<'PY'
import json, sys
sys.path.insert(0, "bench")
from dozing_coverage import second_start
counts = json.load(open(sys.argv[1]))
log = counts["request_log"]
second = second_start(counts, open(sys.argv[2]).read())
first, kinds = {}, {"first": [], "extra": []}
for t, target, unicast in log:
    key = (t >= second, target)
    first.setdefault(key, t)
    kinds["first" if t - first[key] <= 150 else "extra"].append(t)
def peak(times):
    best, j = 0, 0
    for i, t in enumerate(times):
        while t - times[j] >= 1000:
            j += 1
        best = max(best, i - j + 1)
    return best
print(peak(kinds["first"]), peak(kinds["extra"]), sum(1 for e in log if e[2]))
PY
}
dozing_case() {  # label cycle wake loss sender: one table row over $dozing_runs phase seeds
    local label=$1 cycle=$2 wake=$3 loss=$4 sender=$5
    echo "== dozing: $label" >&2
    expect_hosts "${dozing10[@]}"
    cp "$expected_file" "$work/dozing-expected"
    expect_hosts "${live20[@]}" "${dozing10[@]}"
    local s1=0 d1=0 s2=0 d2=0 min2=30 sa=0 da=0 st=0 dt=0 pf=0 pe=0 uni=0 worse=0
    for seed in $(seq "$dozing_runs"); do
        write_dozing_config "$work/dozing.json" "$seed" "$cycle" "$wake" "$loss"
        measure arp-scan "$work/dozing.json" 1; sa=$((sa + m_found))
        local peer=$m_found
        scenario_args=()
        [ -n "$keep" ] && responder_counts=$work/counts.json
        measure "$sender" "$work/dozing.json" 1; st=$((st + m_found))
        [ "$m_found" -lt "$peer" ] && worse=$((worse + 1))
        if [ -n "$keep" ]; then
            cp "$work/out" "$keep/${sender}-${cycle}-${wake}-${loss}-seed$seed.start.out"
            cp "$work/counts.json" "$keep/${sender}-${cycle}-${wake}-${loss}-seed$seed.start.log.json"
        fi
        responder_counts=$work/counts.json
        scenario_args=(--network-condition 100 --scans 2)
        run_tool "$sender" "$work/dozing.json"
        responder_counts=
        scenario_args=()
        read -r f1 z1 f2 z2 <<<"$(scan_finds "$work/out" | tr '\n' ' ')"
        s1=$((s1 + f1)) d1=$((d1 + z1)) s2=$((s2 + f2)) d2=$((d2 + z2))
        [ "$f2" -lt "$min2" ] && min2=$f2
        read -r rf re ru <<<"$(request_rates "$work/counts.json" "$work/out")"
        if [ -n "$keep" ]; then
            local stem=$keep/${sender}-${cycle}-${wake}-${loss}-seed$seed
            cp "$work/dozing.json" "$stem.config.json"
            cp "$work/out" "$stem.out"
            cp "$work/counts.json" "$stem.log.json"
        fi
        [ "$rf" -gt "$pf" ] && pf=$rf
        [ "$re" -gt "$pe" ] && pe=$re
        uni=$((uni + ru))
        echo "   seed $seed: arp-scan $peer, talvik at 1000 $m_found; at 100 scan 1 $f1 (dozing $z1), scan 2 $f2 (dozing $z2); peaks $rf/s first, $re/s extra; $ru unicast" >&2
    done
    avg() { awk -v s="$1" -v n="$dozing_runs" 'BEGIN { printf "%.1f", s / n }'; }
    row "$label: at 100, scan 1 / scan 2 of one run (mean of $dozing_runs phase seeds)" \
        "$(avg "$s1")/30 ($(avg "$d1")/10 dozing) / $(avg "$s2")/30 (fewest $min2)" \
        "$(avg "$sa")/30 at its defaults" "-" \
        "at 1000: $(avg "$st")/30, fewer than arp-scan in $worse of $dozing_runs; peaks $pf frames/s first requests, $pe frames/s extra asks" \
        ">= 5/10 dozing in scan 1, 30/30 in scan 2, extra <= 500/s"
}
dozing_case "10 of 30 dozing, awake 30 of 500 ms (root, packet socket)" 500 30 0 talvik-packet
if have_helper; then
    dozing_case "the same (nobody, talvik-arp helper)" 500 30 0 talvik-helper
fi
dozing_case "10 of 30 dozing, awake 20 of 1000 ms (root)" 1000 20 0 talvik-packet
dozing_case "10 of 30 dozing, awake 30 of 500 ms, 10% loss each way (root)" 500 30 0.1 talvik-packet
dozing_case "10 of 30 dozing behind an access point, each waking for 1 beacon in 10 (root)" 1024 beacon 0 talvik-packet
dozing_case "the same, 1 beacon in 20 (root)" 2048 beacon 0 talvik-packet
fi

if want fallback; then
echo "== unprivileged fallback, 20 live hosts" >&2
expect_hosts "${live20[@]}"
measure talvik-neighbour "$work/live20.json" "$runs"; tn_time=$m_time tn_found=$m_found tn_rss=$m_rss
row "unprivileged fallback, 20 live (nobody)" "$tn_found/20 in $tn_time ms" "-" "-" \
    "$(ratio "$tn_time" "$as_time") x arp-scan (root)" "all found, <= 3000 ms"
fi

if want fallback-loss; then
    echo "== unprivileged fallback, 10% loss each way, $loss_runs seeds" >&2
    expect_hosts "${live20[@]}"
    sum_f=0
    for seed in $(seq "$loss_runs"); do
        write_config "$work/loss.json" 0.1 "$seed" "${live20[@]}"
        measure talvik-neighbour "$work/loss.json" 1
        sum_f=$((sum_f + m_found))
    done
    row "unprivileged fallback, 10% loss each way, mean of $loss_runs seeds" \
        "$(awk -v s="$sum_f" -v n="$loss_runs" 'BEGIN { printf "%.1f", s / n }')/20 found" \
        "-" "-" "-" ">= 19.4/20"
fi

if want cli && [ -x "$work/talvik-scan" ]; then
    echo "== talvik-scan over the 20 live hosts, beside talvik-bench and arp-scan" >&2
    expect_hosts "${live20[@]}"
    # Interleaved, so that the machine's load falls on all three alike.
    c_times=() b_times=() a_times=() c_found=20 b_found=20 a_found=20 c_rss=0
    for _ in $(seq "$runs"); do
        measure talvik-scan-packet "$work/live20.json" 1
        c_times+=("$m_time"); c_found=$((m_found < c_found ? m_found : c_found))
        measure talvik-packet "$work/live20.json" 1
        b_times+=("$m_time"); b_found=$((m_found < b_found ? m_found : b_found))
        measure arp-scan "$work/live20.json" 1
        a_times+=("$m_time"); a_found=$((m_found < a_found ? m_found : a_found))
    done
    c_time=$(printf '%s\n' "${c_times[@]}" | median)
    b_time=$(printf '%s\n' "${b_times[@]}" | median)
    a_time=$(printf '%s\n' "${a_times[@]}" | median)
    row "talvik-scan, 20 live (root, packet socket; talvik column: the command, then talvik-bench)" \
        "$c_found/20 in $c_time ms; bench $b_found/20 in $b_time ms" "$a_found/20 in $a_time ms" \
        "-" "$(ratio "$c_time" "$b_time") x talvik-bench, $(ratio "$c_time" "$a_time") x arp-scan" \
        "all found, <= 1.0 x talvik-bench"
    if have_helper; then
        measure talvik-scan-helper "$work/live20.json" "$runs"
        row "talvik-scan, 20 live (nobody, talvik-arp helper)" "$m_found/20 in $m_time ms" \
            "$a_found/20 in $a_time ms" "-" "$(ratio "$m_time" "$a_time") x arp-scan" "all found"
    fi
    for tool in talvik-scan-packet $(have_helper && echo talvik-scan-helper); do
        with_rss=1 run_tool "$tool" "$work/live20.json"
        read -r _ _ rss <<<"$result"
        [ "$rss" != - ] && c_rss=$((rss > c_rss ? rss : c_rss))
    done
    row "peak memory, talvik-scan over the /24" "$c_rss kB (maxrss)" "-" "-" "-" "< 20480 kB"
fi

if want remember && [ "$peers_only" = 0 ]; then
    echo "== 20 live hosts, with and without device memory" >&2
    expect_hosts "${live20[@]}"
    measure arp-scan "$work/live20.json" "$runs"; ra_time=$m_time
    measure talvik-packet "$work/live20.json" "$runs"; rp_time=$m_time
    # The store is there before the timed runs, as it is once memory is on.
    scenario_args=(--remember "$work/store/devices.sqlite3")
    run_tool talvik-packet "$work/live20.json"
    measure talvik-packet "$work/live20.json" "$runs"; rm_time=$m_time rm_found=$m_found
    rm_write=$(awk -F= '$1 == "store_ms" { print $2 }' "$work/out")
    scenario_args=()
    row "20 live, devices remembered (root, packet socket; last write ${rm_write:-?} ms)" \
        "$rm_found/20 in $rm_time ms" "$ra_time ms" "-" \
        "$(ratio "$rm_time" "$ra_time") x arp-scan; $(ratio "$rm_time" "$rp_time") x the same without memory ($rp_time ms)" \
        "<= 1.02 x without memory"
fi

peak=$(printf '%s\n' $tp_rss $tn_rss | sort -n | tail -1)
[ -n "$peak" ] && row "peak memory, whole /24" "$peak kB (maxrss)" "-" "-" "-" "< 20480 kB"

printf '\nworker limit 50, 254 targets (%s-%s), median of %s runs, process wall times;' \
    "$range_first" "$range_last" "$runs"
printf ' sender timings: %s\n\n' "${talvik_args[*]:-built-in}"
echo "| scenario | talvik | arp-scan | nmap -sn -PR | ratio | target |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
if [ "$failures" -gt 0 ]; then
    printf '\n%s run(s) failed; their rows count nothing found\n' "$failures"
    exit 1
fi
