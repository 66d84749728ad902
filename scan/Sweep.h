// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Runs too large to ask target by target: each interface's targets asked frame by frame over its
// wire, at a pace the network survives, silent ones asked again only as often as the link's loss
// calls for, and each answer handed on the moment it comes.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "scan/ArpWire.h"
#include "scan/Ports.h"

namespace talvik {

struct SweepTarget {
    std::uint32_t address = 0;  // host byte order
    std::size_t row = 0;        // the caller's row
};

// The targets that leave by one interface, and its wire.
struct SweepLink {
    IArpWire* wire = nullptr;
    std::vector<SweepTarget> targets;
    // MACs last seen at addresses of this link (a store, the kernel's table): asked directly too,
    // and a measure of the link's loss.
    std::vector<KnownDevice> known;
};

struct SweepOptions {
    // Every frame sent on one interface, whatever it asks, per second.
    int framesPerSecond = 500;
    // How long after a silent target's last ask its answer still counts.
    std::chrono::milliseconds lateWindow{500};
};

// Called from the sweep's threads, one call at a time.
struct SweepEvents {
    // An answer for `row`: again with another MAC where two hosts claim one address.
    std::function<void(std::size_t row, const std::array<std::uint8_t, 6>& mac)> answered;
    // `row` could not really be asked.
    std::function<void(std::size_t row, NotAskedReason why)> notAsked;
    // Now and then: addresses asked at least once, hosts found, and the time still to go.
    std::function<void(std::size_t asked, std::size_t found, std::chrono::milliseconds left)>
        progress;
};

// Runs every link at once, each at its own pace, until each target answered or was asked as
// often as its link calls for and its late window passed, or `stop` is requested.
void RunSweep(std::span<SweepLink> links, const SweepOptions& options, const SweepEvents& events,
              std::stop_token stop);

}  // namespace talvik
