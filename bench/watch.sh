#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# talvik-scan --watch in the network lab, in one of two runs. Run as root; every frame stays
# inside the lab's namespaces.
#
# dozing: 30 hosts, 10 of which doze (awake 30 of every 500 ms): 4 announce themselves and 4 ask
#   for their gateway once a period from a phase of their own, 2 never speak. The watch listens
#   at --every 0 for the whole time while arp-scan, in the same lab, scans the /24 once a
#   period; it prints how many hosts each has found over time and how long after a dozing
#   host first spoke the watch told it.
# soak: FRAMES announcements from MACS MACs, each at an address of its own in 198.18.0.0/16,
#   sent at RATE frames/s into a watch at --every 0; the watch's peak memory (VmHWM), resident
#   memory and CPU share are sampled as they go.
#
#   bench/watch.sh dozing [--period S] [--seconds S] [--build-dir DIR] [--no-build]
#   bench/watch.sh soak [--frames N] [--macs N] [--rate N] [--sample S] [--build-dir DIR] [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

usage() {
    sed -n 's/^#   //p' "$0" >&2
    exit 2
}
[ $# -ge 1 ] || usage
mode=$1
shift
case $mode in dozing | soak) ;; *) usage ;; esac
build_dir=$root/build/bench
build=1
driver_args=()
while [ $# -gt 0 ]; do
    case $1 in
    --build-dir) build_dir=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    --period | --seconds | --frames | --macs | --rate | --sample) driver_args+=("$1" "$2"); shift 2 ;;
    *) usage ;;
    esac
done

[ "$(id -u)" -eq 0 ] || { echo "bench/watch.sh needs root (it builds a network lab)" >&2; exit 1; }
for tool in python3 arp-scan; do
    command -v "$tool" >/dev/null || { echo "bench/watch.sh: $tool is missing (scripts/setup.sh)" >&2; exit 1; }
done
if [ "$build" = 1 ]; then
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTALVIK_BUILD_GUI=OFF -DTALVIK_BUILD_TESTS=OFF -DTALVIK_BUILD_BENCH=ON >/dev/null
    cmake --build "$build_dir" -j2 --target talvik-scan >/dev/null
fi
scan_command=$build_dir/bin/talvik-scan
[ -x "$scan_command" ] || { echo "bench/watch.sh: $scan_command was not built" >&2; exit 1; }

# shellcheck source=bench/lab-session.sh
. "$root/bench/lab-session.sh"
lab_options=(--gateway)
[ "$mode" = soak ] && lab_options+=(--big)
lab_session "tvk-s-wf$(($$ % 10000))" tvk-s-watch "${lab_options[@]}"

python3 "$root/bench/watch_lab.py" "$mode" --scan "$scan_command" --lab-sh "$lab_sh" \
    --lab "$lab" --responder "$root/tests/lab/arp_responder.py" --work "$work" \
    --scanner-if "$LAB_SCANNER_IF" --segment-if "$LAB_SEGMENT_IF" "${driver_args[@]}"
