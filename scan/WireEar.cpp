// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/WireEar.h"

#include <cerrno>

namespace talvik {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kHearWait(500);
constexpr std::chrono::seconds kReopenEvery(1);
constexpr std::chrono::seconds kLostEvery(10);

}  // namespace

WireEar::WireEar(IArpWires& wires, std::unique_ptr<IArpWire> wire, Heard heard, Said said,
                 std::chrono::milliseconds gather)
    : wires_(wires),
      name_(wire->Interface()),
      heard_(std::move(heard)),
      said_(std::move(said)),
      gather_(gather),
      wire_(std::move(wire)),
      thread_([this] { Loop(); }) {}

WireEar::~WireEar() {
    stop_ = true;
    {
        const std::lock_guard lock(mutex_);
        if (wire_) {
            wire_->Wake();
        }
    }
    thread_.join();
}

void WireEar::Loop() {
    std::vector<HeardArp> frames;
    while (!stop_) {
        frames.clear();
        const int error = wire_->Hear(frames, kHearWait);
        if (!frames.empty()) {
            heard_(frames);
        }
        // A flood overran the wire: said now and then, never silently.
        if (const std::uint64_t lost = wire_->Lost();
            lost > lostSaid_ && Clock::now() - lostAt_ >= kLostEvery) {
            said_({EarNote::Kind::FramesLost, {}, 0, lost - lostSaid_});
            lostSaid_ = lost;
            lostAt_ = Clock::now();
        }
        if (error != 0 && !stop_) {
            if (!Reopen(error)) {
                return;
            }
        } else if (!frames.empty()) {
            // The next moments' frames wait in the wire and are taken together.
            std::this_thread::sleep_for(gather_);
        }
    }
}

bool WireEar::Reopen(int error) {
    if (error == EPIPE) {
        said_({EarNote::Kind::HelperEnded, {}, error, 0});
    }
    {
        const std::lock_guard lock(mutex_);
        wire_.reset();
    }
    bool told = false;
    while (!stop_) {
        std::string why;
        if (auto wire = wires_.Open(name_, why)) {
            {
                const std::lock_guard lock(mutex_);
                wire_ = std::move(wire);
            }
            lostSaid_ = 0;
            said_({EarNote::Kind::ListeningAgain, {}, 0, 0});
            return true;
        }
        if (!told) {
            told = true;
            said_({EarNote::Kind::CannotListen, why, error, 0});
        }
        for (auto until = Clock::now() + kReopenEvery; !stop_ && Clock::now() < until;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    return false;
}

}  // namespace talvik
