#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""talvik-scan --watch in the network lab, through the packet socket: frames forged on the
segment are told within a second, the gateway claimed by another MAC, a router answering for
fifty addresses, a flood with a real change amid it, --exec failing and hanging, SIGTERM, the
same watch as an ordinary user through the helper, and dozing hosts heard when they speak.

    watch_command_test.py TALVIK_SCAN TALVIK_ARP LAB_SH ARP_RESPONDER
Needs root (it builds the lab); exits 77 (skip) without it unless CI=true.
"""
import json
import os
import random
import select
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SCAN, HELPER, LAB_SH, RESPONDER = sys.argv[1:5]
ENV = {k: v for k, v in os.environ.items()
       if k not in ("DISPLAY", "WAYLAND_DISPLAY") and not k.startswith("LC_")}
ENV.update(LANG="C.UTF-8", LANGUAGE="zh_CN", XDG_DATA_HOME="/nonexistent/talvik-watch-lab")

# Sends gratuitous ARP announcements from the segment: each argument MAC=ADDRESS, `rate`
# frames per second in all (0: at once), `rounds` times over.
SEND = r"""
import socket, struct, sys, time
iface, rate, rounds, pairs = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), sys.argv[4:]
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
s.bind((iface, 0))
frames = []
for pair in pairs:
    mac, ip = pair.split("=")
    m, a = bytes.fromhex(mac.replace(":", "")), socket.inet_aton(ip)
    f = b"\xff" * 6 + m + b"\x08\x06" + struct.pack("!HHBBH", 1, 0x0800, 6, 4, 1) + m + a + \
        b"\x00" * 6 + a
    frames.append(f + b"\x00" * (60 - len(f)))
start = time.monotonic()
sent = 0
for _ in range(rounds):
    for f in frames:
        s.send(f)
        sent += 1
        if rate:
            wait = start + sent / rate - time.monotonic()
            if wait > 0:
                time.sleep(wait)
