#!/usr/bin/env python3
"""Plays many hosts of one Ethernet segment by answering ARP requests on a raw packet socket.

Every host has its own MAC, reply delay and seeded loss rates for requests and replies; a host
can also answer twice or more, answer in the name of another address, and announce itself by
gratuitous ARP. Every frame seen on the link can be counted, so a test can prove that a scan
sent nothing. One thread serves everything: replies wait in a timer heap, so a burst of 254
requests costs no more than 254 heap entries.

Configuration (JSON, --config FILE or --config-json TEXT):

  {
    "interface": "tvk-l-1b",
    "seed": 1,
    "hosts": [
      {"ip": "203.0.113.10", "mac": "02:00:00:00:00:0a",
       "delay_ms": 0, "jitter_ms": 0, "request_loss": 0.0, "reply_loss": 0.0,
       "duplicates": 0, "duplicate_gap_ms": 5, "reply_from": null,
       "gratuitous_every_ms": 0}
    ],
    "ranges": [
      {"first": "203.0.113.10", "count": 20, "mac_base": "02:00:00:00:10:00", ...}
    ]
  }

A host with "icmp_unreachable": true answers a UDP datagram sent to it with an ICMP port
unreachable error, as a host with no firewall does; other hosts drop such datagrams.

A range expands to `count` hosts with consecutive addresses and MACs; every other key of the
range applies to each of its hosts. `reply_from` makes the host answer in the name of that
address instead of its own. A host with "silent": true answers nothing but may still announce
itself with gratuitous ARP.

On SIGTERM or SIGINT, or after --duration seconds, the responder writes its counts to
--count-file (JSON) and exits. --ready-file is written once the socket is bound.
"""

import argparse
import heapq
import ipaddress
import json
import os
import random
import select
import signal
import socket
import struct
import sys
import time

ETH_P_ALL = 0x0003
ETH_P_ARP = 0x0806
PACKET_OUTGOING = 4
ARP_REQUEST = 1
ARP_REPLY = 2
BROADCAST = b"\xff" * 6
ZERO_MAC = b"\x00" * 6


def parse_mac(text):
    parts = text.replace("-", ":").split(":")
    if len(parts) != 6:
        raise ValueError(f"not a MAC address: {text}")
    return bytes(int(p, 16) for p in parts)


def format_mac(raw):
    return ":".join(f"{b:02x}" for b in raw)


def ip_bytes(text):
    return ipaddress.IPv4Address(text).packed


class Host:
    KEYS = {
        "ip", "mac", "delay_ms", "jitter_ms", "request_loss", "reply_loss", "duplicates",
        "duplicate_gap_ms", "reply_from", "gratuitous_every_ms", "silent", "icmp_unreachable",
    }

    def __init__(self, spec):
        unknown = set(spec) - self.KEYS
        if unknown:
            raise ValueError(f"unknown host keys: {sorted(unknown)}")
        self.ip = ip_bytes(spec["ip"])
        self.mac = parse_mac(spec["mac"])
        self.delay = float(spec.get("delay_ms", 0)) / 1000.0
        self.jitter = float(spec.get("jitter_ms", 0)) / 1000.0
        self.request_loss = float(spec.get("request_loss", 0.0))
        self.reply_loss = float(spec.get("reply_loss", 0.0))
        self.duplicates = int(spec.get("duplicates", 0))
        self.duplicate_gap = float(spec.get("duplicate_gap_ms", 5)) / 1000.0
        reply_from = spec.get("reply_from")
        self.reply_ip = ip_bytes(reply_from) if reply_from else self.ip
        self.gratuitous_every = float(spec.get("gratuitous_every_ms", 0)) / 1000.0
        self.silent = bool(spec.get("silent", False))
        self.icmp_unreachable = bool(spec.get("icmp_unreachable", False))


def expand_range(spec):
    first = ipaddress.IPv4Address(spec["first"])
    base = int.from_bytes(parse_mac(spec["mac_base"]), "big")
    common = {k: v for k, v in spec.items() if k not in ("first", "count", "mac_base")}
    hosts = []
    for i in range(int(spec["count"])):
        mac = (base + i).to_bytes(6, "big")
        hosts.append(dict(common, ip=str(first + i), mac=format_mac(mac)))
    return hosts


