// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/Sweep.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "scan/SweepPace.h"
#include "scan/SweepParts.h"
#include "scan/SweepRepeats.h"

namespace talvik {

namespace {

using Clock = std::chrono::steady_clock;
using Mac = std::array<std::uint8_t, 6>;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// Hosts that answered, asked once more each to learn the link's loss; enough to tell a clean
// wire from a lossy one, few enough to cost nothing worth counting.
constexpr std::size_t kLossProbes = 64;
// Where few hosts answer, each of the first few is asked this often, so that a sparse network
// tells a lossy link from a clean one as well as a busy one does.
constexpr std::uint8_t kProbesEach = 4;
constexpr std::uint32_t kFewHosts = kLossProbes / kProbesEach;
// A probe waits this long after the answer it follows, so that a second copy of that answer is
// not taken for the probe's; a host's next probe a little, so that one burst of loss on the
// link does not take them all.
constexpr milliseconds kProbeDelay{100};
constexpr milliseconds kProbeSpacing{20};
// How long a probe's answer is waited for: a few times the host's first answer took, and never
// less than a busy machine may add to a prompt one.
constexpr milliseconds kProbePatience{100};
// A long first pass learns the link's loss while it runs, up to this many probes, one at a time
// between its asks: on a lossy link the first probes lost end the probing, and the second asks
// follow the pass at once. Where only a few late windows of the pass are left, the probes go in
// its closing late window, where on a clean wire they cost no time.
constexpr std::uint32_t kProbesWhilePassing = kFewHosts;
constexpr int kWindowsLeftToProbe = 4;
// Rounds of repeats at most; each asks a target once, and no target more than kMaxSweepAsks.
constexpr int kMaxRounds = 2 * kMaxSweepAsks;
constexpr milliseconds kProgressEvery{250};
// The longest single wait for frames: a stop wakes it anyway, progress should not wait longer.
constexpr milliseconds kLongestHear{100};

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

void LinkSweep::Prepare() {
    const auto& targets = link_.targets;
    const auto count = static_cast<std::uint32_t>(targets.size());
    asks_.assign(count, 0);
    state_.assign(count, 0);
    lastAsk_.assign(count, 0);
    byAddress_.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        byAddress_[i] = i;
    }
    std::sort(byAddress_.begin(), byAddress_.end(), [&](std::uint32_t a, std::uint32_t b) {
        return targets[a].address < targets[b].address;
    });
    order_ = byAddress_;
    const auto key = [&](std::uint32_t i) {
        const std::uint32_t address = targets[i].address;
        return (address & 0xFFFFFF00u) | ScatterRank(static_cast<std::uint8_t>(address));
    };
    std::stable_sort(order_.begin(), order_.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); });
    for (std::uint32_t at = 0; at < count; ++at) {
        if (blocks_.empty() || (targets[order_[at]].address >> 8) !=
                                   (targets[order_[blocks_.back().begin]].address >> 8)) {
            blocks_.push_back(Block{at, at, at, 0, false});
        }
        blocks_.back().end = at + 1;
    }
    firstLeft_ = count;
    for (const auto& device : link_.known) {
        if (const auto target = Find(device.address)) {
            if (known_.emplace(*target, device.mac).second) {
                knownFirst_.push_back(*target);
            }
        }
    }
}

std::optional<std::uint32_t> LinkSweep::Find(std::uint32_t address) const {
    const auto at = std::lower_bound(
        byAddress_.begin(), byAddress_.end(), address,
        [&](std::uint32_t i, std::uint32_t value) { return link_.targets[i].address < value; });
    if (at == byAddress_.end() || link_.targets[*at].address != address) {
        return std::nullopt;
    }
    return *at;
}

std::size_t LinkSweep::BlockOf(std::uint32_t target) const {
    const std::uint32_t prefix = link_.targets[target].address >> 8;
    const auto at = std::lower_bound(
        blocks_.begin(), blocks_.end(), prefix, [&](const Block& block, std::uint32_t value) {
            return (link_.targets[order_[block.begin]].address >> 8) < value;
        });
    return static_cast<std::size_t>(at - blocks_.begin());
}

// Neighbourhoods where someone answered are asked through first; the others a few addresses
// at a time, in turn, until someone answers there too.
std::optional<std::uint32_t> LinkSweep::NextFirstAsk() {
    while (!hot_.empty()) {
        Block& block = blocks_[hot_.front()];
        if (block.cursor == block.end) {
            hot_.pop_front();
            continue;
        }
        return order_[block.cursor++];
    }
    for (std::size_t tried = 0; tried < blocks_.size(); ++tried) {
        Block& block = blocks_[scout_];
        scout_ = (scout_ + 1) % blocks_.size();
        if (block.cursor != block.end) {
            return order_[block.cursor++];
        }
    }
    return std::nullopt;
}

