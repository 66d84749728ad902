#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Runs one command and times it from its own spawn to its exit, so that this reader's start-up
is never in the figure; each line of its output is written to OUT as it comes.

  stamp.py [--jsonl] OUT ELAPSED -- COMMAND...

--jsonl: the command prints `talvik-scan --format jsonl`; each answered host becomes a line
"found MS ADDRESS MAC" (MS from the spawn) instead. ELAPSED gets the wall time in ms.
"""
import json
import subprocess
import sys
import time


def main():
    args = sys.argv[1:]
    jsonl = args[:1] == ["--jsonl"]
    args = args[1:] if jsonl else args
    out_path, elapsed_path = args[0], args[1]
    command = args[args.index("--") + 1:]
    with open(out_path, "w", encoding="utf-8") as out:
        start = time.monotonic()
        process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        for line in process.stdout:
            if not jsonl:
                out.write(line)
                continue
            host = json.loads(line)
            if host.get("state") == "answered":
                ms = int((time.monotonic() - start) * 1000)
                out.write("found %d %s %s\n" % (ms, host["address"], host["mac"]))
        code = process.wait()
        elapsed = int((time.monotonic() - start) * 1000)
    with open(elapsed_path, "w", encoding="utf-8") as f:
        f.write("%d\n" % elapsed)
    sys.exit(code)


if __name__ == "__main__":
    main()