def arp_frame(dst_mac, src_mac, op, sha, spa, tha, tpa):
    eth = dst_mac + src_mac + struct.pack("!H", ETH_P_ARP)
    arp = struct.pack("!HHBBH", 1, 0x0800, 6, 4, op) + sha + spa + tha + tpa
    # Pad to the Ethernet minimum, as a real interface does.
    return (eth + arp).ljust(60, b"\x00")


def checksum(data):
    if len(data) % 2:
        data += b"\x00"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def port_unreachable(frame, host):
    """The ICMP port-unreachable frame `host` sends back for the UDP datagram in `frame`."""
    original = frame[14:]
    ihl = (original[0] & 0x0F) * 4
    quoted = original[:ihl + 8]
    icmp = struct.pack("!BBHI", 3, 3, 0, 0) + quoted
    icmp = icmp[:2] + struct.pack("!H", checksum(icmp)) + icmp[4:]
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(icmp), 0, 0, 64, 1, 0, host.ip,
                         original[12:16])
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    return (frame[6:12] + host.mac + b"\x08\x00" + header + icmp).ljust(60, b"\x00")


def parse_udp_target(frame):
    """The destination address of an IPv4 UDP datagram, or None."""
    if len(frame) < 42 or frame[12:14] != b"\x08\x00" or frame[14] >> 4 != 4 or frame[23] != 17:
        return None
    return frame[30:34]


def parse_arp(frame):
    """(op, sha, spa, tha, tpa) of an Ethernet/IPv4 ARP frame, or None."""
    if len(frame) < 42 or frame[12:14] != b"\x08\x06":
        return None
    htype, ptype, hlen, plen, op = struct.unpack("!HHBBH", frame[14:22])
    if htype != 1 or ptype != 0x0800 or hlen != 6 or plen != 4:
        return None
    body = frame[22:42]
    return op, body[0:6], body[6:10], body[10:16], body[16:20]


