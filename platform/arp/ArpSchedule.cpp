// SPDX-License-Identifier: GPL-3.0-or-later
#include "arp/ArpSchedule.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace talvik {
namespace {

std::optional<long> ParseMilliseconds(std::string_view text) {
    long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < 0 || value > 1000000) {
        return std::nullopt;
    }
    return value;
}

// Jitter and the pacer's own spacing leave a turn's asks a little slower than its gaps say;
// promising the pace a tenth more keeps it full, and the pacer still holds it.
constexpr double kOvercommit = 1.1;

// splitmix64: cheap, well spread, and the same on every machine.
std::uint64_t Mix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

}  // namespace

bool ArpSchedule::Valid() const {
    if (sends.empty() || sends.size() > kMaxSends || sends.front().count() != 0 ||
        giveUp > kMaxGiveUp) {
        return false;
    }
    for (std::size_t i = 1; i < sends.size(); ++i) {
        if (sends[i] <= sends[i - 1]) {
            return false;
        }
    }
    return sends.back() < giveUp;
}

std::string ArpSchedule::ToText() const {
    // Appended piece by piece: GCC 12 at -O3 warns falsely about a literal + std::string.
    std::string text;
    for (std::size_t i = 0; i < sends.size(); ++i) {
        if (i) {
            text += ',';
        }
        text += std::to_string(sends[i].count());
    }
    text += '/';
    text += std::to_string(giveUp.count());
    return text;
}

std::optional<ArpSchedule> ArpSchedule::FromText(std::string_view text) {
    const auto slash = text.find('/');
    if (slash == std::string_view::npos) {
        return std::nullopt;
    }
    ArpSchedule schedule;
    schedule.sends.clear();
    std::string_view offsets = text.substr(0, slash);
    while (schedule.sends.size() <= kMaxSends) {
        const auto comma = offsets.find(',');
        const auto value = ParseMilliseconds(offsets.substr(0, comma));
        if (!value) {
            return std::nullopt;
        }
        schedule.sends.emplace_back(*value);
        if (comma == std::string_view::npos) {
            break;
        }
        offsets.remove_prefix(comma + 1);
    }
    const auto giveUp = ParseMilliseconds(text.substr(slash + 1));
    if (!giveUp) {
        return std::nullopt;
    }
    schedule.giveUp = std::chrono::milliseconds(*giveUp);
    if (!schedule.Valid()) {
        return std::nullopt;
    }
    return schedule;
}

SendPacer::SendPacer(int perSecond, int burst)
    // Rounded up: `perSecond` frames never quite fit into less than a second.
    : interval_((std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) +
                 Clock::duration(perSecond > 0 ? perSecond - 1 : 0)) /
                (perSecond > 0 ? perSecond : 1)),
      allowance_(interval_ * (burst > 1 ? burst - 1 : 0)) {}

SendPacer::Clock::time_point SendPacer::Reserve(Clock::time_point now) {
    if (theoretical_ < now) {
        theoretical_ = now;
    }
    Clock::time_point at = theoretical_ - allowance_;
    if (at < now) {
        at = now;
    }
    theoretical_ += interval_;
    return at;
}

SendPacer::Clock::time_point SendPacer::NextFree(Clock::time_point now) const {
    const Clock::time_point at = theoretical_ - allowance_;
    return at < now ? now : at;
}

void SendPacer::Retune(const SendPacer& other) {
    interval_ = other.interval_;
    allowance_ = other.allowance_;
}

namespace {

double BaseGapMs(const LingerPlan& plan, std::uint32_t n) {
    const double most = static_cast<double>(std::max<long long>(1, plan.maxGap.count()));
    const double first = std::clamp(static_cast<double>(plan.firstGap.count()), 1.0, most);
    const double growth = std::clamp(plan.growthPercent, 100, 1000) / 100.0;
    return std::min(most, first * std::pow(growth, static_cast<double>(std::min(n, 4096u))));
}

// A sender that wakes a little late would lose its slot for good, and a steady 0.3 ms costs a
// seventh of the pace; a few frames may catch up instead, and the rate is lowered by as many,
// so that no second ever holds more than `perSecond`. A hundredth more is kept back for frames
// that leave a little after the moment booked for them.
SendPacer HeldPacer(int perSecond) {
    const int burst = std::max(1, perSecond / 100);
    return SendPacer(perSecond - perSecond / 100 - burst + 1, burst);
}

}  // namespace

