// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Runs too large for the engine the window uses, and runs with a pace or interfaces of their
// own: each target routed as the kernel would, every interface's targets asked over its wire.

#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "cli/Options.h"
#include "cli/ScanCommand.h"
#include "report/ResultExport.h"
#include "scan/ArpWire.h"

namespace talvik::cli {

struct SweepPhase {
    ExportResult result;
    bool interrupted = false;
    // Set when the run ended before anything was asked: the exit status, its line said.
    std::optional<int> exitStatus;
};

// What each row of a run is, before anything is sent: its address (0: a name that did not
// resolve) and the interface it leaves by, or why it is not asked.
struct RoutedRow {
    std::uint32_t address = 0;
    int link = -1;     // index into RoutedRun::links; -1: not asked (see `why`) or own address
    bool own = false;  // one of our own addresses: its MAC is the interface's
    NotAskedReason why = NotAskedReason::OffLink;
    int down = -1;  // LinkDown: index into RoutedRun::downLinks
};
struct RoutedRun {
    std::vector<std::string> links;                    // interface names, in the order first met
    std::vector<std::array<std::uint8_t, 6>> ownMacs;  // per link
    std::vector<std::string> downLinks;  // interfaces that are down, that targets are on
    std::vector<RoutedRow> rows;
    std::size_t notOnChosen = 0;  // rows whose way leaves by an interface not given
};

// Routes every row; names are resolved first. `error` and exit status 2 or 1 when an interface
// given by --interface does not exist or is down.
std::optional<RoutedRun> RouteTargets(const ScanOptions& options, std::string& error, int& status);

// `describe` adds what the command knows of a host that answered before it is printed.
SweepPhase RunSweepPhase(const ScanOptions& options, IArpWires& wires, LiveOutput& live,
                         const std::function<void(ExportHost&)>& describe, std::FILE* err,
                         bool progress, const sigset_t& stopSignals);

}  // namespace talvik::cli
