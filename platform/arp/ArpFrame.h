// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Ethernet frames carrying ARP for IPv4, built and checked without touching the network.
// Addresses are in host byte order; frames are in wire order.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "os/MacAddress.h"

namespace talvik {

inline constexpr std::size_t kArpFrameSize = 42;  // Ethernet header (14) + ARP for IPv4 (28)
inline constexpr std::uint16_t kEtherTypeArp = 0x0806;
inline constexpr std::uint16_t kArpRequest = 1;
inline constexpr std::uint16_t kArpReply = 2;

using ArpFrame = std::array<std::uint8_t, kArpFrameSize>;

// A broadcast who-has for `targetIp`, told from `sourceMac`/`sourceIp`.
ArpFrame BuildArpRequest(const MacAddress& sourceMac, std::uint32_t sourceIp,
                         std::uint32_t targetIp);
// The same question sent to `destinationMac` alone, as the kernel asks a neighbour it knows:
// an access point keeps such a frame for a dozing device, where a broadcast is simply lost.
ArpFrame BuildUnicastArpRequest(const MacAddress& sourceMac, std::uint32_t sourceIp,
                                std::uint32_t targetIp, const MacAddress& destinationMac);

// The fields of a well-formed Ethernet/IPv4 ARP packet of any opcode.
struct ArpPacket {
    MacAddress ethernetDestination{};
    MacAddress ethernetSource{};
    std::uint16_t opcode = 0;
    MacAddress senderMac{};
    std::uint32_t senderIp = 0;
    MacAddress targetMac{};
    std::uint32_t targetIp = 0;
};

// Nothing unless `frame` is Ethernet type 0x0806 with hardware type 1, protocol 0x0800 and
// address lengths 6 and 4. Trailing bytes (Ethernet padding) are allowed.
std::optional<ArpPacket> ParseArpPacket(std::span<const std::uint8_t> frame);

// What one outstanding request waits for.
struct ArpQuestion {
    MacAddress ourMac{};
    std::uint32_t ourIp = 0;
    std::uint32_t targetIp = 0;
};

// The target's MAC when `packet` is its reply to `question`: opcode 2, sent by the target's
// address to our address and MAC, from a usable unicast MAC that is not our own.
std::optional<MacAddress> MatchArpReply(const ArpPacket& packet, const ArpQuestion& question);

// The target's MAC when `packet` is the target speaking on its own: a request from its address
// (for anyone, itself included) or a gratuitous reply announcing it, from a usable unicast MAC
// that is not our own. A probe from 0.0.0.0 names no address and counts for nothing.
std::optional<MacAddress> MatchUnsolicitedArp(const ArpPacket& packet, const ArpQuestion& question);

}  // namespace talvik
