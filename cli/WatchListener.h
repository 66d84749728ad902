// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A watch's listeners: one thread per interface that hears its wire, opens it again when it
// ends, and hands each claim to the watch's main thread through one inbox.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/Language.h"
#include "scan/ArpWire.h"
#include "store/WatchEvents.h"

namespace talvik::cli {

store::Millis NowMillis();
std::string DashedMac(const std::array<std::uint8_t, 6>& mac);

using Clock = std::chrono::steady_clock;
inline constexpr std::chrono::milliseconds kHearWait(500);
inline constexpr std::chrono::seconds kReopenEvery(1);
inline constexpr std::chrono::milliseconds kGather(20);
inline constexpr std::chrono::seconds kLostEvery(10);
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

// Hears one interface until stopped, opening its wire again when it ends.
class Listener {
public:
    Listener(IArpWires& wires, std::string name, std::unique_ptr<IArpWire> wire, Inbox& inbox,
             std::atomic<bool>& stop)
        : wires_(wires),
          name_(std::move(name)),
          wire_(std::move(wire)),
          inbox_(inbox),
          stop_(stop),
          thread_([this] { Loop(); }) {}
    ~Listener() {
        Wake();
        thread_.join();
    }
    void Wake() {
        const std::lock_guard lock(mutex_);
        if (wire_) {
            wire_->Wake();
        }
    }

private:
    void Note(std::string text) {
        inbox_.Put({Item::Kind::Note, name_, {}, 0, {}, std::move(text)});
    }
    void Loop() {
        std::vector<HeardArp> frames;
        while (!stop_) {
            frames.clear();
            const int error = wire_->Hear(frames, kHearWait);
            const auto steadyNow = Clock::now();
            const store::Millis now = NowMillis();
            for (const HeardArp& frame : frames) {
                const auto age =
                    std::chrono::duration_cast<std::chrono::milliseconds>(steadyNow - frame.when)
                        .count();
                inbox_.Put({Item::Kind::Frame,
                            name_,
                            {frame.senderAddress, DashedMac(frame.senderMac), {}},
                            now - std::max<std::int64_t>(age, 0),
                            {},
                            {}});
            }
            // A flood overran the wire: said now and then, never silently.
            if (const std::uint64_t lost = wire_->Lost();
                lost > lostSaid_ && steadyNow - lostAt_ >= kLostEvery) {
                Note(Format(Tr("%llu ARP frames on %s were lost to a flood"),
                            static_cast<unsigned long long>(lost - lostSaid_), name_.c_str()));
                lostSaid_ = lost;
                lostAt_ = steadyNow;
            }
            if (error != 0 && !stop_) {
                Reopen(error);
            } else if (!frames.empty()) {
                // The frames of the next moments are taken together: they wait in the socket.
                std::this_thread::sleep_for(kGather);
            }
        }
    }
    void Reopen(int error) {
        if (error == EPIPE) {
            Note(Format(Tr("the helper that listens on %s ended; starting it again"),
                        name_.c_str()));
        }
        {
            const std::lock_guard lock(mutex_);
            wire_.reset();
        }
        bool said = false;
        while (!stop_) {
            std::string why;
            if (auto wire = wires_.Open(name_, why)) {
                const std::lock_guard lock(mutex_);
                wire_ = std::move(wire);
                lostSaid_ = 0;
                Note(Format(Tr("listening on %s again"), name_.c_str()));
                return;
            }
            if (!said && error != ENODEV && error != ENETDOWN) {
                said = true;
                Note(Format(Tr("cannot listen on %s for now: %s"), name_.c_str(), why.c_str()));
            }
            for (auto until = Clock::now() + kReopenEvery; !stop_ && Clock::now() < until;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
    }

    IArpWires& wires_;
    std::string name_;
    std::mutex mutex_;
    std::unique_ptr<IArpWire> wire_;
    Inbox& inbox_;
    std::atomic<bool>& stop_;
    std::uint64_t lostSaid_ = 0;
    Clock::time_point lostAt_{};
    std::thread thread_;
};

}  // namespace talvik::cli
