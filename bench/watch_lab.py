#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The runs of bench/watch.sh inside a lab it built: the dozing run beside arp-scan, and the
soak. Not meant to be run alone."""

import argparse
import json
import os
import random
import signal
import subprocess
import threading
import time

ENV = {k: v for k, v in os.environ.items()
       if k not in ("DISPLAY", "WAYLAND_DISPLAY") and not k.startswith("LC_")}
ENV.update(LANG="C.UTF-8", XDG_DATA_HOME="/nonexistent/talvik-watch-bench")

# Announcements from MACS MACs, each at its own address after 198.18.0.0, FRAMES in all at RATE
# frames/s; how many went so far is written to PROGRESS each second.
SOAK_SENDER = r"""
import socket, struct, sys, time
iface, frames, macs, rate, progress = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), \
    float(sys.argv[4]), sys.argv[5]
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
s.bind((iface, 0))
pool = []
for i in range(1, macs + 1):
    m = bytes([0x02, 0x5a, 0, i >> 16 & 255, i >> 8 & 255, i & 255])
    a = struct.pack("!I", (198 << 24 | 18 << 16) + i)
    f = b"\xff" * 6 + m + b"\x08\x06" + struct.pack("!HHBBH", 1, 0x0800, 6, 4, 1) + m + a + \
        b"\x00" * 6 + a
    pool.append(f.ljust(60, b"\x00"))
start = noted = time.monotonic()
for sent in range(frames):
    s.send(pool[sent % macs])
    if sent % 50 == 49:
        wait = start + (sent + 1) / rate - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        if time.monotonic() - noted >= 1:
            noted = time.monotonic()
            open(progress, "w").write(str(sent + 1))
open(progress, "w").write(str(frames))
"""


class Watch:
    """talvik-scan --watch in the lab's scanner namespace, its lines stamped as they come."""

    def __init__(self, args, *extra):
        self.err = open(os.path.join(args.work, "watch.err"), "w+")
        self.proc = subprocess.Popen(
            [args.lab_sh, "scan", args.lab, args.scan, "--watch", "--every", "0", "--format",
             "jsonl", "--no-memory", "--no-names", *extra],
            env=ENV, stdout=subprocess.PIPE, stderr=self.err)
        self.told = {}  # address: (monotonic time first told, event)
        self.lines = 0
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        for line in self.proc.stdout:
            self.lines += 1
            event = json.loads(line)
            if event.get("address") and event["address"] not in self.told:
                self.told[event["address"]] = (time.monotonic(), event["event"])

    def pid(self):
        # lab.sh and ip netns exec each exec the next: the process ends up as the watch itself.
        for _ in range(50):
            with open(f"/proc/{self.proc.pid}/comm") as f:
                if f.read().strip() == "talvik-scan":
                    return self.proc.pid
            time.sleep(0.1)
        raise SystemExit("watch_lab.py: the watch did not start")

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        status = self.proc.wait(timeout=30)
        self.reader.join(timeout=5)
        self.err.seek(0)
        return status, self.err.read()


def arp_scan(args, subnet):
    out = subprocess.run([args.lab_sh, "scan", args.lab, "arp-scan", "-q", "-I", args.scanner_if,
                          f"{subnet}.1-{subnet}.254"], capture_output=True, text=True).stdout
    return {line.split()[0] for line in out.splitlines()
            if line.startswith(subnet + ".") and len(line.split()) >= 2}


