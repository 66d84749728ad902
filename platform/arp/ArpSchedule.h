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
    // Takes the rate and burst of `other` from now on; what is booked stays booked.
    void Retune(const SendPacer& other);

private:
    Clock::duration interval_;
    Clock::duration allowance_;
    Clock::time_point theoretical_{};
};

// How a target that lingers silent is asked again while its late window lasts. A dozing device
// hears a broadcast only while awake, at an unknown phase of a cycle of unknown length; asks
// that sit close together cover a stretch of that cycle without overlapping for any cycle longer
// than the stretch, which scattered asks do not. So a target is asked in turns: a quick run of
// asks whose gaps start near a short wake time and grow, each jittered, until the gaps are slow.
// They grow fast enough to pass a beacon interval (102.4 ms) within a turn: an access point holds
// a broadcast to its next beacon, so asks between two beacons reach a device only once, and a
// device that wakes for one beacon in ten is met only by asks before ten different beacons.
struct LingerPlan {
    std::chrono::milliseconds firstGap{30};
    std::chrono::milliseconds maxGap{700};
    int growthPercent = 115;  // each gap before jitter, against the one before
    int jitterPercent = 15;   // each gap is moved by up to this share of itself, either way
    int turnAsks = 16;        // the most asks of one turn
};

// The gap before extra ask `n` (0 is the first) of a target whose jitter comes from `seed`.
std::chrono::milliseconds LingerGap(const LingerPlan& plan, std::uint32_t n, std::uint64_t seed);

// When the extra asks go, counted like `from` and `window` from the target's first request: the
// first one gap after `from`, none at or after `window`. The asks of a target that never waits
// for its turn.
std::vector<std::chrono::milliseconds> LingerOffsets(const LingerPlan& plan,
                                                     std::chrono::milliseconds from,
                                                     std::chrono::milliseconds window,
                                                     std::uint64_t seed);

// The extra asks of every lingering target of one sender, held together to `perSecond` frames
// however many targets linger, and each scan's (a group's) to its own pace. Only as many targets
// take their turn at once as their gaps leave room for in the pace; the rest wait in the order
// they came, and a turn is as long as the pace lets every waiting target have one before the
// windows end. A target back from its turn waits behind the others, its gaps still growing.
// Not thread-safe; the caller serialises it.
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
    // The rate all targets together keep to from now on.
    void SetPace(int perSecond);

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
        bool taking = false;      // in its turn, else waiting for one
        int turnAsks = 0;         // asks of its turn so far
        std::uint64_t place = 0;  // its place in the line while it waits
    };
    struct Group {
        SendPacer pacer;
        int perSecond = kFramesPerSecond;
        std::size_t targets = 0;
        std::size_t taking = 0;   // targets in their turn
        std::size_t unasked = 0;  // targets still without their first turn
        double rate = 0;          // what their gaps ask of the pace, frames per second
        Clock::time_point lastUntil{};
    };
    double Rate(const Target& target) const;
    // How many asks a turn of the group's targets may have now.
    int TurnLength(const Group& group, Clock::time_point now) const;
    // Lets waiting targets take their turn while the pace has room, and lets go of those whose
    // window ended while they waited.
    void StartTurns(Clock::time_point now);
    void Drop(std::uint64_t key);
    // Into its turn, or out of it, with its share of the pace.
    void JoinTurn(std::uint64_t key, Target& target, Group& group);
    void LeaveTurn(Target& target, Group& group);
    LingerPlan plan_;
    int perSecond_;
    SendPacer pacer_;
    double rate_ = 0;
    Clock::time_point lastNow_{};
    std::uint64_t nextPlace_ = 0;
    std::map<std::uint64_t, Target> targets_;
    std::map<std::uint64_t, Group> groups_;
    std::set<std::pair<Clock::time_point, std::uint64_t>> queue_;  // (due, key), in their turn
    std::set<std::pair<std::uint64_t, std::uint64_t>> line_;       // (place, key), waiting
};

}  // namespace talvik
