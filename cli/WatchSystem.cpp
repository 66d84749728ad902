// SPDX-License-Identifier: GPL-3.0-or-later
// The watch on the system's own wires and scans.

#include "cli/Language.h"
#include "cli/ScanCommand.h"
#include "cli/WatchCommand.h"
#include "platform/Platform.h"

namespace talvik::cli {

WatchPorts WatchPortsOfSystem() {
    WatchPorts ports;
    ports.ownWires = MakeArpWires(ports.noWires);
    ports.wires = ports.ownWires.get();
    ports.scan = [](const ScanOptions& options, std::FILE* out, std::FILE* err,
                    const sigset_t& stopSignals) {
        return RunScan(options, out, err, false, stopSignals);
    };
    return ports;
}

}  // namespace talvik::cli
