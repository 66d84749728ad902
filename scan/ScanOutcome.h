// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// How a scan ended, as its threads count it and the engine reports it.

#include "scan/Ports.h"

namespace talvik {

// What became of the probes of one scan that could not really be made, and what the senders
// noted; counted by the workers, read once they have all ended.
struct ScanOutcome {
    int linkDown = 0;     // its interface down, gone or without carrier
    int refused = 0;      // the system refused the send
    int descriptors = 0;  // no descriptor to be had for it
    int helperLost = 0;   // the helper ended and nothing took over for it
    int failed = 0;       // any other failure of the sender
    int offLink = 0;      // no direct way to it, or a loopback address: nothing was sent
    ScanNotes::Snapshot notes;

    int NotAsked() const { return linkDown + refused + descriptors + helperLost + failed; }
};

}  // namespace talvik
