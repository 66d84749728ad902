// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One scan without a window: the engine on the headless ports, the names of the hosts that
// answered, and the result in the format asked for.

#include <csignal>
#include <cstdio>
#include <string>

#include "cli/Options.h"
#include "report/ResultExport.h"

namespace talvik::cli {

inline constexpr int kExitAllAsked = 0;
inline constexpr int kExitSomeNotAsked = 1;
inline constexpr int kExitBadUsage = 2;
// Device memory was on or asked for, but could not be read or written.
inline constexpr int kExitMemoryFailed = 4;
inline constexpr int kExitInterrupted = 130;

// The exit status for a finished result: 4 when device memory failed, else 1 when some target
// was not asked or did not resolve.
int ExitStatusOf(const ExportResult& result, bool interrupted, bool memoryFailed = false);

// The text format: one aligned line per host that answered (every target with `all`).
std::string BuildTextOutput(const ExportResult& result, bool all);

// The line that sums a scan up for people, without its line break.
std::string SummaryLine(const ExportResult& result, double seconds, bool interrupted);

// Runs the scan. SIGINT and SIGTERM must be blocked in every thread before it is called: it
// waits for them itself and ends the scan early when one comes. Writes the result to `out`,
// notes, progress (when `progress`) and the summary to `err`. Gives the exit status.
int RunScan(const ScanOptions& options, std::FILE* out, std::FILE* err, bool progress,
            const sigset_t& stopSignals);

}  // namespace talvik::cli
