// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A watch's listeners: one thread per interface that hears its wire, opens it again when it
// ends, and hands each claim to the watch's main thread through one inbox.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/Language.h"
#include "scan/ArpWire.h"
#include "scan/WireEar.h"
#include "store/WatchEvents.h"

namespace talvik::cli {

store::Millis NowMillis();
std::string DashedMac(const std::array<std::uint8_t, 6>& mac);

using Clock = std::chrono::steady_clock;
// Frames waiting for the main thread; a flood past this is dropped and counted.
inline constexpr std::size_t kFramesQueued = 20000;

// What the listeners and the scans hand to the main thread.
struct Item {
    enum class Kind { Frame, Scan, Note, Stop } kind = Kind::Note;
    std::string interfaceName;
    store::Claim claim;
    store::Millis when = 0;
    std::vector<store::Claim> rows;
    std::string text;
};

class Inbox {
public:
    void Put(Item item) {
        const std::lock_guard lock(mutex_);
        if (item.kind == Item::Kind::Frame && frames_ >= kFramesQueued) {
            ++dropped_;
            return;
        }
        frames_ += item.kind == Item::Kind::Frame ? 1 : 0;
        items_.push_back(std::move(item));
        wake_.notify_one();
    }
    std::deque<Item> Take(std::chrono::milliseconds wait, std::size_t& dropped) {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, wait, [&] { return !items_.empty(); });
        std::deque<Item> taken;
        taken.swap(items_);
        frames_ = 0;
        dropped = dropped_;
        dropped_ = 0;
        return taken;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> items_;
    std::size_t frames_ = 0;
    std::size_t dropped_ = 0;
};

// Hears one interface until gone, through an ear that opens its wire again when it ends; each
// frame and what the ear says go to the main thread's inbox.
class Listener {
public:
    Listener(IArpWires& wires, std::unique_ptr<IArpWire> wire, Inbox& inbox);

private:
    void Heard(const std::vector<HeardArp>& frames);
    void Said(const EarNote& note);

    std::string name_;
    Inbox& inbox_;
    WireEar ear_;  // last: its thread ends before the rest goes
};

}  // namespace talvik::cli
