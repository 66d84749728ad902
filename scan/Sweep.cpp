// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/Sweep.h"

#include <thread>

#include "scan/SweepLink.h"
#include "scan/SweepParts.h"

namespace talvik::sweep {

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

}  // namespace talvik::sweep

namespace talvik {

using sweep::LinkSweep;
using sweep::Reporter;

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