// What the probes told so far, those whose answer may still come counted as back (`hopeful`)
// or as lost.
LossProbes LinkSweep::Probes(Clock::time_point now, bool hopeful) const {
    LossProbes probes;
    for (const auto& probe : probes_) {
        const bool waiting = probe.asked > 0 && now < probe.last + probe.patience;
        probes.asked += probe.asked;
        probes.answered += waiting && hopeful ? probe.asked : probe.answered;
    }
    return probes;
}

// The probe to go next; none once those back already show the link lossy, whatever the rest
// would say.
std::optional<std::size_t> LinkSweep::NextProbe(Clock::time_point now) const {
    std::optional<std::size_t> next;
    if (LeastAsks(Probes(now, true)) > 1) {
        return next;
    }
    for (std::size_t i = 0; i < probes_.size(); ++i) {
        if (probes_[i].asked < probes_[i].wanted &&
            (!next || probes_[i].due < probes_[*next].due)) {
            next = i;
        }
    }
    return next;
}

// When the last probe still unanswered counts as lost; none when every one is settled.
std::optional<Clock::time_point> LinkSweep::ProbesSettled(Clock::time_point now) const {
    std::optional<Clock::time_point> settled;
    for (const auto& probe : probes_) {
        const auto lost = probe.last + probe.patience;
        if (probe.answered < probe.asked && now < lost) {
            settled = std::max(settled.value_or(lost), lost);
        }
    }
    return settled;
}

// The next round of repeats: every silent target the link's loss and its neighbourhood still
// call for, those asked longest ago first, so that none waits for its late window while others
// could go. False when none is left.
//
// The run is never louder than two asks of every address that stayed silent: the asks every
// silent address is owed go first, and asks beyond them, busiest neighbourhoods first, only as
// far as the frames left under that bound allow.
bool LinkSweep::PlanRound(Clock::time_point now) {
    // Probes still out count as back: fewer repeats now, and more in the next round should
    // their answers not come.
    const LossProbes probes = Probes(now, true);
    const PlanBasis from{found_, probes.asked, probes.answered, frames_};
    if (plannedFrom_ == from) {
        return false;
    }
    plannedFrom_ = from;
    round_.clear();
    const int least = LeastAsks(probes);
    std::vector<std::pair<double, std::size_t>> busiest;
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        busiest.emplace_back(
            NeighbourhoodDensity(blocks_[b].found, blocks_[b].end - blocks_[b].begin, found_,
                                 static_cast<std::uint32_t>(link_.targets.size())),
            b);
    }
    std::stable_sort(busiest.begin(), busiest.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::uint32_t> round, more;
    for (const auto& [density, b] : busiest) {
        for (std::uint32_t at = blocks_[b].begin; at < blocks_[b].end; ++at) {
            const std::uint32_t target = order_[at];
            if (state_[target] != 0 || asks_[target] == 0) {
                continue;
            }
            if (asks_[target] < least) {
                round.push_back(target);
            } else if (AskAgain(probes, density, asks_[target])) {
                more.push_back(target);
            }
        }
    }
    const std::uint64_t bound = 2 * static_cast<std::uint64_t>(link_.targets.size()) - found_;
    const std::uint64_t committed = frames_ + round.size();
    more.resize(std::min<std::uint64_t>(more.size(), bound - std::min(bound, committed)));
    round.insert(round.end(), more.begin(), more.end());
    std::stable_sort(round.begin(), round.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return lastAsk_[a] < lastAsk_[b]; });
    round_.assign(round.begin(), round.end());
    rounds_ += round_.empty() ? 0 : 1;
    return !round_.empty();
}

bool LinkSweep::AskNow(std::uint32_t target, const Mac* to) {
    for (int attempt = 0;; ++attempt) {
        const int error = wire_.Ask(link_.targets[target].address, to);
        if (error == 0) {
            break;
        }
        if (Transient(error) && attempt < 3) {
            std::this_thread::sleep_for(milliseconds(1));
            continue;
        }
        // Once asked, a later ask that failed leaves it silent: it was heard for before.
        if (asks_[target] == 0 && state_[target] == 0) {
            state_[target] = kNotAsked;
            reporter_.NotAsked(link_.targets[target].row, WhyNotAsked(error));
        }
        return false;
    }
    if (asks_[target] == 0) {
        counts_.asked.fetch_add(1);
    }
    asks_[target] = static_cast<std::uint8_t>(std::min<int>(asks_[target] + 1, 255));
    lastAsk_[target] = NowMs();
    return true;
}

