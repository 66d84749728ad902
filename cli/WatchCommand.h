// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// talvik-scan --watch: listens to the ARP of the targets' interfaces, scans them again now and
// then, and prints each event the moment it happens until SIGINT or SIGTERM.

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/Options.h"
#include "netlink/LinkInterfaces.h"
#include "netlink/NetworkIdentity.h"
#include "scan/ArpWire.h"

namespace talvik::cli {

// What the watch takes from the system; the command gives the real ones, tests their own.
struct WatchPorts {
    // Null: it cannot listen, and `noWires` says why.
    IArpWires* wires = nullptr;
    std::shared_ptr<IArpWires> ownWires;  // keeps `wires` where the ports own it
    std::string noWires;
    // One scan of `options`, its result as CSV on `out`; gives the scan's exit status.
    std::function<int(const ScanOptions& options, std::FILE* out, std::FILE* err,
                      const sigset_t& stopSignals)>
        scan;
    // The interfaces that are up, with their addresses.
    std::function<std::optional<std::vector<LinkInterface>>()> links = ReadLinkInterfaces;
    std::function<std::optional<NetworkIdentity>(std::uint32_t)> identify = IdentifyNetwork;
};

// Runs until one of `stopSignals` comes (they must be blocked in every thread). Events go to
// `out` as text or JSON lines, notes to `err`. 0 when stopped; 4 when device memory failed on
// the way (the watch went on without it); 1 when there was nothing it could watch; 2 for an
// --exec it cannot run; 3 when the events could not be written.
int RunWatch(const ScanOptions& options, std::FILE* out, std::FILE* err,
             const sigset_t& stopSignals, WatchPorts ports);

// The system's own: the wires of the platform, RunScan, the kernel's interfaces.
WatchPorts WatchPortsOfSystem();

}  // namespace talvik::cli
