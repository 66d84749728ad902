#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Reads the dozing runs that `bench/run.sh --keep DIR` kept and says, per run and scan, how many
broadcast requests each silent address got, how much of a dozing host's cycle they covered at
any phase (and the most that as many requests could cover), and whether every dozing host that
a request met was found, and no other.

    bench/dozing_coverage.py DIR
"""

import glob
import json
import sys


def second_start(counts, out):
    """When the second scan of a --scans 2 run started, in the responder's log time: both stamp
    by CLOCK_MONOTONIC. Runs kept before they did are split by the first scan's wall time, which
    falls a few ms after the burst of first requests that opens the second scan."""
    log = counts["request_log"]
    started = [float(line.split("=", 1)[1]) for line in out.splitlines()
               if line.startswith("started_monotonic_ms=")]
    if len(started) >= 2 and "start_monotonic_ms" in counts:
        return started[1] - counts["start_monotonic_ms"]
    wall = [float(line.split("=", 1)[1]) for line in out.splitlines()
            if line.startswith("wall_ms=")]
    return log[0][0] + wall[0] if log and len(wall) >= 2 else float("inf")


def covered(times, cycle, wake):
    heard = bytearray(cycle)
    for t in times:
        for d in range(wake):
            heard[(int(t) + d) % cycle] = 1
    return sum(heard) / cycle


def found_rows(text, block):
    rows, current = set(), 1
    for line in text.splitlines():
        if line.strip() == "scan 2":
            current = 2
        words = line.split()
        if current == block and len(words) >= 4 and words[0] == "row" and words[2] == "running":
            rows.add(words[1])
    return rows


def report(name, counts, config, out, scans):
    dozing = [h for h in config["hosts"] if "doze_cycle_ms" in h]
    if "doze_beacon_ms" in dozing[0]:
        return  # held to a beacon, a request covers no fixed stretch of the cycle
    cycle, wake = dozing[0]["doze_cycle_ms"], dozing[0]["doze_wake_ms"]
    live = {h["ip"] for h in config["hosts"]} - {h["ip"] for h in dozing}
    log = counts["request_log"]
    second = second_start(counts, out) if scans == 2 else float("inf")
    for block in range(1, scans + 1):
        asks = {}
        for t, target, unicast in log:
            if (t >= second) == (block == 2) and not unicast:
                asks.setdefault(target, []).append(t)
        silent = [a for a in asks if a not in live]
        if not silent:
            continue
        mean = sum(len(asks[a]) for a in silent) / len(silent)
        cover = sum(covered(asks[a], cycle, wake) for a in silent) / len(silent)
        found = {h["ip"] for h in dozing} & found_rows(out, block)

        def met(slack):
            # The log keeps a tenth of a millisecond: a request at the edge of a wake may go either way.
            return {h["ip"] for h in dozing
                    if any((t + h["doze_phase_ms"]) % cycle < wake + slack
                           for t in asks.get(h["ip"], []))
                    or any(u for t, a, u in log if a == h["ip"] and (t >= second) == (block == 2))}
        odd = sorted((met(-0.05) - found) | (found - met(0.05)))
        print(f"{name} scan {block}: {len(silent)} silent, {mean:.1f} requests each, "
              f"{cover:.1%} of a {cycle} ms cycle (no order of as many covers more than "
              f"{min(1.0, mean * wake / cycle):.0%}); dozing found {len(found)}/{len(dozing)}"
              + (f"; met but not found or found unmet: {odd}" if odd else ""))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip().splitlines()[-1].strip())
    for config_file in sorted(glob.glob(f"{sys.argv[1]}/*.config.json")):
        stem = config_file[: -len(".config.json")]
        config = json.load(open(config_file, encoding="utf-8"))
        for suffix, scans in ((".start", 1), ("", 2)):
            try:
                counts = json.load(open(f"{stem}{suffix}.log.json", encoding="utf-8"))
                out = open(f"{stem}{suffix}.out", encoding="utf-8").read()
            except FileNotFoundError:
                continue
            name = stem.rsplit("/", 1)[-1] + (" at 1000" if suffix else " at 100")
            report(name, counts, config, out, scans)


if __name__ == "__main__":
    main()
