// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Starting, greeting and ending talvik-arp, whichever way it serves.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "os/UniqueFd.h"

namespace talvik {

// Starts the helper at `path` with `args`, on its standard input and output the socket
// `theirs`, which is closed here once the helper holds it; its standard error goes nowhere when
// `quiet`. The helper ends with the thread that calls this. Its pid, or -1.
pid_t SpawnHelper(const std::string& path, UniqueFd& theirs, const std::vector<std::string>& args,
                  bool quiet);

// Waits a moment for a helper whose channel closed to end, then ends it.
void ReapHelper(pid_t child);

// Reads all of `bytes` from `fd` before `deadline`, byte by byte if it comes so: a helper that
// stalls halfway must not hold its caller. False on an end, an error or the deadline.
bool ReadBefore(int fd, std::span<std::uint8_t> bytes,
                std::chrono::steady_clock::time_point deadline);

}  // namespace talvik
