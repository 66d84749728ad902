// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The serving side of talvik-arp: reads probe, cancel and sweep records from the engine, runs
// the probes on a bounded pool of threads and writes one answer per probe. Until the engine
// cancels or sweeps a probe (at most kMaxOutstanding of them), a silent one gets a late answer
// and an answered one gathers other hosts answering in its name for the sweep.

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