def dozing(args):
    subnet = "203.0.113"
    rng = random.Random(11)
    awake = [f"{subnet}.{n}" for n in range(2, 21)] + [f"{subnet}.254"]
    announcing = [f"{subnet}.{n}" for n in range(100, 104)]
    asking = [f"{subnet}.{n}" for n in range(104, 108)]
    quiet = [f"{subnet}.{n}" for n in (108, 109)]
    hosts = [{"ip": ip, "mac": "00:1b:21:00:%02x:%02x" % (i, int(ip.rsplit(".", 1)[1]))}
             for i, ip in enumerate(awake)]
    for ip in announcing + asking + quiet:
        octet = int(ip.rsplit(".", 1)[1])
        host = {"ip": ip, "mac": "02:1a:%02x:00:00:%02x" % (octet, octet), "doze_cycle_ms": 500,
                "doze_wake_ms": 30, "doze_phase_ms": rng.randrange(500)}
        if ip not in quiet:
            host["speak_every_ms"] = args.period * 1000
        if ip in asking:
            host["asks_for"] = f"{subnet}.254"
        hosts.append(host)
    config = os.path.join(args.work, "dozing.json")
    counts = os.path.join(args.work, "dozing.counts.json")
    with open(config, "w") as f:
        json.dump({"interface": args.segment_if, "seed": 11, "hosts": hosts}, f)

    watch = Watch(args, f"{subnet}.0/24")
    watch.pid()
    time.sleep(1)  # the wire is open well before this
    responder = subprocess.Popen(
        [args.lab_sh, "seg", args.lab, "python3", args.responder, "--config", config,
         "--duration", str(args.seconds + 30), "--count-file", counts])
    time.sleep(0.5)
    start = time.monotonic()
    scans = []  # (start offset, addresses found)

    def scanner():
        for k in range(int(args.seconds // args.period)):
            wait = start + k * args.period - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            at = time.monotonic() - start
            scans.append((at, arp_scan(args, subnet)))

    thread = threading.Thread(target=scanner)
    thread.start()
    time.sleep(max(0.0, start + args.seconds - time.monotonic()))
    thread.join()
    status, err = watch.stop()
    responder.send_signal(signal.SIGTERM)
    responder.wait(timeout=30)
    with open(counts) as f:
        log = json.load(f)
    spoke = {}
    for ms, ip, _target in log["spoken"]:
        spoke.setdefault(ip, log["start_monotonic_ms"] / 1000 + ms / 1000)

    groups = [("dozing, announcing", announcing), ("dozing, asking for the gateway", asking),
              ("dozing, never speaking", quiet), ("awake", awake)]
    print(f"watch (--every 0) beside arp-scan every {args.period:g} s, {args.seconds:g} s, "
          f"in one lab of {len(hosts)} hosts; found so far:")
    print("| s | " + " | ".join(f"watch: {name}" for name, _ in groups) +
          " | arp-scan: dozing | arp-scan: awake |")
    print("|---" * (len(groups) + 3) + "|")
    step = args.period / 4
    for i in range(1, int(args.seconds / step) + 1):
        t = i * step
        cells = [f"{sum(1 for ip in ips if ip in watch.told and watch.told[ip][0] - start <= t)}"
                 f"/{len(ips)}" for _, ips in groups]
        found = set().union(*(f for at, f in scans if at <= t)) if scans else set()
        dozers = announcing + asking + quiet
        print(f"| {t:g} | " + " | ".join(cells) +
              f" | {len(found & set(dozers))}/{len(dozers)} | {len(found & set(awake))}/{len(awake)} |")
    print()
    for at, found in scans:
        print(f"arp-scan at {at:.0f} s: {len(found)} found")
    lags = []
    for ip in announcing + asking:
        told = watch.told.get(ip)
        said = f"told {told[0] - start:.1f} s ({told[1]})" if told else "never told"
        first = spoke.get(ip)
        if told and first is not None:
            lags.append(told[0] - first)
            said += f", {1000 * (told[0] - first):.0f} ms after it first spoke at {first - start:.1f} s"
        print(f"{ip}: {said}")
    speakers = announcing + asking
    told_all = [watch.told[ip][0] - start for ip in speakers if ip in watch.told]
    print(f"\ndozing speakers told: {len(told_all)}/{len(speakers)}"
          + (f", the last at {max(told_all):.1f} s" if told_all else "")
          + (f"; from first speaking to told: at most {1000 * max(lags):.0f} ms" if lags else ""))
    print(f"watch exit status {status}; {len(err.splitlines())} lines on standard error")


def status_fields(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(("VmHWM", "VmRSS")):
                fields[line.split(":")[0]] = int(line.split()[1])
    with open(f"/proc/{pid}/stat") as f:
        stat = f.read().rsplit(")", 1)[1].split()
    fields["cpu"] = (int(stat[11]) + int(stat[12])) / os.sysconf("SC_CLK_TCK")
    return fields


def soak(args):
    watch = Watch(args, "198.18.0.0/16")
    pid = watch.pid()
    time.sleep(1)
    progress = os.path.join(args.work, "progress")
    with open(progress, "w") as f:
        f.write("0")
    sender = subprocess.Popen([args.lab_sh, "seg", args.lab, "python3", "-c", SOAK_SENDER,
                               args.segment_if, str(args.frames), str(args.macs), str(args.rate),
                               progress])
    start = time.monotonic()
    print(f"{args.frames} frames from {args.macs} MACs at {args.rate:g} frames/s into a watch "
          f"at --every 0 (the device bound is 4096 per network)")
    print("| s | frames sent | VmHWM kB | VmRSS kB | CPU share since last | lines told |")
    print("|---|---|---|---|---|---|")
    samples = []
    last = status_fields(pid) | {"t": 0.0, "sent": 0}
    first_cpu = last["cpu"]
    sending_until = None
    while True:
        time.sleep(args.sample)
        now = status_fields(pid)
        now["t"] = time.monotonic() - start
        with open(progress) as f:
            now["sent"] = int(f.read() or 0)
        share = (now["cpu"] - last["cpu"]) / (now["t"] - last["t"])
        samples.append(now)
        print(f"| {now['t']:.0f} | {now['sent']} | {now['VmHWM']} | {now['VmRSS']} | "
              f"{100 * share:.1f} % | {watch.lines} |", flush=True)
        last = now
        if sender.poll() is not None:
            if sending_until is None:
                sending_until = now
            else:
                break  # one sample after the last frame
    status, err = watch.stop()
    full = next((s for s in samples if s["sent"] >= args.macs), samples[0])
    wall = sending_until["t"]
    print(f"\npeak at the first sample with every MAC heard once ({full['sent']} frames): "
          f"{full['VmHWM']} kB; at the end: {samples[-1]['VmHWM']} kB; growth "
          f"{samples[-1]['VmHWM'] - full['VmHWM']} kB")
    print(f"CPU while sending: {100 * (sending_until['cpu'] - first_cpu) / wall:.1f} % of one "
          f"core over {wall:.0f} s ({sending_until['sent'] / wall:.0f} frames/s achieved)")
    print(f"watch exit status {status}; standard error, last lines:")
    for line in err.splitlines()[-5:]:
        print("  " + line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mode", choices=("dozing", "soak"))
    for name in ("--scan", "--lab-sh", "--lab", "--responder", "--work", "--scanner-if",
                 "--segment-if"):
        parser.add_argument(name, required=True)
    parser.add_argument("--period", type=float, default=60.0)
    parser.add_argument("--seconds", type=float, default=180.0)
    parser.add_argument("--frames", type=int, default=1_000_000)
    parser.add_argument("--macs", type=int, default=10_000)
    parser.add_argument("--rate", type=float, default=2000.0)
    parser.add_argument("--sample", type=float, default=30.0)
    args = parser.parse_args()
    (dozing if args.mode == "dozing" else soak)(args)


if __name__ == "__main__":
    main()
