#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Soaks the real engine in the network lab: talvik-soak holds one engine through many scans in
# a row (to the end, stopped part way, stopped and restarted at once) with each ARP sender, and
# prints its memory, threads and descriptors as it goes, then one table. Run as root; every
# frame stays inside the lab's namespaces.
#
#   bench/soak.sh [--cycles N] [--sample-every N] [--build-dir DIR] [--no-build]
#                 [--senders packet,helper,neighbour]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

cycles=300
sample_every=25
build_dir=$root/build/bench
build=1
senders=packet,helper,neighbour
while [ $# -gt 0 ]; do
    case $1 in
    --cycles) cycles=$2; shift 2 ;;
    --sample-every) sample_every=$2; shift 2 ;;
    --build-dir) build_dir=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    --senders) senders=$2; shift 2 ;;
    *) echo "usage: bench/soak.sh [--cycles N] [--sample-every N] [--build-dir DIR]" \
           "[--no-build] [--senders LIST]" >&2
       exit 2 ;;
    esac
done

[ "$(id -u)" -eq 0 ] || { echo "bench/soak.sh needs root (it builds a network lab)" >&2; exit 1; }
for tool in python3 setpriv setcap; do
    command -v "$tool" >/dev/null || { echo "bench/soak.sh: $tool is missing (scripts/setup.sh)" >&2; exit 1; }
done

if [ "$build" = 1 ]; then
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTALVIK_BUILD_GUI=OFF -DTALVIK_BUILD_TESTS=OFF -DTALVIK_BUILD_BENCH=ON >/dev/null
    cmake --build "$build_dir" -j2 --target talvik-soak talvik-bench talvik-arp >/dev/null
fi
[ -x "$build_dir/bin/talvik-soak" ] || { echo "bench/soak.sh: talvik-soak was not built" >&2; exit 1; }

# shellcheck source=bench/lab-session.sh
. "$root/bench/lab-session.sh"
lab_session "tvk-s-k$(($$ % 1000000))" tvk-s-soak

# 64 targets: 16 live (some late, some lossy, some answering twice) and the scanner itself;
# the rest silent. The live hosts answer stray datagrams with ICMP errors, as hosts without a
# firewall do, so that the unprivileged sender can tell them on every round, not only once
# their neighbour entries have aged.
{
    printf '{"interface": "%s", "seed": 3, "hosts": [' "$LAB_SEGMENT_IF"
    sep=""
    for octet in $(seq 2 4 62); do
        extra=""
        case $((octet % 5)) in
        1) extra=', "delay_ms": 120' ;;
        2) extra=', "request_loss": 0.2, "reply_loss": 0.2' ;;
        3) extra=', "duplicates": 1' ;;
        esac
        printf '%s{"ip": "%s.%s", "mac": "02:1a:%02x:00:00:%02x", "icmp_unreachable": true%s}' \
            "$sep" "$LAB_SUBNET" "$octet" "$octet" "$octet" "$extra"
        sep=", "
    done
    printf ']}\n'
} >"$work/hosts.json"
start_responder "$work/hosts.json" 86400

install -m 755 "$build_dir/bin/talvik-soak" "$work/talvik-soak"
install -m 755 "$build_dir/bin/talvik-bench" "$work/talvik-bench"
install -m 755 "$build_dir/bin/talvik-arp" "$work/talvik-arp"
setcap cap_net_raw+ep "$work/talvik-arp"

failures=0
rows=()
field() { awk -F= -v k="$1" '$1 == k { sub(/^[^=]*=/, ""); print }' "$2"; }
for sender in ${senders//,/ }; do
    echo "== $sender: $cycles rounds" >&2
    out=$work/$sender.out
    as=()
    [ "$sender" = packet ] || as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    status=0
    "$lab_sh" scan "$lab" "${as[@]}" "$work/talvik-soak" --first "$LAB_SUBNET.1" \
        --last "$LAB_SUBNET.64" --cycles "$cycles" --sample-every "$sample_every" \
        --sender "$sender" | tee "$out" >&2 || status=$?
    [ "$status" = 0 ] || failures=$((failures + 1))
    rows+=("| $sender ($(field sender "$out")) | $(field cycles_completed "$out") / $(field cycles_stopped "$out") / $(field cycles_restarted "$out") | $(field found_fewest "$out") / $(field found_most "$out") | $(field scan_ms_median "$out") / $(field scan_ms_max "$out") | $(field rss_kb_growth "$out") | $(field threads_growth "$out") | $(field fds_growth "$out") | $(field child_processes "$out"), $(field child_rss_kb_growth "$out") kB | $(field hung "$out") | $(field verdict "$out") |")
done

# The helper killed 150 ms into the first of ten scans in a row (probes in flight), then again
# 350 ms in (every probe has ended; the scan listens for late answers): each time it is
# started again, what it was asking or listening for is asked again, the scan says so instead
# of completing plainly, every later scan completes, and no zombie is left.
kill_rounds=10
kill_lines=()
for kill_at in 150 350; do
    echo "== helper killed ${kill_at} ms into a scan: $kill_rounds scans" >&2
    out=$work/helper-kill-$kill_at.out
    "$lab_sh" scan "$lab" setpriv --reuid=nobody --regid=nogroup --clear-groups "$work/talvik-bench" \
        --sender helper --first "$LAB_SUBNET.1" --last "$LAB_SUBNET.64" --scans "$kill_rounds" \
        --helper-signal kill --helper-signal-after-ms "$kill_at" >"$out" || true
    notices=$(grep -c '^message ARP 辅助程序意外退出' "$out" || true)
    plain=$(grep -c '^message 扫描完成!|' "$out" || true)
    found=$(field found "$out" | head -1)
    found_later=$(field found "$out" | tail -n +2 | sort -n | uniq | tr '\n' ' ')
    kill_verdict=steady
    if [ "$notices" != 1 ] || [ "$plain" != $((kill_rounds - 1)) ] ||
        [ "$(field zombies "$out")" != 0 ] || [ "$(field children "$out")" != 1 ]; then
        kill_verdict=FAILED
        failures=$((failures + 1))
    fi
    kill_lines+=("$(printf 'Helper killed %s ms into the first of %s scans: %s restart notice(s), %s plain completions, found %s in the hit scan and %sin the others, %s zombie(s), %s helper(s) left: %s' \
        "$kill_at" "$kill_rounds" "$notices" "$plain" "$found" "$found_later" "$(field zombies "$out")" "$(field children "$out")" "$kill_verdict")")
done

printf '\n%s rounds of 64 targets (203.0.113.1-64: 16 hosts live, 4 of them lossy, and the scanner) per sender, worker limit 50;' "$cycles"
printf ' every third round runs to the end, the others are stopped after 0-250 ms, half of them\n'
printf 'restarted and stopped again at once. Growth is counted from round %s to the last.\n\n' "$sample_every"
echo "| sender | completed / stopped / restarted | found (of 17) fewest / most | scan ms median / max | RSS growth kB | threads | descriptors | child processes, their RSS growth | hung | verdict |"
echo "|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
printf '\n'
printf '%s\n' "${kill_lines[@]}"
if [ "$failures" -gt 0 ]; then
    printf '\n%s sender(s) did not hold steady\n' "$failures"
    exit 1
fi