std::chrono::milliseconds LingerGap(const LingerPlan& plan, std::uint32_t n, std::uint64_t seed) {
    using std::chrono::milliseconds;
    const long long base = std::llround(BaseGapMs(plan, n));
    const long long spread = base * std::clamp(plan.jitterPercent, 0, 90) / 100;
    if (spread == 0) {
        return milliseconds(base);
    }
    const auto draw =
        static_cast<long long>(Mix(seed ^ Mix(n)) % static_cast<std::uint64_t>(2 * spread + 1));
    return milliseconds(base - spread + draw);
}

std::vector<std::chrono::milliseconds> LingerOffsets(const LingerPlan& plan,
                                                     std::chrono::milliseconds from,
                                                     std::chrono::milliseconds window,
                                                     std::uint64_t seed) {
    std::vector<std::chrono::milliseconds> offsets;
    std::chrono::milliseconds at = from;
    for (std::uint32_t n = 0;; ++n) {
        at += LingerGap(plan, n, seed);
        if (at >= window) {
            return offsets;
        }
        offsets.push_back(at);
    }
}

LingerAsker::LingerAsker(LingerPlan plan, int perSecond)
    : plan_(plan), perSecond_(perSecond > 0 ? perSecond : 1), pacer_(HeldPacer(perSecond_)) {}

void LingerAsker::SetPace(int perSecond) {
    perSecond_ = perSecond > 0 ? perSecond : 1;
    pacer_.Retune(HeldPacer(perSecond_));
    StartTurns(lastNow_);
}

double LingerAsker::Rate(const Target& target) const {
    return 1000.0 / BaseGapMs(plan_, target.n);
}

void LingerAsker::Add(std::uint64_t key, Clock::time_point from, Clock::time_point until,
                      std::uint64_t seed, std::uint64_t group, int groupPerSecond) {
    Drop(key);
    // `from` may lie ahead; the line is looked at as of the last Take, so that nobody waiting in
    // it is let go before its window really ends.
    const Clock::time_point due = from + LingerGap(plan_, 0, seed);
    if (due < until) {
        const int pace = groupPerSecond > 0 ? groupPerSecond : 1;
        Group& g = groups_.try_emplace(group, Group{HeldPacer(pace), pace}).first->second;
        g.targets++;
        g.unasked++;
        g.lastUntil = std::max(g.lastUntil, until);
        targets_[key] = Target{due, until, seed, group, 0, false, 0, nextPlace_};
        line_.emplace(nextPlace_++, key);
    }
    StartTurns(lastNow_);
}

void LingerAsker::Remove(std::uint64_t key) {
    Drop(key);
    StartTurns(lastNow_);
}

void LingerAsker::Drop(std::uint64_t key) {
    const auto found = targets_.find(key);
    if (found == targets_.end()) {
        return;
    }
    Target& target = found->second;
    const auto group = groups_.find(target.group);
    if (target.taking) {
        queue_.erase({target.due, key});
        LeaveTurn(target, group->second);
    } else {
        line_.erase({target.place, key});
    }
    if (target.n == 0) {
        group->second.unasked--;
    }
    if (--group->second.targets == 0) {
        groups_.erase(group);
    }
    targets_.erase(found);
}

void LingerAsker::JoinTurn(std::uint64_t key, Target& target, Group& group) {
    const double rate = Rate(target);
    rate_ += rate;
    group.rate += rate;
    group.taking++;
    target.taking = true;
    queue_.emplace(target.due, key);
}

void LingerAsker::LeaveTurn(Target& target, Group& group) {
    // Sums of doubles drift: an empty turn is counted as none at all.
    const double rate = Rate(target);
    rate_ = queue_.empty() ? 0 : std::max(0.0, rate_ - rate);
    group.rate = --group.taking == 0 ? 0 : std::max(0.0, group.rate - rate);
    target.taking = false;
}

