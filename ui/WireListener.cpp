// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/WireListener.h"

#include <cerrno>
#include <chrono>
#include <cstdio>

namespace talvik {

namespace {

constexpr std::chrono::milliseconds kHearWait(500);
constexpr std::chrono::milliseconds kGather(50);
constexpr std::chrono::seconds kReopenEvery(1);
// Batches of about kGather each: a window busy for this long loses frames rather than memory.
constexpr int kPendingBatches = 40;

std::string Dashed(const std::array<std::uint8_t, 6>& m) {
    char text[18];
    std::snprintf(text, sizeof text, "%.2x-%.2x-%.2x-%.2x-%.2x-%.2x", m[0], m[1], m[2], m[3], m[4],
                  m[5]);
    return text;
}

}  // namespace

store::Millis WallMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

WireListener::WireListener(IArpWires& wires, std::unique_ptr<IArpWire> wire,
                           std::shared_ptr<IUiPoster> poster,
                           std::function<void(const Heard&)> heard,
                           std::function<void(const std::string&)> note)
    : wires_(wires),
      name_(wire->Interface()),
      poster_(std::move(poster)),
      heard_(std::move(heard)),
      note_(std::move(note)),
      wire_(std::move(wire)),
      thread_([this] { Loop(); }) {}

WireListener::~WireListener() {
    stop_ = true;
    {
        const std::lock_guard lock(mutex_);
        if (wire_) {
            wire_->Wake();
        }
    }
    thread_.join();
}

void WireListener::Post(std::function<void()> task) {
    poster_->Post(std::move(task));
}

void WireListener::Loop() {
    std::vector<HeardArp> frames;
    while (!stop_) {
        frames.clear();
        const int error = wire_->Hear(frames, kHearWait);
        if (!frames.empty()) {
            if (pending_->load() >= kPendingBatches) {
                dropped_ += frames.size();
            } else {
                Heard batch;
                batch.when = WallMillis();
                batch.lost = dropped_;
                dropped_ = 0;
                batch.claims.reserve(frames.size());
                for (const HeardArp& frame : frames) {
                    batch.claims.push_back({frame.senderAddress, Dashed(frame.senderMac), {}});
                }
                ++*pending_;
                Post([heard = heard_, pending = pending_, batch = std::move(batch)] {
                    --*pending;
                    heard(batch);
                });
            }
        }
        if (error != 0 && !stop_) {
            if (!Reopen(error)) {
                return;
            }
        } else if (!frames.empty()) {
            // The next moments' frames wait in the wire and are taken together.
            std::this_thread::sleep_for(kGather);
        }
    }
}

bool WireListener::Reopen(int error) {
    const auto say = [this](std::string text) {
        Post([note = note_, text = std::move(text)] { note(text); });
    };
    if (error == EPIPE) {
        say("监听 " + name_ + " 的辅助进程已结束，正在重新启动。");
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
            say("已重新开始监听 " + name_ + "。");
            return true;
        }
        if (!said) {
            said = true;
            say(why);
        }
        for (auto until = std::chrono::steady_clock::now() + kReopenEvery;
             !stop_ && std::chrono::steady_clock::now() < until;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    return false;
}

}  // namespace talvik
