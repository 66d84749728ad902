// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One scan without a window: the engine on the headless ports, the names of the hosts that
// answered, and the result in the format asked for.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "cli/Options.h"
#include "report/ResultExport.h"

namespace talvik::cli {

inline constexpr int kExitAllAsked = 0;
inline constexpr int kExitSomeNotAsked = 1;
inline constexpr int kExitBadUsage = 2;
inline constexpr int kExitWriteFailed = 3;
// Device memory was on or asked for, but could not be read or written.
inline constexpr int kExitMemoryFailed = 4;
inline constexpr int kExitInterrupted = 130;

// The exit status for a finished result: 4 when device memory failed, else 1 when some target
// was not asked or did not resolve.
int ExitStatusOf(const ExportResult& result, bool interrupted, bool memoryFailed = false);

// The text format: one aligned line per host that answered (every target with `all`).
std::string BuildTextOutput(const ExportResult& result, bool all);

// The line that sums a scan up for people, without its line break.
// `targets`: how many the run had, where the result leaves out silent rows.
std::string SummaryLine(const ExportResult& result, double seconds, bool interrupted,
                        std::size_t targets = 0);

// Waits up to `wait` for one of `signals`; whether one came.
bool TakeStopSignal(const sigset_t& signals, std::chrono::milliseconds wait);

// A notice as one line of standard error, in the command's own name: the lines of the window's
// box text joined, and nothing in it that could act on a terminal.
std::string NoticeLine(std::string_view note);

// The formats that print each host the moment it answers (text, jsonl): one line per host,
// written whole and flushed, from any thread. csv and json print nothing here.
class LiveOutput {
public:
    // `live`: the run prints its rows as they come (a run frame by frame, which may take
    // minutes); else text and jsonl come whole at the end, with the hosts' names.
    LiveOutput(OutputFormat format, std::FILE* out, bool live = true)
        : format_(format), out_(out), live_(live) {}
    bool Streams() const {
        return live_ && (format_ == OutputFormat::Text || format_ == OutputFormat::JsonLines);
    }
    void Answered(const ExportHost& host);
    // The rest once the run is over: the rows not printed yet that `all` asks for.
    std::string Rest(const ExportResult& result, bool all) const;
    // Why a line could not be written; empty while all went out.
    std::string Failure() const;

private:
    OutputFormat format_;
    std::FILE* out_;
    bool live_;
    mutable std::mutex mutex_;
    std::vector<std::string> printed_;  // targets already out, in order
    std::string failure_;
};

// Writes `text` to `out` (nothing: standard output was closed) and flushes it. False, with a line
// on `err` that says why, when it did not all get there.
bool WriteResult(std::FILE* out, std::string_view text, std::FILE* err);

// Runs the scan. SIGINT and SIGTERM must be blocked in every thread before it is called: it
// waits for them itself and ends the scan early when one comes. Writes the result to `out`,
// notes, progress (when `progress`) and the summary to `err`; `out` is null when standard output
// was closed. Gives the exit status.
int RunScan(const ScanOptions& options, std::FILE* out, std::FILE* err, bool progress,
            const sigset_t& stopSignals);

}  // namespace talvik::cli
