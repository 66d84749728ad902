// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/SweepRepeats.h"

#include <algorithm>
#include <cmath>

namespace talvik {

namespace {
// Below this many hosts found per frame a repeat costs the network more than it gives. On a
// wire that lost nothing in a few dozen probes no repeat reaches it; at one frame in five lost,
// busy neighbourhoods get three asks and empty ones stay at one, fewer frames in all than two
// asks of everything and more hosts found where hosts gather, as they do.
constexpr double kWorthAFrame = 0.002;
// How many addresses' worth of the run's share a neighbourhood's own count is weighed against.
constexpr double kPriorWeight = 64.0;
// The estimated loss from which a link counts as lossy. A probe or two lost of dozens is a busy
// host, not the link: it takes five of 64 (or two of 20) to get there, which one frame in ten
// lost each way gives nearly always and a clean wire never.
constexpr double kLossyLink = 0.08;
}  // namespace

double EstimateLoss(const LossProbes& probes) {
    const double asked = probes.asked;
    const double lost = probes.asked - std::min(probes.answered, probes.asked);
    if (probes.asked == 0) {
        return 0.2;
    }
    return std::clamp((lost + 0.5) / (asked + 1.0), 0.0, 0.95);
}

double NeighbourhoodDensity(std::uint32_t found, std::uint32_t asked, std::uint32_t runFound,
                            std::uint32_t runAsked) {
    const double runShare = runAsked == 0 ? 0.0 : static_cast<double>(runFound) / runAsked;
    return std::clamp((found + runShare * kPriorWeight) / (asked + kPriorWeight), 0.0, 1.0);
}

double RepeatYield(double loss, double density, int asks) {
    loss = std::clamp(loss, 0.0, 1.0);
    density = std::clamp(density, 0.0, 1.0);
    // Bayes: live and missed every time, against not there at all.
    const double missed = density * std::pow(loss, std::max(asks, 0));
    const double silent = missed + (1.0 - density);
    return silent <= 0.0 ? 0.0 : missed / silent * (1.0 - loss);
}

int LeastAsks(const LossProbes& probes) {
    const bool lostSome = probes.answered < probes.asked;
    return lostSome && EstimateLoss(probes) >= kLossyLink ? 2 : 1;
}

bool AskAgain(const LossProbes& probes, double density, int asks) {
    if (asks >= kMaxSweepAsks) {
        return false;
    }
    return asks < LeastAsks(probes) ||
           RepeatYield(EstimateLoss(probes), density, asks) >= kWorthAFrame;
}

}  // namespace talvik
