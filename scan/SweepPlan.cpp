// SPDX-License-Identifier: GPL-3.0-or-later
// A large run's plan on one interface: the order of the first pass, the probes that learn the
// link's loss, and the rounds of repeats that loss calls for.
#include "scan/SweepLink.h"
#include "scan/SweepParts.h"

namespace talvik::sweep {

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

}  // namespace talvik::sweep
