// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// When the requests for one target go out, when it counts as silent, and how fast frames may
// leave at all.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
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
    // The same moment, without booking it.
    Clock::time_point NextFree(Clock::time_point now) const;

private:
    Clock::duration interval_;
    Clock::duration allowance_;
    Clock::time_point theoretical_{};
};

// How a target that lingers silent is asked again while its late window lasts. The gaps grow,
// so that a long window does not turn into a steady drizzle, and each is jittered so that the
// asks do not keep falling into the same phase of a dozing device's sleep.
struct LingerPlan {
    std::chrono::milliseconds firstGap{150};
    std::chrono::milliseconds maxGap{600};
    int growthPercent = 150;  // each gap before jitter, against the one before
    int jitterPercent = 20;   // each gap is moved by up to this share of itself, either way
};

// The gap before extra ask `n` (0 is the first) of a target whose jitter comes from `seed`.
std::chrono::milliseconds LingerGap(const LingerPlan& plan, std::uint32_t n, std::uint64_t seed);

// When the extra asks go, counted like `from` and `window` from the target's first request: the
// first one gap after `from`, none at or after `window`.
std::vector<std::chrono::milliseconds> LingerOffsets(const LingerPlan& plan,
                                                     std::chrono::milliseconds from,
                                                     std::chrono::milliseconds window,
                                                     std::uint64_t seed);

// The extra asks of every lingering target of one sender, held together to `perSecond` frames
// however many targets linger, and each scan's (a group's) to its own pace: when a rate holds an
// ask back, the most overdue that may go goes first, and the gaps after it count from when it
// really went. Not thread-safe; the caller serialises it.
class LingerAsker final {
public:
    using Clock = std::chrono::steady_clock;
    // The pace of a peer at its defaults.
    static constexpr int kFramesPerSecond = 500;

    explicit LingerAsker(LingerPlan plan = {}, int perSecond = kFramesPerSecond);

    // Asks `key` again from one gap after `from` until `until`; a key already held starts over.
    // A group's pace is the one its first target brought.
    void Add(std::uint64_t key, Clock::time_point from, Clock::time_point until, std::uint64_t seed,
             std::uint64_t group = 0, int groupPerSecond = kFramesPerSecond);
    void Remove(std::uint64_t key);

    struct Ask {
        std::uint64_t key = 0;
        std::uint32_t n = 0;  // 0 for a target's first extra ask
    };
    // The asks due by `now` that the rates let go now, each booked as made at `now`; a target
    // whose window has ended is let go without one.
    std::vector<Ask> Take(Clock::time_point now);
    // When Take may next give something; nothing while no target lingers.
    std::optional<Clock::time_point> NextWake(Clock::time_point now) const;
    std::size_t Size() const { return targets_.size(); }

private:
    struct Target {
        Clock::time_point due;
        Clock::time_point until;
        std::uint64_t seed = 0;
        std::uint64_t group = 0;
        std::uint32_t n = 0;
    };
    struct Group {
        SendPacer pacer;
        std::size_t targets = 0;
    };
    LingerPlan plan_;
    SendPacer pacer_;
    std::map<std::uint64_t, Target> targets_;
    std::map<std::uint64_t, Group> groups_;
    std::set<std::pair<Clock::time_point, std::uint64_t>> queue_;  // (due, key)
};

}  // namespace talvik
