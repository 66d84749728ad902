#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes the responder's configuration for one large-run scenario of the lab, and the expected
"address mac" lines beside it.

  sweep_hosts.py CONFIG EXPECTED INTERFACE SEED BLOCK... [--live N] [--late N] [--loss P]
                 [--dozing N]

Each BLOCK is a /24 as A.B.C; the live hosts are spread evenly over the blocks, each at a
seeded random address (.1 to .254). --late of them answer 300 ms late, --dozing of them hear a
broadcast only 30 ms of every 500 ms, and every host loses --loss of the frames each way.
"""

import argparse
import json
import random


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("config")
    parser.add_argument("expected")
    parser.add_argument("interface")
    parser.add_argument("seed", type=int)
    parser.add_argument("blocks", nargs="+")
    parser.add_argument("--live", type=int, required=True)
    parser.add_argument("--late", type=int, default=0)
    parser.add_argument("--loss", type=float, default=0.0)
    parser.add_argument("--dozing", type=int, default=0)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    per_block = [args.live // len(args.blocks) + (i < args.live % len(args.blocks))
                 for i in range(len(args.blocks))]
    hosts = []
    for block, count in zip(args.blocks, per_block):
        for octet in sorted(rng.sample(range(1, 255), count)):
            a, b, c = (int(x) for x in block.split("."))
            hosts.append({"ip": f"{block}.{octet}",
                          "mac": f"02:2b:{a & 0xff:02x}:{b:02x}:{c:02x}:{octet:02x}",
                          "request_loss": args.loss, "reply_loss": args.loss})
    rng.shuffle(hosts)
    for host in hosts[:args.late]:
        host["delay_ms"] = 300
    for host in hosts[args.late:args.late + args.dozing]:
        host.update(doze_cycle_ms=500, doze_wake_ms=30, doze_phase_ms=rng.randrange(500))
    with open(args.config, "w", encoding="utf-8") as f:
        json.dump({"interface": args.interface, "seed": args.seed, "hosts": hosts}, f)
    with open(args.expected, "w", encoding="utf-8") as f:
        f.writelines(f"{h['ip']} {h['mac']}\n" for h in hosts)


if __name__ == "__main__":
    main()
