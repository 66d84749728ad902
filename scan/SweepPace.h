// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The pace of one interface in a large run, in whatever time the caller keeps (the sweep's
// clock, or a test's virtual one). Every frame that leaves the interface passes it: no second
// then carries more than the rate, and a sender that woke late may catch up a little.

#include <chrono>
#include <cstdint>

namespace talvik {

class FramePace final {
public:
    using Duration = std::chrono::nanoseconds;

    explicit FramePace(int framesPerSecond);

    // The earliest moment at or after `now` a frame may leave.
    Duration Next(Duration now) const;
    // A frame left at `at`, which is not before Next(at).
    void Sent(Duration at);
    // The time `frames` more frames take at this pace.
    Duration TimeFor(std::uint64_t frames) const;

private:
    // A cell-rate rule: frames are booked at `interval_` apart, and one may leave up to
    // `tolerance_` before its booked moment, which the constructor keeps at the rate for any
    // window a little over a second.
    Duration interval_{};
    Duration tolerance_{};
    Duration booked_{Duration::min()};
};

}  // namespace talvik
