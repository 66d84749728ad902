#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the ARP parser fuzzer with clang's libFuzzer and runs it for a bounded time; fails on
# any crash, sanitizer report or broken invariant. FUZZ_SECONDS overrides the time;
# TALVIK_WERROR=ON makes warnings fail the build.
set -euo pipefail
cd "$(dirname "$0")/.."

out=build/fuzz
seconds=${FUZZ_SECONDS:-60}

cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTALVIK_BUILD_GUI=OFF \
    -DTALVIK_BUILD_TESTS=OFF -DTALVIK_BUILD_FUZZER=ON -DTALVIK_SANITIZE='address;undefined' \
    "-DTALVIK_WERROR=${TALVIK_WERROR:-OFF}" > /dev/null
cmake --build "$out" -j2 --target arp_parse_fuzzer

# Seeds: a reply to us, so the search starts inside the interesting part.
mkdir -p "$out/corpus"
printf '\x02\x7a\x00\x00\x00\x01\x00\x0c\x29\x3a\x4b\x5c\x08\x06\x00\x01\x08\x00\x06\x04\x00\x02\x00\x0c\x29\x3a\x4b\x5c\xcb\x00\x71\x0a\x02\x7a\x00\x00\x00\x01\xcb\x00\x71\x01' \
    > "$out/corpus/reply"

"$out/bin/arp_parse_fuzzer" -max_total_time="$seconds" -max_len=2048 -print_final_stats=1 \
    "$out/corpus" 2>&1 | tail -n 20