class Responder:
    def __init__(self, config, count_file):
        self.interface = config["interface"]
        self.rng = random.Random(config.get("seed", 1))
        specs = list(config.get("hosts", []))
        for r in config.get("ranges", []):
            specs.extend(expand_range(r))
        self.hosts = {}
        for spec in specs:
            host = Host(spec)
            if host.ip in self.hosts:
                raise ValueError(f"address played twice: {spec['ip']}")
            self.hosts[host.ip] = host
        self.count_file = count_file
        self.timers = []
        self.sequence = 0
        self.counts = {
            "frames_in": 0, "arp_requests": 0, "other_frames": 0, "replies_sent": 0,
            "gratuitous_sent": 0, "requests_dropped": 0, "replies_dropped": 0, "udp_answered": 0,
            "requests_by_target": {}, "requesters": {}, "request_sequence": [],
        }
        self.stopping = False
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        # A burst of requests must not overflow the queue while replies are being sent.
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.bind((self.interface, ETH_P_ALL))
        self.sock.setblocking(False)
        # A signal wakes the loop at once instead of at the next timer.
        self.wakeup, wakeup_writer = socket.socketpair()
        self.wakeup.setblocking(False)
        wakeup_writer.setblocking(False)
        signal.set_wakeup_fd(wakeup_writer.fileno(), warn_on_full_buffer=False)
        self._wakeup_writer = wakeup_writer

    def schedule(self, due, kind, host, frame=None):
        # The sequence number keeps the heap from ever comparing hosts or frames.
        self.sequence += 1
        heapq.heappush(self.timers, (due, self.sequence, kind, host, frame))

    def start_gratuitous(self, now):
        for host in self.hosts.values():
            if host.gratuitous_every > 0:
                self.schedule(now, "gratuitous", host)

    def on_frame(self, frame, now):
        self.counts["frames_in"] += 1
        arp = parse_arp(frame)
        if arp is None:
            self.counts["other_frames"] += 1
            udp_target = parse_udp_target(frame)
            host = self.hosts.get(udp_target) if udp_target else None
            if host and host.icmp_unreachable and frame[0:6] == host.mac:
                self.counts["udp_answered"] += 1
                self.send(port_unreachable(frame, host))
            return
        op, sha, spa, _tha, tpa = arp
        if op != ARP_REQUEST:
            self.counts["other_frames"] += 1
            return
        self.counts["arp_requests"] += 1
        target = str(ipaddress.IPv4Address(tpa))
        by_target = self.counts["requests_by_target"]
        by_target[target] = by_target.get(target, 0) + 1
        # The order of requests shows how many targets a scanner had in flight at once.
        if len(self.counts["request_sequence"]) < 10000:
            self.counts["request_sequence"].append(target)
        requester = f"{ipaddress.IPv4Address(spa)} {format_mac(sha)}"
        self.counts["requesters"][requester] = self.counts["requesters"].get(requester, 0) + 1
        host = self.hosts.get(tpa)
        if host is None or host.silent:
            return
        if self.rng.random() < host.request_loss:
            self.counts["requests_dropped"] += 1
            return
        reply = arp_frame(sha, host.mac, ARP_REPLY, host.mac, host.reply_ip, sha, spa)
        due = now + host.delay + (self.rng.uniform(0, host.jitter) if host.jitter else 0)
        for i in range(1 + host.duplicates):
            self.schedule(due + i * host.duplicate_gap, "reply", host, reply)

    def fire(self, kind, host, frame, now):
        if kind == "gratuitous":
            announce = arp_frame(BROADCAST, host.mac, ARP_REQUEST, host.mac, host.ip, ZERO_MAC,
                                 host.ip)
            self.send(announce)
            self.counts["gratuitous_sent"] += 1
            self.schedule(now + host.gratuitous_every, "gratuitous", host)
            return
        if self.rng.random() < host.reply_loss:
            self.counts["replies_dropped"] += 1
            return
        self.send(frame)
        self.counts["replies_sent"] += 1

    def send(self, frame):
        try:
            self.sock.send(frame)
        except BlockingIOError:
            select.select([], [self.sock], [], 0.05)
            self.sock.send(frame)

    def drain(self, now):
        while True:
            try:
                frame, address = self.sock.recvfrom(65535)
            except BlockingIOError:
                return
            except OSError:
                # The link went away (the lab is being removed): stop with what was counted.
                self.stopping = True
                return
            if address[2] == PACKET_OUTGOING:
                continue
            self.on_frame(frame, now)

    def run(self, deadline, ready_file):
        if ready_file:
            with open(ready_file, "w", encoding="utf-8") as f:
                f.write(f"{os.getpid()}\n")
        self.start_gratuitous(time.monotonic())
        while not self.stopping:
            now = time.monotonic()
            if deadline is not None and now >= deadline:
                break
            while self.timers and self.timers[0][0] <= now:
                _due, _seq, kind, host, frame = heapq.heappop(self.timers)
                self.fire(kind, host, frame, now)
            wait = 0.5
            if self.timers:
                wait = min(wait, max(0.0, self.timers[0][0] - time.monotonic()))
            if deadline is not None:
                wait = min(wait, max(0.0, deadline - now))
            readable, _, _ = select.select([self.sock, self.wakeup], [], [], wait)
            if self.sock in readable:
                self.drain(time.monotonic())
        self.write_counts()

    def write_counts(self):
        if not self.count_file:
            return
        tmp = self.count_file + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(self.counts, f, indent=1, sort_keys=True)
        os.replace(tmp, self.count_file)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--config", help="JSON configuration file")
    source.add_argument("--config-json", help="JSON configuration text")
    parser.add_argument("--interface", help="overrides the configuration's interface")
    parser.add_argument("--count-file", help="where the frame counts go on exit")
    parser.add_argument("--ready-file", help="written once the socket is bound")
    parser.add_argument("--duration", type=float, default=600.0,
                        help="seconds until the responder stops by itself (default 600)")
    args = parser.parse_args()

    if args.config:
        with open(args.config, encoding="utf-8") as f:
            config = json.load(f)
    else:
        config = json.loads(args.config_json)
    if args.interface:
        config["interface"] = args.interface
    try:
        responder = Responder(config, args.count_file)
    except (KeyError, ValueError, OSError) as error:
        print(f"arp_responder: {error}", file=sys.stderr)
        return 2

    def stop(_signum, _frame):
        responder.stopping = True

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    responder.run(time.monotonic() + args.duration, args.ready_file)
    return 0


if __name__ == "__main__":
    sys.exit(main())