"""


class Watch(unittest.TestCase):
    def setUp(self):
        self.name = "tvk-l-w%d" % (os.getpid() % 10000)
        subprocess.run([LAB_SH, "up", self.name, "--gateway"], check=True)
        self.dir = tempfile.mkdtemp(prefix="talvik-watch-lab-")
        self.proc = None
        self.err = None
        self.responder = None

    def tearDown(self):
        if self.err:
            self.err.close()
        if self.responder and self.responder.poll() is None:
            self.responder.terminate()
            self.responder.wait()
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        subprocess.run([LAB_SH, "down", self.name])
        subprocess.run(["rm", "-rf", self.dir])

    def send(self, pairs, rate=0, rounds=1):
        subprocess.run([LAB_SH, "seg", self.name, "python3", "-c", SEND, self.name + "b",
                        str(rate), str(rounds)] + pairs, check=True)

    def start(self, *args, nobody=False, memory=False):
        if self.err:
            self.err.close()
        self.err = open(os.path.join(self.dir, "err"), "w+")
        scan, wrap = SCAN, []
        if nobody:
            # Copies nobody can run, beside each other; only the helper's holds cap_net_raw.
            folder = os.path.join(self.dir, "bin")
            os.makedirs(folder, exist_ok=True)
            os.chmod(self.dir, 0o755)
            for program in (SCAN, HELPER):
                shutil.copy(program, folder)
                os.chmod(os.path.join(folder, os.path.basename(program)), 0o755)
            subprocess.run(["setcap", "cap_net_raw+ep", os.path.join(folder, "talvik-arp")],
                           check=True)
            # The catalogues lie beside the folder, as in the build.
            locale = os.path.join(os.path.dirname(SCAN), "..", "share", "locale")
            if os.path.isdir(locale) and not os.path.exists(os.path.join(self.dir, "share")):
                shutil.copytree(locale, os.path.join(self.dir, "share", "locale"))
                subprocess.run(["chmod", "-R", "a+rX", os.path.join(self.dir, "share")],
                               check=True)
            scan = os.path.join(folder, "talvik-scan")
            wrap = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        env = dict(ENV, XDG_DATA_HOME=os.path.join(self.dir, "data")) if memory else ENV
        self.proc = subprocess.Popen(
            [LAB_SH, "scan", self.name, *wrap, scan, "--watch", "--every", "0", "--format", "jsonl",
             "--remember" if memory else "--no-memory", "--no-names", *args, "203.0.113.0/24"],
            env=env, stdout=subprocess.PIPE, stderr=self.err)
        self.buffer = b""
        # Listening once the first announcement is told.
        for _ in range(50):
            self.send(["02:aa:00:00:00:09=203.0.113.9"])
            event = self.next_event(0.2)
            if event:
                self.assertEqual((event["event"], event["address"]), ("new", "203.0.113.9"))
                return
        self.fail("the watch told nothing: " + self.stderr())

    def next_event(self, wait):
        deadline = time.monotonic() + wait
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                return None
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def events_for(self, seconds):
        events = []
        deadline = time.monotonic() + seconds
        while (event := self.next_event(deadline - time.monotonic())) is not None:
            events.append(event)
        return events

    def stderr(self):
        self.err.seek(0)
        return self.err.read()

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        rest, _ = self.proc.communicate(timeout=10)
        lines = (self.buffer + rest).decode().splitlines()
        return self.proc.returncode, [json.loads(line) for line in lines]

    def test_events_within_a_second_the_gateway_and_sigterm(self):
        self.start()
        sent = time.monotonic()
        self.send(["00:1b:21:00:00:14=203.0.113.20"])
        event = self.next_event(2)
        self.assertLess(time.monotonic() - sent, 1.0)
        self.assertEqual(event["event"], "new")
        self.assertEqual(event["interface"], self.name + "a")
        self.assertEqual(event["mac"], "00:1b:21:00:00:14")
        self.assertFalse(event["private"])
        self.assertEqual(set(event), {"time", "event", "interface", "address", "mac", "maker",
                                      "name", "previous_mac", "private"})
        # The gateway's MAC as first heard, then another claims its address.
        self.send(["00:1b:21:00:00:fe=203.0.113.254"])
        self.assertEqual(self.next_event(2)["event"], "new")
        sent = time.monotonic()
        self.send(["02:66:00:00:00:66=203.0.113.254"])
        event = self.next_event(2)
        self.assertLess(time.monotonic() - sent, 1.0)
        self.assertEqual((event["event"], event["previous_mac"], event["private"]),
                         ("gateway-changed", "00:1b:21:00:00:fe", True))
        # The router answering for fifty addresses that hosts held: no run of changes.
        self.send(["00:1b:21:00:01:%02x=203.0.113.%d" % (i, i) for i in range(100, 150)])
        self.assertEqual(len(self.events_for(1)), 50)
        time.sleep(5.5)  # past the window in which two MACs count as at once
        self.send(["00:1b:21:00:00:fe=203.0.113.%d" % i for i in range(100, 150)])
        changes = [e for e in self.events_for(1.5) if e["event"] == "mac-changed"]
        self.assertLessEqual(len(changes), 2, changes)
        # The link down and up again: an event each way, and it is heard again after.
        link = ["ip", "-n", self.name + "s", "link", "set", self.name + "a"]
        subprocess.run(link + ["down"], check=True)
        event = self.next_event(3)
        self.assertEqual((event["event"], event["interface"]), ("link-down", self.name + "a"))
        subprocess.run(link + ["up"], check=True)
        event = self.next_event(3)
        self.assertEqual((event["event"], event["address"]), ("link-up", None))
        for _ in range(20):
            self.send(["00:1b:21:00:00:1f=203.0.113.31"])
            event = self.next_event(0.3)
            if event:
                break
        self.assertEqual((event["event"], event["address"]), ("new", "203.0.113.31"))
        self.send(["00:1b:21:00:00:1e=203.0.113.30"])  # heard just before the stop
        time.sleep(0.3)
        status, rest = self.stop()
        self.assertEqual(status, 0, self.stderr())
        self.assertEqual([(e["event"], e["address"]) for e in rest], [("new", "203.0.113.30")])

    def test_an_ordinary_user_listens_through_the_helper(self):
        self.start(nobody=True)
        self.assertNotIn("无法监听", self.stderr())
        sent = time.monotonic()
        self.send(["00:1b:21:00:00:14=203.0.113.20"])
        event = self.next_event(2)
        self.assertLess(time.monotonic() - sent, 1.0)
        self.assertEqual((event["event"], event["address"]), ("new", "203.0.113.20"))
        # The helper ends: the watch starts it again, says so, and goes on hearing.
        helpers = subprocess.run(["pgrep", "-f", os.path.join(self.dir, "bin", "talvik-arp")],
                                 capture_output=True, text=True).stdout.split()
        self.assertTrue(helpers)
        for pid in helpers:
            os.kill(int(pid), signal.SIGKILL)
        for _ in range(30):
            self.send(["00:1b:21:00:00:15=203.0.113.21"])
            event = self.next_event(0.3)
            if event:
                break
        self.assertEqual((event["event"], event["address"]), ("new", "203.0.113.21"))
        self.assertIn("上监听的辅助程序已退出，正在重新启动", self.stderr())
        status, _ = self.stop()
        self.assertEqual(status, 0, self.stderr())

    def test_a_flood_loses_no_real_change(self):
        self.start()
        self.send(["00:1b:21:00:00:0a=203.0.113.10"])
        self.assertEqual(self.next_event(2)["event"], "new")
        time.sleep(5.5)
        rng = random.Random(7)
        forged = ["02:%02x:%02x:%02x:%02x:%02x=203.0.113.%d" % (
            *[rng.randrange(256) for _ in range(5)], rng.randrange(100, 200)) for _ in range(5000)]
        amid = forged[:2500] + ["00:1b:21:00:00:0b=203.0.113.10"] + forged[2500:]
        self.send(amid, rate=5000, rounds=2)
        events = self.events_for(3)
        changed = [e for e in events if e["event"] == "mac-changed"]
        self.assertEqual([(e["address"], e["mac"], e["previous_mac"]) for e in changed],
                         [("203.0.113.10", "00:1b:21:00:00:0b", "00:1b:21:00:00:0a")])
        status, _ = self.stop()
        self.assertEqual(status, 0, self.stderr())

    def test_a_busy_link_costs_little_and_a_flood_no_memory(self):
        self.start()
        pid = int(subprocess.run(["pgrep", "-n", "-f", SCAN + " --watch"], capture_output=True,
                                 text=True).stdout.split()[0])

        def cpu_seconds():
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

        def peak_kb():
            with open("/proc/%d/status" % pid) as f:
                return next(int(line.split()[1]) for line in f if line.startswith("VmHWM"))

        hosts = ["00:1b:21:00:01:%02x=203.0.113.%d" % (i, i) for i in range(100, 150)]
        before, start = cpu_seconds(), time.monotonic()
        self.send(hosts, rate=200, rounds=60)  # 200 frames/s for 15 s
        share = (cpu_seconds() - before) / (time.monotonic() - start)
        self.events_for(0.5)
        self.assertLessEqual(share, 0.02)
        rng = random.Random(3)
        forged = ["02:%02x:%02x:%02x:%02x:%02x=203.0.113.%d" % (
            *[rng.randrange(256) for _ in range(5)], rng.randrange(2, 254)) for _ in range(10000)]
        # Read as a journal would, while the flood runs.
        peaks = []
        for _ in range(3):
            reader = threading.Thread(target=self.events_for, args=(5,))
            reader.start()
            self.send(forged, rate=5000, rounds=2)
            reader.join()
            peaks.append(peak_kb())
        self.assertLessEqual(peaks[-1] - peaks[0], 2048, peaks)
        status, _ = self.stop()
        self.assertEqual(status, 0, self.stderr())

    def test_dozing_hosts_are_heard_when_they_speak(self):
        # Awake 30 of every 500 ms, so a broadcast rarely reaches them; two announce themselves
        # and two ask for the gateway every 5 s, two never speak. Only the askers' sender fields
        # say they are there.
        speakers = {"203.0.113.40": {}, "203.0.113.41": {},
                    "203.0.113.42": {"asks_for": "203.0.113.254"},
                    "203.0.113.43": {"asks_for": "203.0.113.254"}}
        quiet = ["203.0.113.44", "203.0.113.45"]
        hosts = [{"ip": "203.0.113.254", "mac": "00:1b:21:00:00:fe"}]
        for n, ip in enumerate(list(speakers) + quiet):
            host = {"ip": ip, "mac": "02:1a:00:00:00:%02x" % (40 + n), "doze_cycle_ms": 500,
                    "doze_wake_ms": 30, "doze_phase_ms": 70 * n}
            if ip in speakers:
                host.update(speakers[ip], speak_every_ms=5000)
            hosts.append(host)
        config = os.path.join(self.dir, "dozing.json")
        counts = os.path.join(self.dir, "counts.json")
        with open(config, "w") as f:
            json.dump({"interface": self.name + "b", "seed": 5, "hosts": hosts}, f)
        self.start()
        self.responder = subprocess.Popen(
            [LAB_SH, "seg", self.name, sys.executable, RESPONDER, "--config", config,
             "--duration", "15", "--count-file", counts])
        told = {e["address"]: e for e in self.events_for(15) if e["event"] == "new"}
        self.responder.wait(timeout=10)
        for n, ip in enumerate(speakers):
            self.assertIn(ip, told, self.stderr())
            self.assertEqual(told[ip]["mac"], "02:1a:00:00:00:%02x" % (40 + n))
        for ip in quiet:
            self.assertNotIn(ip, told)
        with open(counts) as f:
            spoken = json.load(f)["spoken"]
        self.assertEqual({ip for _, ip, _ in spoken}, set(speakers))
        self.assertIn(["203.0.113.42", "203.0.113.254"], [s[1:] for s in spoken])
        status, _ = self.stop()
        self.assertEqual(status, 0, self.stderr())

    def test_a_store_that_fails_never_stops_the_watch(self):
        self.start(memory=True)
        store = os.path.join(self.dir, "data", "talvik", "devices.sqlite3")
        time.sleep(6)  # past the first write, which keeps the device heard first
        holder = sqlite3.connect(store, isolation_level=None, timeout=10)

        def told_in_time(octet):
            sent = time.monotonic()
            self.send(["00:1b:21:00:00:%02x=203.0.113.%d" % (octet, octet)])
            event = self.next_event(6)
            self.assertEqual(event["address"], "203.0.113.%d" % octet)
            self.assertLess(time.monotonic() - sent, 1.0, octet)
            time.sleep(0.3)

        # Held across one write: what it could not take goes in at the next.
        holder.execute("BEGIN EXCLUSIVE")
        held, octet = time.monotonic(), 60
        while time.monotonic() - held < 6.5:
            told_in_time(octet)
            octet += 1
        holder.rollback()
        time.sleep(7)  # the next write
        kept = {a & 0xFF for (a,) in holder.execute("SELECT last_address FROM devices")}
        self.assertLessEqual(set(range(60, octet)), kept)
        self.assertNotIn("设备记录", self.stderr())
        # Held for good: events are still told in time, and the stop says memory failed.
        holder.execute("BEGIN EXCLUSIVE")
        try:
            for octet in range(100, 124):
                told_in_time(octet)
            status, rest = self.stop()
        finally:
            holder.rollback()
            holder.close()
        self.assertEqual((status, rest), (4, []))
        self.assertEqual(self.stderr().count("设备记录文件正被另一个程序长时间占用"), 1)

    def test_exec_failing_and_hanging_never_stops_the_watch(self):
        seen = os.path.join(self.dir, "seen")
        script = os.path.join(self.dir, "on-event")
        with open(script, "w") as f:
            f.write("#!/bin/sh\ncat >> %s\ncase $1 in fail) exit 3;; hang) sleep 60;; esac\n" % seen)
        os.chmod(script, 0o755)
        self.start("--exec", script + " 'hang'")
        self.send(["00:1b:21:00:00:15=203.0.113.21"])
        self.assertEqual(self.next_event(2)["address"], "203.0.113.21")
        time.sleep(11.5)  # the first (at .9) is stopped after 10 s, then .21's starts
        self.assertIn("运行超过 10 秒，已被终止", self.stderr())
        status, _ = self.stop()
        self.assertEqual(status, 0, self.stderr())
        with open(seen) as f:
            told = [json.loads(line)["address"] for line in f]
        self.assertEqual(told, ["203.0.113.9", "203.0.113.21"])

        self.start("--exec", script + " fail")
        self.send(["00:1b:21:00:00:16=203.0.113.22"])
        self.assertEqual(self.next_event(2)["address"], "203.0.113.22")
        time.sleep(0.5)
        status, _ = self.stop()
        self.assertEqual(status, 0)
        self.assertIn("失败，退出状态 3", self.stderr())


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("watch_command_test.py: needs root to build the lab", file=sys.stderr)
        sys.exit(1 if os.environ.get("CI") == "true" else 77)
    unittest.main(argv=sys.argv[:1], verbosity=2)
