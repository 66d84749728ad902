// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The window's ear on one interface while it keeps watch: a thread of its own hears the wire and
// hands what it heard to the window's thread in batches, and opens the wire again when it ends
// (its helper died). A flood cannot pile up batches the window has not taken yet: past a few,
// the frames are counted as lost and said.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scan/ArpWire.h"
#include "scan/Ports.h"
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
    ~WireListener();
    WireListener(const WireListener&) = delete;
    WireListener& operator=(const WireListener&) = delete;

private:
    void Loop();
    bool Reopen(int error);
    void Post(std::function<void()> task);

    IArpWires& wires_;
    std::string name_;
    std::shared_ptr<IUiPoster> poster_;
    std::function<void(const Heard&)> heard_;
    std::function<void(const std::string&)> note_;
    std::mutex mutex_;
    std::unique_ptr<IArpWire> wire_;
    std::atomic<bool> stop_{false};
    // Batches posted and not yet taken, shared with the closures that take them.
    std::shared_ptr<std::atomic<int>> pending_ = std::make_shared<std::atomic<int>>(0);
    std::uint64_t dropped_ = 0;
    std::thread thread_;
};

// Milliseconds since the epoch, as the watch's rules count.
store::Millis WallMillis();

}  // namespace talvik
