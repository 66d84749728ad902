#!/usr/bin/env bash
# Builds the ARP parser fuzzer with clang's libFuzzer and runs it for a bounded time; fails on
# any crash, sanitizer report or broken invariant. FUZZ_SECONDS overrides the time.
set -euo pipefail
cd "$(dirname "$0")/.."

out=build/fuzz
mkdir -p "$out/corpus"
seconds=${FUZZ_SECONDS:-60}

clang++ -std=c++20 -O1 -g -I. -Wall -Wextra -Werror \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    tests/fuzz/arp_parse_fuzzer.cpp platform/ArpFrame.cpp platform/HelperProtocol.cpp \
    platform/NeighbourTable.cpp -o "$out/arp_parse_fuzzer"

# Seeds: a reply to us, so the search starts inside the interesting part.
printf '\x02\x7a\x00\x00\x00\x01\x00\x0c\x29\x3a\x4b\x5c\x08\x06\x00\x01\x08\x00\x06\x04\x00\x02\x00\x0c\x29\x3a\x4b\x5c\xcb\x00\x71\x0a\x02\x7a\x00\x00\x00\x01\xcb\x00\x71\x01' \
    > "$out/corpus/reply"

"$out/arp_parse_fuzzer" -max_total_time="$seconds" -max_len=2048 -print_final_stats=1 \
    "$out/corpus" 2>&1 | tail -n 20
