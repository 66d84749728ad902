#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Plays the hosts of one Ethernet segment by answering ARP requests on a raw packet socket.

--config names a JSON file {"interface": IF, "seed": N, "hosts": [HOST...]}; a HOST has "ip" and
"mac" and may have "delay_ms", "request_loss", "reply_loss" (seeded), "ignore_first" (leaves the
first N requests for it unanswered), "duplicates" (extra replies), "reply_from" (answers in that
address's name), "silent", "gratuitous_every_ms" and "icmp_unreachable" (answers a UDP datagram
with a port-unreachable error). A host with "speak_every_ms" speaks on its own once per period,
from a phase of its own ("speak_phase_ms", else a seeded random one): it asks for the address
"asks_for" (its gateway, say), or without one announces its own; each time is logged. A dozing host ("doze_cycle_ms", "doze_wake_ms", "doze_phase_ms")
hears a broadcast only while it is awake, doze_wake_ms of every doze_cycle_ms from its phase on,
as a device in Wi-Fi power save does; a frame sent to its own MAC, which an access point keeps for
it, it always hears. With "doze_beacon_ms" the access point holds each broadcast until its next
beacon, as one does for dozing devices, and the host hears it then if that is one of the beacons
it wakes for, one of every doze_cycle_ms / doze_beacon_ms. On SIGTERM or after --duration seconds
the counts of what the link carried go to --count-file, with every request's time (ms from the
start, which is given on CLOCK_MONOTONIC), target and whether it was unicast.
"""

import argparse
import heapq
import ipaddress
import itertools
import json
import math
import os
import random
import select
import signal
import socket
import struct
import time

ETH_P_ALL = 0x0003
PACKET_OUTGOING = 4
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)  # Linux's value; Python 3.11 lacks the name


def mac_bytes(text):
    return bytes.fromhex(text.replace(":", "").replace("-", ""))


def ip_text(raw):
    return str(ipaddress.IPv4Address(raw))


def arp_frame(dst_mac, src_mac, op, sha, spa, tha, tpa):
    arp = struct.pack("!HHBBH", 1, 0x0800, 6, 4, op) + sha + spa + tha + tpa
    # Padded to the Ethernet minimum, as a real interface does.
    return (dst_mac + src_mac + b"\x08\x06" + arp).ljust(60, b"\x00")


def checksum(data):
    data += b"\0" * (len(data) % 2)
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def port_unreachable(frame, host):
    original = frame[14:]
    icmp = struct.pack("!BBHI", 3, 3, 0, 0) + original[:(original[0] & 0x0F) * 4 + 8]
    icmp = icmp[:2] + struct.pack("!H", checksum(icmp)) + icmp[4:]
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(icmp), 0, 0, 64, 1, 0, host["ip"],
                         original[12:16])
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    return (frame[6:12] + host["mac"] + b"\x08\x00" + header + icmp).ljust(60, b"\x00")


class Responder:
    def __init__(self, config):
        self.rng = random.Random(config.get("seed", 1))
        self.hosts = {}
        for spec in config["hosts"]:
            host = dict(spec, ip=ipaddress.IPv4Address(spec["ip"]).packed, mac=mac_bytes(spec["mac"]))
            host["reply_ip"] = ipaddress.IPv4Address(spec.get("reply_from", spec["ip"])).packed
            host["asks_for"] = ipaddress.IPv4Address(spec.get("asks_for", spec["ip"])).packed
            self.hosts[host["ip"]] = host
        self.timers = []
        self.order = itertools.count()
        self.start = time.monotonic()
        self.counts = {"start_monotonic_ms": self.start * 1000, "frames_in": 0, "arp_requests": 0,
                       "requesters": [], "request_sequence": [], "request_log": [],
                       "spoken": []}
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        # A burst of requests must not overflow the queue while replies are being sent.
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        # The kernel's arrival time, not ours: a busy responder must neither wake a dozing host
        # late nor log a burst that the link never carried.
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.realtime_offset = time.clock_gettime(time.CLOCK_REALTIME) - time.monotonic()
        self.sock.bind((config["interface"], ETH_P_ALL))

    def schedule(self, due, frame, host=None, loss=0.0):
        # The counter keeps the heap from ever comparing frames or hosts.
        heapq.heappush(self.timers, (due, next(self.order), frame, host, loss))

    def on_frame(self, frame, now):
        self.counts["frames_in"] += 1
        if frame[12:14] == b"\x08\x00" and len(frame) >= 42 and frame[23] == 17:
            host = self.hosts.get(frame[30:34])
            if host and host.get("icmp_unreachable") and frame[0:6] == host["mac"]:
                self.sock.send(port_unreachable(frame, host))
            return
        if frame[12:14] != b"\x08\x06" or len(frame) < 42 or frame[20:22] != b"\x00\x01":
            return
        sha, spa, tpa = frame[22:28], frame[28:32], frame[38:42]
        self.counts["arp_requests"] += 1
        # The order of requests shows how many targets a scanner had in flight at once.
        self.counts["request_sequence"].append(ip_text(tpa))
        unicast = frame[0:6] != b"\xff" * 6
        self.counts["request_log"].append([round((now - self.start) * 1000, 1), ip_text(tpa),
                                           unicast])
        requester = f"{ip_text(spa)} {sha.hex(':')}"
        if requester not in self.counts["requesters"]:
            self.counts["requesters"].append(requester)
        host = self.hosts.get(tpa)
        if host is None or host.get("silent"):
            return
        if unicast and frame[0:6] != host["mac"]:
            return
        held = 0.0 if unicast else self.hears_after(host, now)
        if held is None:
            return
        host["asked"] = host.get("asked", 0) + 1
        if host["asked"] <= host.get("ignore_first", 0):
            return
        if self.rng.random() < host.get("request_loss", 0):
            return
        reply = arp_frame(sha, host["mac"], 2, host["mac"], host["reply_ip"], sha, spa)
        due = now + held + host.get("delay_ms", 0) / 1000.0
        for i in range(1 + host.get("duplicates", 0)):
            self.schedule(due + i * 0.005, reply, loss=host.get("reply_loss", 0))

    def hears_after(self, host, now):
        """How long until a dozing host hears a broadcast that arrived now; None if it never does."""
        cycle = host.get("doze_cycle_ms")
        if not cycle:
            return 0.0
        at = (now - self.start) * 1000 + host.get("doze_phase_ms", 0)
        beacon = host.get("doze_beacon_ms")
        if beacon:
            following = math.floor(at / beacon) + 1
            if following % round(cycle / beacon):
                return None
            return (following * beacon - at) / 1000.0
        return 0.0 if at % cycle < host.get("doze_wake_ms", cycle) else None

    def arrival(self, ancillary):
        for level, kind, data in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(data) >= 16:
                seconds, nanoseconds = struct.unpack("qq", data[:16])
                return seconds + nanoseconds / 1e9 - self.realtime_offset
        return time.monotonic()

    def speak(self, host, now):
        """A request from the host itself: for `asks_for`, or for its own address (an announcement)."""
        self.sock.send(arp_frame(b"\xff" * 6, host["mac"], 1, host["mac"], host["ip"], b"\0" * 6,
                                 host["asks_for"]))
        if host.get("speak_every_ms"):
            self.counts["spoken"].append([round((now - self.start) * 1000, 1), ip_text(host["ip"]),
                                          ip_text(host["asks_for"])])
        period = host.get("speak_every_ms") or host["gratuitous_every_ms"]
        self.schedule(now + period / 1000.0, None, host)

    def run(self, deadline):
        now = time.monotonic()
        for host in self.hosts.values():
            if host.get("gratuitous_every_ms"):
                self.schedule(now, None, host)
            elif host.get("speak_every_ms"):
                phase = host.get("speak_phase_ms", self.rng.uniform(0, host["speak_every_ms"]))
                self.schedule(now + phase / 1000.0, None, host)
        while time.monotonic() < deadline:
            now = time.monotonic()
            while self.timers and self.timers[0][0] <= now:
                _due, _, frame, host, loss = heapq.heappop(self.timers)
                if host is not None:
                    self.speak(host, now)
                elif self.rng.random() >= loss:
                    self.sock.send(frame)
            wait = min(0.5, deadline - now, *(t[0] - now for t in self.timers[:1]))
            readable, _, _ = select.select([self.sock], [], [], max(0.0, wait))
            while self.sock in readable:
                try:
                    frame, ancillary, _flags, address = self.sock.recvmsg(
                        65535, socket.CMSG_SPACE(16), socket.MSG_DONTWAIT)
                except BlockingIOError:
                    break
                except OSError:
                    return  # the link went away: the lab is being removed
                if address[2] != PACKET_OUTGOING:
                    self.on_frame(frame, self.arrival(ancillary))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--config", required=True)
    parser.add_argument("--count-file")
    parser.add_argument("--ready-file")
    parser.add_argument("--duration", type=float, default=600.0)
    args = parser.parse_args()
    with open(args.config, encoding="utf-8") as f:
        responder = Responder(json.load(f))
    # Raising ends the loop at once, wherever it waits.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    if args.ready_file:
        with open(args.ready_file, "w", encoding="utf-8") as f:
            f.write(f"{os.getpid()}\n")
    try:
        responder.run(time.monotonic() + args.duration)
    except KeyboardInterrupt:
        pass
    if args.count_file:
        with open(args.count_file + ".tmp", "w", encoding="utf-8") as f:
            json.dump(responder.counts, f)
        os.replace(args.count_file + ".tmp", args.count_file)


if __name__ == "__main__":
    main()
