#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets up, builds and runs every test: format check, plain build (with the network lab and the
# end-to-end first scan through the installed window), AddressSanitizer and
# UndefinedBehaviorSanitizer build, the scan engine under ThreadSanitizer, the fuzzer, and the
# Debian package checked by lintian.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# Our own builds hold the code to its warnings; fuzz.sh and package.sh read this too.
export TALVIK_WERROR=ON

echo "== format check"
./scripts/check-format.sh

echo "== licence lines"
./scripts/check-spdx.sh

echo "== resources"
./scripts/check-res.sh

echo "== files and lines"
./scripts/rooms.sh --check

echo "== plain build"
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVIK_WERROR=ON
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"

echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug "-DTALVIK_SANITIZE=address;undefined" \
    -DTALVIK_WERROR=ON
cmake --build build/asan -j "$jobs"
# The lab and the end-to-end run were already made in the plain build; under the sanitizers
# they would only measure the sanitizers.
ctest --test-dir build/asan --output-on-failure -j "$jobs" -LE 'lab|e2e'

echo "== ThreadSanitizer (scan engine)"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTALVIK_BUILD_GUI=OFF -DTALVIK_SANITIZE=thread \
    -DTALVIK_WERROR=ON
cmake --build build/tsan -j "$jobs"
ctest --test-dir build/tsan --output-on-failure -j "$jobs" -L tsan

if [ -x scripts/fuzz.sh ]; then
    echo "== fuzzing"
    ./scripts/fuzz.sh
fi

echo "== Debian package"
./scripts/package.sh build/package
# Errors fail the run; warnings are shown.
lintian --allow-root --fail-on error build/package/talvik_*.deb
