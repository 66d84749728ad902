// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/SweepPace.h"

#include <algorithm>

namespace talvik {

namespace {
constexpr std::chrono::nanoseconds kSecond = std::chrono::seconds(1);
constexpr std::chrono::nanoseconds kJitter = std::chrono::milliseconds(5);
constexpr std::chrono::nanoseconds kCatchUp = std::chrono::milliseconds(3);
}  // namespace

FramePace::FramePace(int framesPerSecond) {
    const std::int64_t rate = std::max(1, framesPerSecond);
    // A wake-up a few milliseconds late on a busy machine costs no frames: the next one may
    // leave up to that much before its booked moment. Every bit of it lengthens the interval,
    // so no more than a timer needs, and never ten frames at once, a burst a Wi-Fi link would
    // feel.
    tolerance_ = std::min<Duration>(kCatchUp, Duration(9 * kSecond.count() / rate));
    // The bound holds for a second and a little more, so that frames the link delivers a
    // moment late or early still never fill a second of the receiver's beyond the rate: any
    // window of W holds at most 1 + floor((W + tolerance) / interval) frames.
    const std::int64_t span = (kSecond + kJitter + tolerance_).count();
    interval_ = Duration(span / rate + 1);
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
