// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One interface's part of a large run, shared by the files that hold its asking and its
// planning: not for use beyond RunSweep.

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "scan/Sweep.h"
#include "scan/SweepPace.h"
#include "scan/SweepRepeats.h"

namespace talvik::sweep {

using Clock = std::chrono::steady_clock;
using Mac = std::array<std::uint8_t, 6>;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// Hosts that answered, asked once more each to learn the link's loss; enough to tell a clean
// wire from a lossy one, few enough to cost nothing worth counting.
inline constexpr std::size_t kLossProbes = 64;
// Where few hosts answer, each of the first few is asked this often, so that a sparse network
// tells a lossy link from a clean one as well as a busy one does.
inline constexpr std::uint8_t kProbesEach = 4;
inline constexpr std::uint32_t kFewHosts = kLossProbes / kProbesEach;
// A probe waits this long after the answer it follows, so that a second copy of that answer is
// not taken for the probe's; a host's next probe a little, so that one burst of loss on the
// link does not take them all.
inline constexpr milliseconds kProbeDelay{100};
inline constexpr milliseconds kProbeSpacing{20};
// How long a probe's answer is waited for: a few times the host's first answer took, and never
// less than a busy machine may add to a prompt one.
inline constexpr milliseconds kProbePatience{100};
// A long first pass learns the link's loss while it runs, up to this many probes, one at a time
// between its asks: on a lossy link the first probes lost end the probing, and the second asks
// follow the pass at once. Where only a few late windows of the pass are left, the probes go in
// its closing late window, where on a clean wire they cost no time.
inline constexpr std::uint32_t kProbesWhilePassing = kFewHosts;
inline constexpr int kWindowsLeftToProbe = 4;
// Rounds of repeats at most; each asks a target once, and no target more than kMaxSweepAsks.
inline constexpr int kMaxRounds = 2 * kMaxSweepAsks;
inline constexpr milliseconds kProgressEvery{250};
// The longest single wait for frames: a stop wakes it anyway, progress should not wait longer.
inline constexpr milliseconds kLongestHear{100};

// What every link's thread reports through, one call at a time.
struct Reporter {
    const SweepEvents& events;
    std::mutex mutex;
    struct Counts {
        std::atomic<std::size_t> asked{0}, found{0};
        std::atomic<std::int64_t> leftMs{0};
    };
    std::unique_ptr<Counts[]> counts;
    std::size_t links = 0;

    void Answered(std::size_t row, const Mac& mac) {
        if (events.answered) {
            const std::lock_guard lock(mutex);
            events.answered(row, mac);
        }
    }
    void NotAsked(std::size_t row, NotAskedReason why) {
        if (events.notAsked) {
            const std::lock_guard lock(mutex);
            events.notAsked(row, why);
        }
    }
    void Progress() {
        if (!events.progress) {
            return;
        }
        std::size_t asked = 0, found = 0;
        std::int64_t left = 0;
        for (std::size_t i = 0; i < links; ++i) {
            asked += counts[i].asked.load();
            found += counts[i].found.load();
            left = std::max(left, counts[i].leftMs.load());
        }
        const std::lock_guard lock(mutex);
        events.progress(asked, found, milliseconds(left));
    }
};

class LinkSweep final {
public:
    LinkSweep(SweepLink& link, const SweepOptions& options, Reporter& reporter,
              Reporter::Counts& counts)
        : link_(link),
          wire_(*link.wire),
          window_(std::max(options.lateWindow, milliseconds(0))),
          pace_(options.framesPerSecond),
          reporter_(reporter),
          counts_(counts) {}

    void Run(std::stop_token stop);

private:
    struct Block {
        std::uint32_t begin = 0, end = 0;  // its targets in order_
        std::uint32_t cursor = 0;          // the next one the first pass asks
        std::uint32_t found = 0;
        bool hot = false;
    };
    // The probes of one host that answered: the next one's time, the first one's (answers
    // before it are not theirs), the last one's, how long an answer is waited for, and how
    // many went and came back.
    struct Probe {
        std::uint32_t target = 0;
        Clock::time_point due{}, first{}, last{};
        milliseconds patience{};
        std::uint8_t wanted = 1, asked = 0, answered = 0;
    };
    enum : std::uint8_t { kAnswered = 1, kNotAsked = 2 };

    void Prepare();
    std::optional<std::uint32_t> NextFirstAsk();
    LossProbes Probes(Clock::time_point now, bool hopeful) const;
    std::optional<std::size_t> NextProbe(Clock::time_point now) const;
    std::optional<Clock::time_point> ProbesSettled(Clock::time_point now) const;
    bool PlanRound(Clock::time_point now);
    void Hear(milliseconds timeout);
    void Take(const HeardArp& frame);
    bool AskNow(std::uint32_t target, const Mac* to);
    void GiveUp(NotAskedReason why, Clock::time_point since);
    void Report(Clock::time_point now, bool force);
    std::uint32_t NowMs() const {
        return static_cast<std::uint32_t>(
            std::chrono::duration_cast<milliseconds>(Clock::now() - start_).count());
    }
    std::size_t BlockOf(std::uint32_t target) const;
    std::optional<std::uint32_t> Find(std::uint32_t address) const;

    SweepLink& link_;
    IArpWire& wire_;
    milliseconds window_;
    FramePace pace_;
    Reporter& reporter_;
    Reporter::Counts& counts_;
    Clock::time_point start_ = Clock::now();

    // A few bytes per target: how often it was asked, when last (ms from the start), its state,
    // and where it stands in the order of asking.
    std::vector<std::uint8_t> asks_, state_;
    std::vector<std::uint32_t> lastAsk_, order_, byAddress_;
    std::vector<Block> blocks_;
    std::deque<std::uint32_t> hot_;
    std::size_t scout_ = 0;
    std::size_t firstLeft_ = 0;  // targets the first pass has still to ask
    // Only what answered or was known before: sparse.
    std::unordered_map<std::uint32_t, std::vector<Mac>> macs_;
    std::unordered_map<std::uint32_t, Mac> known_;
    std::deque<std::uint32_t> knownFirst_;
    std::vector<Probe> probes_;
    std::size_t probesWanted_ = 0;
    std::uint32_t probesWhilePassing_ = 0;
    std::deque<std::uint32_t> round_;  // the repeats of the current round
    int rounds_ = 0;
    // What the last round was planned from (hosts found, probes settled and back, frames sent):
    // nothing new, no new plan.
    using PlanBasis = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint64_t>;
    std::optional<PlanBasis> plannedFrom_;
    std::uint64_t frames_ = 0;
    Clock::time_point lastTargetAsk_{}, lastProgress_{};
    std::uint32_t found_ = 0;
    bool failed_ = false;
    std::vector<HeardArp> heard_;
};

}  // namespace talvik::sweep
