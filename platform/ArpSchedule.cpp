// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/ArpSchedule.h"

#include <algorithm>
#include <charconv>

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
    : interval_(std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) /
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

std::chrono::milliseconds LingerGap(const LingerPlan& plan, std::uint32_t n, std::uint64_t seed) {
    using std::chrono::milliseconds;
    const long long most = std::max<long long>(1, plan.maxGap.count());
    long long base = std::clamp<long long>(plan.firstGap.count(), 1, most);
    for (std::uint32_t i = 0; i < n && base < most; ++i) {
        base = std::min(most, base * std::max(100, plan.growthPercent) / 100);
    }
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

LingerAsker::LingerAsker(LingerPlan plan, int perSecond) : plan_(plan), pacer_(perSecond, 1) {}

void LingerAsker::Add(std::uint64_t key, Clock::time_point from, Clock::time_point until,
                      std::uint64_t seed, std::uint64_t group, int groupPerSecond) {
    Remove(key);
    const Clock::time_point due = from + LingerGap(plan_, 0, seed);
    if (due >= until) {
        return;
    }
    targets_[key] = Target{due, until, seed, group, 0};
    queue_.emplace(due, key);
    groups_.try_emplace(group, Group{SendPacer(groupPerSecond, 1), 0}).first->second.targets++;
}

void LingerAsker::Remove(std::uint64_t key) {
    const auto found = targets_.find(key);
    if (found == targets_.end()) {
        return;
    }
    queue_.erase({found->second.due, key});
    const auto group = groups_.find(found->second.group);
    if (group != groups_.end() && --group->second.targets == 0) {
        groups_.erase(group);
    }
    targets_.erase(found);
}

std::vector<LingerAsker::Ask> LingerAsker::Take(Clock::time_point now) {
    std::vector<Ask> asks;
    auto next = queue_.begin();
    while (next != queue_.end() && next->first <= now && pacer_.NextFree(now) <= now) {
        const std::uint64_t key = next->second;
        Target& target = targets_.at(key);
        if (now >= target.until) {
            ++next;
            Remove(key);
            continue;
        }
        SendPacer& groupPacer = groups_.at(target.group).pacer;
        if (groupPacer.NextFree(now) > now) {
            ++next;
            continue;
        }
        pacer_.Reserve(now);
        groupPacer.Reserve(now);
        next = queue_.erase(next);
        asks.push_back(Ask{key, target.n});
        target.due = now + LingerGap(plan_, ++target.n, target.seed);
        if (target.due >= target.until) {
            queue_.emplace(target.due, key);  // Remove takes it out of the queue again
            Remove(key);
        } else {
            // Due later than now: it lands after every entry still to be looked at.
            queue_.emplace(target.due, key);
        }
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
