// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// When a silent address of a large run is worth asking again. A clean wire loses next to no
// frames, so one ask tells; a lossy one hides live hosts behind lost requests and replies, most
// of them where other hosts already answered. The run learns its link's loss from itself, by
// asking hosts that just answered once more, and weighs each repeat by what it may still find.

#include <cstdint>

namespace talvik {

// Hosts that answered, asked once more directly: how many of those asks came back.
struct LossProbes {
    std::uint32_t asked = 0;
    std::uint32_t answered = 0;
};

// The share of asks the link loses on the way there or back. With few probes it leans to a
// small loss rather than to none, and with none it assumes a fair one.
double EstimateLoss(const LossProbes& probes);

// The share of a neighbourhood's addresses (a /24) that are live, from those that answered
// there, drawn towards the whole run's share where the neighbourhood says little.
double NeighbourhoodDensity(std::uint32_t found, std::uint32_t asked, std::uint32_t runFound,
                            std::uint32_t runAsked);

// The chance that one more ask of an address that stayed silent after `asks` asks finds a host.
double RepeatYield(double loss, double density, int asks);

// The asks every silent address gets, however empty its neighbourhood: two once the probes
// show the link losing frames, so that a lone host there is missed only when both asks are
// lost; one where nothing was seen lost, which is every clean wire.
int LeastAsks(const LossProbes& probes);

// Whether an address silent after `asks` asks is asked again: up to the least asks, then only
// while a frame still stands a fair chance of finding someone, never beyond a handful of asks.
bool AskAgain(const LossProbes& probes, double density, int asks);

inline constexpr int kMaxSweepAsks = 6;

}  // namespace talvik
