// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The serving side of talvik-arp: reads probe and cancel records from the engine, runs the
// probes on a bounded pool of threads and writes one answer per probe, and a late answer for a
// probe that ended silent until the engine cancels it (at most kMaxOutstanding of them).

#include <functional>

#include "scan/Ports.h"

namespace talvik {

class ArpHelperServer final {
public:
    static constexpr int kWorkers = 64;
    static constexpr std::size_t kMaxOutstanding = 1024;

    ArpHelperServer(int channel, IArpSender& sender) : channel_(channel), sender_(sender) {}

    // Serves until the engine closes its end (true) or sends anything malformed or a
    // duplicate id (false). Probes still running are stopped before it returns. `started`,
    // when given, hears whether every worker thread could be had, before anything is read;
    // without them it does not serve (false).
    bool Run(const std::function<void(bool)>& started = nullptr);

private:
    int channel_;
    IArpSender& sender_;
};

}  // namespace talvik
