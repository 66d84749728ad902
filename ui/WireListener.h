// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The window's ear on one interface while it keeps watch: what the wire's ear hears reaches the
// window's thread in batches, and what it says as notes. A flood cannot pile up batches the
// window has not taken yet: past a few, the frames are counted as lost and said.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "scan/ArpWire.h"
#include "scan/Ports.h"
#include "scan/WireEar.h"
#include "store/WatchEvents.h"

namespace talvik {

class WireListener final {
public:
    struct Heard {
        std::vector<store::Claim> claims;
        store::Millis when = 0;
        std::uint64_t lost = 0;  // frames dropped before these, since the last batch
    };
    // `heard` and `note` run on the window's thread, through `poster`.
    WireListener(IArpWires& wires, std::unique_ptr<IArpWire> wire,
                 std::shared_ptr<IUiPoster> poster, std::function<void(const Heard&)> heard,
                 std::function<void(const std::string&)> note);

private:
    void OnFrames(const std::vector<HeardArp>& frames);
    void OnSaid(const EarNote& note);

    std::string name_;
    std::shared_ptr<IUiPoster> poster_;
    std::function<void(const Heard&)> heard_;
    std::function<void(const std::string&)> note_;
    // Batches posted and not yet taken, shared with the closures that take them.
    std::shared_ptr<std::atomic<int>> pending_ = std::make_shared<std::atomic<int>>(0);
    std::uint64_t dropped_ = 0;
    WireEar ear_;  // last: its thread ends before the rest goes
};

// Milliseconds since the epoch, as the watch's rules count.
store::Millis WallMillis();

}  // namespace talvik
