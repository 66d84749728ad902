// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/WireListener.h"

#include <chrono>
#include <cstdio>

namespace talvik {

namespace {

constexpr std::chrono::milliseconds kGather(50);
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
    : name_(wire->Interface()),
      poster_(std::move(poster)),
      heard_(std::move(heard)),
      note_(std::move(note)),
      ear_(
          wires, std::move(wire), [this](const std::vector<HeardArp>& frames) { OnFrames(frames); },
          [this](const EarNote& said) { OnSaid(said); }, kGather) {}

void WireListener::OnFrames(const std::vector<HeardArp>& frames) {
    if (pending_->load() >= kPendingBatches) {
        dropped_ += frames.size();
        return;
    }
    Heard batch;
    batch.when = WallMillis();
    batch.lost = dropped_;
    dropped_ = 0;
    batch.claims.reserve(frames.size());
    for (const HeardArp& frame : frames) {
        batch.claims.push_back({frame.senderAddress, Dashed(frame.senderMac), {}});
    }
    ++*pending_;
    poster_->Post([heard = heard_, pending = pending_, batch = std::move(batch)] {
        --*pending;
        heard(batch);
    });
}

void WireListener::OnSaid(const EarNote& said) {
    std::string text;
    switch (said.kind) {
        case EarNote::Kind::HelperEnded:
            text = "监听 " + name_ + " 的辅助进程已结束，正在重新启动。";
            break;
        case EarNote::Kind::ListeningAgain:
            text = "已重新开始监听 " + name_ + "。";
            break;
        case EarNote::Kind::CannotListen:
            text = said.why;
            break;
        case EarNote::Kind::FramesLost:
            text = "网络上的 ARP 帧过多，" + name_ + " 上有 " + std::to_string(said.lost) +
                   " 个未能接收。";
            break;
    }
    poster_->Post([note = note_, text = std::move(text)] { note(text); });
}

}  // namespace talvik