void LinkSweep::Take(const HeardArp& frame) {
    // A reply to us: our MAC, or the address we asked from (an interface may have several).
    const bool toUs =
        frame.targetMac == wire_.OwnMac() || frame.targetAddress == wire_.OwnAddress();
    if (frame.opcode != 2 || !toUs || frame.senderMac == wire_.OwnMac()) {
        return;
    }
    const auto target = Find(frame.senderAddress);
    if (!target || asks_[*target] == 0) {
        return;
    }
    auto& macs = macs_[*target];
    if (std::find(macs.begin(), macs.end(), frame.senderMac) != macs.end()) {
        // Each answer after the first probe is one probe's, whichever: only the count matters.
        for (auto& probe : probes_) {
            if (probe.target == *target && probe.asked > 0 && frame.when >= probe.first &&
                probe.answered < probe.asked) {
                ++probe.answered;
            }
        }
        return;
    }
    macs.push_back(frame.senderMac);
    reporter_.Answered(link_.targets[*target].row, frame.senderMac);
    if (state_[*target] == kAnswered) {
        return;  // a second host claims the address: told, but nothing else changes
    }
    state_[*target] = kAnswered;
    ++found_;
    counts_.found.fetch_add(1);
    Block& block = blocks_[BlockOf(*target)];
    ++block.found;
    if (!block.hot && block.cursor != block.end) {
        block.hot = true;
        hot_.push_back(static_cast<std::uint32_t>(&block - blocks_.data()));
    }
    if (probesWanted_ < kLossProbes) {
        const auto wanted = static_cast<std::uint8_t>(std::min<std::size_t>(
            found_ <= kFewHosts ? kProbesEach : 1, kLossProbes - probesWanted_));
        probesWanted_ += wanted;
        const auto took = frame.when - (start_ + milliseconds(lastAsk_[*target]));
        const auto patience =
            std::clamp(std::chrono::duration_cast<milliseconds>(3 * took) + kProbePatience,
                       kProbePatience, std::max(window_, kProbePatience));
        probes_.push_back(
            Probe{*target, Clock::now() + kProbeDelay, {}, {}, patience, wanted, 0, 0});
    }
}

void LinkSweep::Hear(milliseconds timeout) {
    heard_.clear();
    const int error = wire_.Hear(heard_, timeout);
    for (const auto& frame : heard_) {
        Take(frame);
    }
    if (error != 0) {
        // Nothing more can be heard: whatever still waited for an answer was not really asked.
        GiveUp(WhyNotAsked(error), Clock::now() - window_);
    }
}

void LinkSweep::GiveUp(NotAskedReason why, Clock::time_point since) {
    const auto sinceMs = static_cast<std::uint32_t>(std::max<std::int64_t>(
        0, std::chrono::duration_cast<milliseconds>(since - start_).count()));
    for (std::uint32_t target = 0; target < state_.size(); ++target) {
        if (state_[target] == 0 && (asks_[target] == 0 || lastAsk_[target] >= sinceMs)) {
            state_[target] = kNotAsked;
            reporter_.NotAsked(link_.targets[target].row, why);
        }
    }
    firstLeft_ = 0;
    round_.clear();
    failed_ = true;
}

void LinkSweep::Report(Clock::time_point now, bool force) {
    if (!force && now - lastProgress_ < kProgressEvery) {
        return;
    }
    lastProgress_ = now;
    const auto frames = firstLeft_ + round_.size() + knownFirst_.size();
    const auto left = std::chrono::duration_cast<milliseconds>(pace_.TimeFor(frames)) + window_;
    counts_.leftMs.store(left.count());
    reporter_.Progress();
}

