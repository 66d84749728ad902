// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/SweepPace.h"

#include <algorithm>

namespace talvik {

namespace {
constexpr std::chrono::nanoseconds kSecond = std::chrono::seconds(1);
constexpr std::chrono::nanoseconds kJitter = std::chrono::milliseconds(5);
}  // namespace

FramePace::FramePace(int framesPerSecond) {
    const std::int64_t rate = std::max(1, framesPerSecond);
    // A wake-up that comes a frame or a few milliseconds late costs no frames; ten of them at
    // most, so a catch-up never amounts to a burst a Wi-Fi link would feel.
    burst_ =
        static_cast<int>(std::clamp<std::int64_t>(rate / 100, std::min<std::int64_t>(rate, 2), 10));
    const std::int64_t steady = rate - burst_ + 1;
    // The bound holds for a second and a little more, so that frames the link delivers a
    // moment late or early still never fill a second of the receiver's beyond the rate.
    const std::int64_t span = (kSecond + kJitter).count();
    interval_ = Duration((span + steady - 1) / steady);
    tolerance_ = interval_ * (burst_ - 1);
}

FramePace::Duration FramePace::Next(Duration now) const {
    if (booked_ == Duration::min()) {
        return now;
    }
    return std::max(now, booked_ - tolerance_);
}

void FramePace::Sent(Duration at) {
    booked_ = (booked_ == Duration::min() ? at : std::max(booked_, at)) + interval_;
}

FramePace::Duration FramePace::TimeFor(std::uint64_t frames) const {
    return interval_ * static_cast<std::int64_t>(frames);
}

}  // namespace talvik
