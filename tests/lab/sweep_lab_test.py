#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Large runs in the network lab: the engine's sweep (talvik-sweep) over a /20 of 198.18.0.0/16
through the packet socket as root and through talvik-arp as nobody, with late, lossy and dozing
hosts among the live ones, the frames the link carried counted by the responder, the threads
of the run counted while it runs, and two interfaces at once; and the command talvik-scan's
progress line over a /20, on a terminal and without one.

    sweep_lab_test.py TALVIK_SWEEP TALVIK_ARP LAB_SH RESPONDER TALVIK_SCAN
Needs root (it builds the lab); exits 77 (skip) without it unless CI=true.
"""
import json
import os
import pty
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

SWEEP, HELPER, LAB_SH, RESPONDER, SCAN = sys.argv[1:6]
RATE = 2000  # frames a second: a /20 in about two seconds


def hosts_in(blocks, per_block, seed, **extra):
    rng = random.Random(seed)
    hosts = []
    for block in blocks:
        for octet in rng.sample(range(1, 255), per_block):
            hosts.append(dict(ip="%s.%d" % (block, octet),
                              mac="02:3c:00:%02x:%02x:%02x" % (int(block.split(".")[2]),
                                                              octet, seed),
                              **extra))
    return hosts


class Lab:
    def __init__(self, second=False):
        # TALVIK_LAB_PREFIX (tvk-l- and a few letters) keeps labs of parallel runs apart.
        prefix = os.environ.get("TALVIK_LAB_PREFIX", "tvk-l-w")
        self.name = prefix + str(os.getpid() % 10 ** (14 - len(prefix)))
        subprocess.run([LAB_SH, "up", self.name, "--big"] + (["--second"] if second else []),
                       check=True)
        self.dir = tempfile.mkdtemp(prefix="tvk-l-sweep.")
        os.chmod(self.dir, 0o755)
        self.bin = os.path.join(self.dir, "bin")
        os.mkdir(self.bin)
        for program in (SWEEP, HELPER):
            shutil.copy(program, self.bin)
            os.chmod(os.path.join(self.bin, os.path.basename(program)), 0o755)
        subprocess.run(["setcap", "cap_net_raw+ep", os.path.join(self.bin, "talvik-arp")],
                       check=True)
        self.responders = []

    def play(self, interface, hosts, seed=1):
        tag = "%d" % len(self.responders)
        config = os.path.join(self.dir, "config%s.json" % tag)
        with open(config, "w") as f:
            json.dump({"interface": interface, "seed": seed, "hosts": hosts}, f)
        ready = os.path.join(self.dir, "ready" + tag)
        counts = os.path.join(self.dir, "counts%s.json" % tag)
        process = subprocess.Popen([LAB_SH, "seg", self.name, "python3", RESPONDER, "--config",
                                    config, "--ready-file", ready, "--count-file", counts,
                                    "--duration", "120"])
        deadline = time.monotonic() + 20
        while not os.path.exists(ready) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.responders.append((process, counts))

    def sweep(self, args, nobody=False):
        wrap = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] if nobody else []
        sender = ["--sender", "helper" if nobody else "packet"]
        done = subprocess.run([LAB_SH, "scan", self.name] + wrap +
                              [os.path.join(self.bin, "talvik-sweep")] + sender + args,
                              capture_output=True, text=True, timeout=60)
        found = {}
        values = {}
        for line in done.stdout.splitlines():
            parts = line.split()
            if parts[:1] == ["found"]:
                found.setdefault(parts[2], []).append(parts[3])
            elif "=" in line:
                key, value = line.split("=", 1)
                values[key] = int(value)
        return done.returncode, found, values, done.stderr

    def requests(self, index=0):
        process, counts = self.responders[index]
        process.terminate()
        process.wait()
        with open(counts) as f:
            return json.load(f)["request_log"]

    def close(self):
        for process, _ in self.responders:
            process.terminate()
            process.wait()
        subprocess.run([LAB_SH, "down", self.name])
        shutil.rmtree(self.dir, ignore_errors=True)


def screen(raw):
    """What a terminal shows after `raw`: a carriage return goes back to the line's start, ESC [K
    erases to its end, anything else is written over what stands there."""
    lines, row, col = [[]], 0, 0
    for part in re.split(r"(\r|\n|\x1b\[K)", raw):
        if part == "\r":
            col = 0
        elif part == "\n":
            row, col = row + 1, 0
            if row == len(lines):
                lines.append([])
        elif part == "\x1b[K":
            del lines[row][col:]
        else:
            line = lines[row]
            line[col:col + len(part)] = list(part)
            col += len(part)
    return ["".join(line) for line in lines]


def busiest_second(log):
    times = sorted(entry[0] for entry in log)
    best, first = 0, 0
    for last, t in enumerate(times):
        while t - times[first] >= 1000:
            first += 1
        best = max(best, last - first + 1)
    return best


class Sweep(unittest.TestCase):
    def test_a_20_as_root_and_as_nobody_finds_every_host_at_the_pace(self):
        live = (hosts_in(["198.18.17", "198.18.18", "198.18.26"], 20, 1) +
                hosts_in(["198.18.21"], 10, 2, delay_ms=300) +
                hosts_in(["198.18.29"], 10, 3, request_loss=0.1, reply_loss=0.1))
        dozing = hosts_in(["198.18.30"], 2, 4, doze_cycle_ms=500, doze_wake_ms=30)
        for nobody in (False, True):
            with self.subTest(nobody=nobody):
                lab = Lab()
                try:
                    lab.play(lab.name + "b", live + dozing)
                    known = ["--known", "%s=%s" % (dozing[0]["ip"], dozing[0]["mac"])]
                    code, found, values, err = lab.sweep(
                        ["--rate", str(RATE), *known, "--link", lab.name + "a", "198.18.16.1",
                         "198.18.31.254"], nobody)
                    log = lab.requests()
                finally:
                    lab.close()
                self.assertEqual(code, 0, err)
                self.assertEqual(values["targets"], 4094)
                self.assertEqual(values["not_asked"], 0)
                # Everyone but the lossy ones, which a link this clean asks only once, and the
                # dozing one nobody told us of, which a broadcast may miss.
                for host in live[:70] + dozing[:1]:
                    self.assertEqual(found.get(host["ip"]), [host["mac"]], host["ip"])
                self.assertGreaterEqual(len([h for h in live[70:] if h["ip"] in found]), 5)
                self.assertLessEqual(busiest_second(log), RATE)
                # One pass, the known device by its MAC, the probes and a few repeats.
                self.assertLess(len(log), 4094 * 1.2)
                self.assertLess(values["maxrss_kb"], 32768)

    def test_a_20_costs_no_more_threads_than_a_24_and_stops_at_once(self):
        lab = Lab()
        try:
            lab.play(lab.name + "b", hosts_in(["198.18.17"], 20, 1))
            link = ["--link", lab.name + "a"]
            _, _, small, _ = lab.sweep(["--rate", "500", *link, "198.18.17.1", "198.18.17.254"])
            _, found, large, _ = lab.sweep(["--rate", "500", *link, "198.18.16.1",
                                            "198.18.31.254"] + ["--stop-after-ms", "1500"])
        finally:
            lab.close()
        # The /24 and the /20 run the same threads (the driver's sampler among them).
        self.assertEqual(large["threads_max"], small["threads_max"])
        # Stopped after 1.5 s of an 8 s run: it ends within a fraction of a second.
        self.assertLess(large["elapsed_ms"], 2000)
        self.assertGreater(large["asked"], 500)

    def test_two_interfaces_at_once_each_at_its_own_pace(self):
        lab = Lab(second=True)
        try:
            first = hosts_in(["198.18.5"], 30, 1)
            second = hosts_in(["198.19.13"], 30, 2)
            lab.play(lab.name + "b", first)
            lab.play(lab.name + "d", second)
            code, found, values, err = lab.sweep(
                ["--rate", "1000", "--link", lab.name + "a", "198.18.4.1", "198.18.7.254",
                 "--link", lab.name + "c", "198.19.12.1", "198.19.15.254"])
            logs = [lab.requests(0), lab.requests(1)]
        finally:
            lab.close()
        self.assertEqual(code, 0, err)
        self.assertEqual(sorted(found), sorted(h["ip"] for h in first + second))
        for log in logs:
            self.assertLessEqual(busiest_second(log), 1000)
        # Side by side: about one /22's time at 1000 frames a second (1.6 s), not two.
        self.assertLess(values["elapsed_ms"], 2200)


class Progress(unittest.TestCase):
    # As a Chinese user reads it: addresses asked of all, hosts up, seconds left.
    LINE = re.compile(r"已询问 (\d+)/(\d+) · (\d+) 台在线 · 还剩 (\d+) 秒")
    ENV = dict({k: v for k, v in os.environ.items() if not k.startswith("LC_")},
               LANG="C.UTF-8", LANGUAGE="zh_CN")

    def test_a_20_on_a_terminal_shows_counts_rising_then_clears_the_line(self):
        live = hosts_in(["198.18.17", "198.18.22", "198.18.29"], 10, 5)
        lab = Lab()
        try:
            lab.play(lab.name + "b", live)
            command = [LAB_SH, "scan", lab.name, SCAN, "--no-names", "--no-memory", "--rate",
                       "1500", "198.18.16.0/20"]
            # Both streams on one terminal, as a user at a shell sees them.
            master, slave = pty.openpty()
            process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=slave,
                                       stderr=slave, env=self.ENV)
            os.close(slave)
            raw = b""
            while True:
                try:
                    chunk = os.read(master, 65536)
                except OSError:  # the terminal's last writer is gone
                    break
                if not chunk:
                    break
                raw += chunk
            os.close(master)
            code = process.wait(timeout=60)
            # No terminal: nothing of the progress line anywhere.
            quiet = subprocess.run(command, capture_output=True, text=True, timeout=60,
                                   env=self.ENV)
        finally:
            lab.close()
        text = raw.decode("utf-8")
        self.assertEqual(code, 0, text)
        shown = [self.LINE.search(part) for part in text.split("\r")]
        counts = [tuple(int(g) for g in m.groups()) for m in shown if m]
        self.assertGreaterEqual(len(counts), 3, text)
        asked = [c[0] for c in counts]
        found = [c[2] for c in counts]
        self.assertEqual(asked, sorted(asked))
        self.assertEqual(found, sorted(found))
        self.assertLess(asked[0], asked[-1])
        self.assertLess(found[0], found[-1])
        self.assertTrue(all(c[1] == 4094 for c in counts), counts)
        self.assertLessEqual(counts[-1][3], counts[0][3])
        # What stays on the screen: every host's row starting its own line, no progress text.
        lines = screen(text)
        self.assertFalse([line for line in lines if "已询问" in line], lines)
        rows = {line.split()[0]: line.split()[1] for line in lines
                if re.match(r"198\.18\.\d+\.\d+ ", line)}
        self.assertEqual(rows, {h["ip"]: h["mac"] for h in live})
        self.assertEqual(quiet.returncode, 0, quiet.stderr)
        for stream in (quiet.stdout, quiet.stderr):
            self.assertNotIn("已询问", stream)
            self.assertNotIn("\r", stream)
            self.assertNotIn("\x1b", stream)
        self.assertEqual({line.split()[0] for line in quiet.stdout.splitlines()},
                         {h["ip"] for h in live})


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("the lab needs root", file=sys.stderr)
        sys.exit(1 if os.environ.get("CI") == "true" else 77)
    unittest.main(argv=sys.argv[:1], verbosity=2)