int LingerAsker::TurnLength(const Group& group, Clock::time_point now) const {
    // As long as lets every target of the scan that has not had one a turn before the last
    // window ends; counted again at every ask, as targets come in while the first turns run.
    const double left = std::chrono::duration<double>(group.lastUntil - now).count();
    const double share =
        group.perSecond * left /
        static_cast<double>(std::max<std::size_t>(1, group.unasked + group.taking));
    return std::clamp(static_cast<int>(share), 1, std::max(1, plan_.turnAsks));
}

void LingerAsker::StartTurns(Clock::time_point now) {
    // Nobody passes the first in line who is kept waiting: not in its scan, nor at all when the
    // link's pace is what keeps it.
    bool linkFull = false;
    std::set<std::uint64_t> fullGroups;
    for (auto next = line_.begin(); next != line_.end();) {
        const std::uint64_t key = next->second;
        Target& target = targets_.at(key);
        ++next;
        if (now >= target.until) {
            Drop(key);
            continue;
        }
        Group& group = groups_.at(target.group);
        const double rate = Rate(target);
        // A scan always has one target in its turn, however slow its pace.
        if (group.taking > 0) {
            if (linkFull || fullGroups.count(target.group) != 0) {
                continue;
            }
            if (rate_ + rate > kOvercommit * perSecond_) {
                linkFull = true;
                continue;
            }
            if (group.rate + rate > kOvercommit * group.perSecond) {
                fullGroups.insert(target.group);
                continue;
            }
        }
        target.turnAsks = 0;
        line_.erase({target.place, key});
        target.due = std::max(target.due, now);
        JoinTurn(key, target, group);
    }
}

std::vector<LingerAsker::Ask> LingerAsker::Take(Clock::time_point now) {
    lastNow_ = std::max(lastNow_, now);
    StartTurns(now);
    std::vector<Ask> asks;
    while (pacer_.NextFree(now) <= now) {
        // The most overdue that its scan's pace lets go; those whose window ended go unasked.
        std::vector<std::uint64_t> ended;
        auto pick = queue_.end();
        for (auto at = queue_.begin(); at != queue_.end() && at->first <= now; ++at) {
            const Target& target = targets_.at(at->second);
            if (now >= target.until) {
                ended.push_back(at->second);
            } else if (groups_.at(target.group).pacer.NextFree(now) <= now) {
                pick = at;
                break;
            }
        }
        if (pick == queue_.end()) {
            if (ended.empty()) {
                break;
            }
            for (const std::uint64_t key : ended) {
                Drop(key);
            }
            StartTurns(now);
            continue;
        }
        const std::uint64_t key = pick->second;
        queue_.erase(pick);
        for (const std::uint64_t gone : ended) {
            Drop(gone);
        }
        Target& target = targets_.at(key);
        Group& group = groups_.at(target.group);
        pacer_.Reserve(now);
        group.pacer.Reserve(now);
        asks.push_back(Ask{key, target.n});
        // Out of its turn while its next gap is weighed; back in unless the turn or window ended.
        if (target.n == 0) {
            group.unasked--;
        }
        LeaveTurn(target, group);
        target.n++;
        target.turnAsks++;
        target.due = now + LingerGap(plan_, target.n, target.seed);
        target.place = nextPlace_++;
        if (target.due >= target.until) {
            Drop(key);
        } else if (target.turnAsks >= TurnLength(group, now)) {
            line_.emplace(target.place, key);
        } else {
            JoinTurn(key, target, group);
        }
        StartTurns(now);
    }
    return asks;
}

std::optional<LingerAsker::Clock::time_point> LingerAsker::NextWake(Clock::time_point now) const {
    std::optional<Clock::time_point> wake;
    for (const auto& [due, key] : queue_) {
        if (wake && due >= *wake) {
            break;
        }
        const Target& target = targets_.at(key);
        const Clock::time_point at = std::max(due, groups_.at(target.group).pacer.NextFree(now));
        if (!wake || at < *wake) {
            wake = at;
        }
    }
    if (wake) {
        wake = std::max(*wake, pacer_.NextFree(now));
    }
    return wake;
}

}  // namespace talvik
