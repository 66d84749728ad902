// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// When the requests for one target go out, when it counts as silent, and how fast frames may
// leave at all.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talvik {

struct ArpSchedule {
    // Offsets of each request from the first; the first is 0.
    // A silent target holds a worker until giveUp, so it is short; answers that come later
    // still count for as long as the scan listens, which is what the retries are then for.
    std::vector<std::chrono::milliseconds> sends{
        std::chrono::milliseconds(0), std::chrono::milliseconds(30), std::chrono::milliseconds(90)};
    // A target that has not answered this long after the first request frees its worker.
    std::chrono::milliseconds giveUp{100};

    static constexpr std::size_t kMaxSends = 8;
    static constexpr std::chrono::milliseconds kMaxGiveUp{10000};

    // 1..kMaxSends offsets, the first 0, strictly rising, all before giveUp <= kMaxGiveUp.
    bool Valid() const;
    // "0,75,150/300": the offsets, a slash, the give-up time, all in milliseconds.
    std::string ToText() const;
    static std::optional<ArpSchedule> FromText(std::string_view text);
};

// Spaces frames out to `perSecond` on average while letting `burst` go at once.
// Not thread-safe; the caller serialises it.
class SendPacer final {
public:
    using Clock = std::chrono::steady_clock;
    SendPacer(int perSecond, int burst);
    // The earliest moment the next frame may go, given the time now; books that moment.
    Clock::time_point Reserve(Clock::time_point now);

private:
    Clock::duration interval_;
    Clock::duration allowance_;
    Clock::time_point theoretical_{};
};

}  // namespace talvik