void LinkSweep::Run(std::stop_token stop) {
    Prepare();
    const std::stop_callback wake(stop, [this] { wire_.Wake(); });
    while (!stop.stop_requested() && !failed_) {
        const auto now = Clock::now();
        Report(now, false);
        // What goes next: the known devices by their MACs, the first pass, the probes (in the
        // time the first pass's last answers take anyway), then the rounds of repeats, each ask
        // once the answer to the one before had its time.
        std::optional<std::uint32_t> target;
        std::optional<Mac> to;
        std::optional<std::size_t> probe;
        std::optional<Clock::time_point> wait;
        const auto dueProbe = NextProbe(now);
        const bool probeNow = dueProbe && probes_[*dueProbe].due <= now;
        const bool probeWhilePassing =
            probeNow && firstLeft_ > 0 && probesWhilePassing_ < kProbesWhilePassing &&
            !ProbesSettled(now) && pace_.TimeFor(firstLeft_) > kWindowsLeftToProbe * window_;
        if (!knownFirst_.empty()) {
            target = knownFirst_.front();
            knownFirst_.pop_front();
            to = known_.at(*target);
        } else if (firstLeft_ > 0 && !probeWhilePassing) {
            while (firstLeft_ > 0 && !target) {
                --firstLeft_;
                const auto next = NextFirstAsk();
                if (next && state_[*next] == 0 && asks_[*next] == 0) {
                    target = next;
                }
            }
        } else if (probeNow) {
            probesWhilePassing_ += firstLeft_ > 0 ? 1 : 0;
            probe = dueProbe;
            target = probes_[*probe].target;
            to = macs_.at(*target).front();
        } else if (!round_.empty()) {
            const std::uint32_t next = round_.front();
            const auto ready = start_ + milliseconds(lastAsk_[next]) + window_;
            if (state_[next] != 0) {
                round_.pop_front();
                continue;
            }
            if (ready > now) {
                wait = ready;  // its answer may still be on the way
            } else {
                round_.pop_front();
                target = next;
                if (const auto known = known_.find(next); known != known_.end()) {
                    to = known->second;
                }
            }
        } else if (dueProbe) {
            wait = probes_[*dueProbe].due;
        } else if (const auto settled = ProbesSettled(now);
                   settled && LeastAsks(Probes(now, true)) != LeastAsks(Probes(now, false))) {
            wait = *settled;  // whether the link is lossy hangs on the probes still out
        } else if (rounds_ < kMaxRounds && PlanRound(now)) {
            continue;
        } else if (settled) {
            wait = *settled;  // a last round may hang on them
        } else if (now < lastTargetAsk_ + window_) {
            wait = lastTargetAsk_ + window_;  // a probe's answer is no host to wait for
        } else {
            break;
        }
        if (target) {
            const auto at = start_ + pace_.Next(now - start_);
            while (Clock::now() < at && !stop.stop_requested()) {
                const auto left = at - Clock::now();
                const auto whole = std::chrono::duration_cast<milliseconds>(left);
                Hear(std::min(whole, kLongestHear));
                if (whole.count() == 0) {
                    std::this_thread::sleep_until(at);
                }
            }
            if (stop.stop_requested() || failed_ || (!probe && state_[*target] != 0)) {
                continue;
            }
            const auto asked = Clock::now();
            const bool sent = AskNow(*target, to ? &*to : nullptr);
            if (sent) {
                ++frames_;
                lastTargetAsk_ = probe ? lastTargetAsk_ : asked;
                pace_.Sent(asked - start_);
            }
            if (probe) {
                Probe& next = probes_[*probe];
                if (!sent) {
                    next.wanted = next.asked;  // a frame that never left tells nothing
                } else {
                    next.first = next.asked == 0 ? asked : next.first;
                    next.last = asked;
                    ++next.asked;
                    next.due = asked + kProbeSpacing;
                }
            }
            Hear(milliseconds(0));
            continue;
        }
        if (!wait) {
            continue;  // the first pass ended on targets already answered
        }
        const auto whole = std::chrono::duration_cast<milliseconds>(*wait - now);
        Hear(std::clamp(whole, milliseconds(1), kLongestHear));
    }
    Report(Clock::now(), true);
}

}  // namespace

void RunSweep(std::span<SweepLink> links, const SweepOptions& options, const SweepEvents& events,
              std::stop_token stop) {
    Reporter reporter{events, {}, std::make_unique<Reporter::Counts[]>(links.size()), links.size()};
    std::vector<std::jthread> threads;
    threads.reserve(links.size());
    for (std::size_t i = 0; i < links.size(); ++i) {
        if (links[i].wire == nullptr) {
            for (const auto& target : links[i].targets) {
                reporter.NotAsked(target.row, NotAskedReason::Failed);
            }
            continue;
        }
        if (links[i].targets.empty()) {
            continue;
        }
        threads.emplace_back([&, i] {
            LinkSweep sweep(links[i], options, reporter, reporter.counts[i]);
            sweep.Run(stop);
        });
    }
    threads.clear();  // joins every link's thread
}

}  // namespace talvik
