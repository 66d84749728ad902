// SPDX-License-Identifier: GPL-3.0-or-later
#include "arp/ArpFrame.h"

#include <algorithm>

namespace talvik {
namespace {

constexpr std::uint16_t kHardwareEthernet = 1;
constexpr std::uint16_t kProtocolIpv4 = 0x0800;
constexpr MacAddress kBroadcastMac = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

void Put16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

void Put32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
}

std::uint16_t Get16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

std::uint32_t Get32(const std::uint8_t* at) {
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) |
           (std::uint32_t{at[2]} << 8) | std::uint32_t{at[3]};
}

MacAddress GetMac(const std::uint8_t* at) {
    MacAddress mac;
    std::copy_n(at, mac.size(), mac.begin());
    return mac;
}

}  // namespace

ArpFrame BuildArpRequest(const MacAddress& sourceMac, std::uint32_t sourceIp,
                         std::uint32_t targetIp) {
    ArpFrame frame{};
    std::uint8_t* p = frame.data();
    std::copy(kBroadcastMac.begin(), kBroadcastMac.end(), p);
    std::copy(sourceMac.begin(), sourceMac.end(), p + 6);
    Put16(p + 12, kEtherTypeArp);
    Put16(p + 14, kHardwareEthernet);
    Put16(p + 16, kProtocolIpv4);
    p[18] = 6;
    p[19] = 4;
    Put16(p + 20, kArpRequest);
    std::copy(sourceMac.begin(), sourceMac.end(), p + 22);
    Put32(p + 28, sourceIp);
    // Target hardware address stays zero: that is what we ask for.
    Put32(p + 38, targetIp);
    return frame;
}

ArpFrame BuildUnicastArpRequest(const MacAddress& sourceMac, std::uint32_t sourceIp,
                                std::uint32_t targetIp, const MacAddress& destinationMac) {
    ArpFrame frame = BuildArpRequest(sourceMac, sourceIp, targetIp);
    std::copy(destinationMac.begin(), destinationMac.end(), frame.begin());
    return frame;
}

std::optional<ArpPacket> ParseArpPacket(std::span<const std::uint8_t> frame) {
    if (frame.size() < kArpFrameSize) {
        return std::nullopt;
    }
    const std::uint8_t* p = frame.data();
    if (Get16(p + 12) != kEtherTypeArp || Get16(p + 14) != kHardwareEthernet ||
        Get16(p + 16) != kProtocolIpv4 || p[18] != 6 || p[19] != 4) {
        return std::nullopt;
    }
    ArpPacket packet;
    packet.ethernetDestination = GetMac(p);
    packet.ethernetSource = GetMac(p + 6);
    packet.opcode = Get16(p + 20);
    packet.senderMac = GetMac(p + 22);
    packet.senderIp = Get32(p + 28);
    packet.targetMac = GetMac(p + 32);
    packet.targetIp = Get32(p + 38);
    return packet;
}

std::optional<MacAddress> MatchArpReply(const ArpPacket& packet, const ArpQuestion& question) {
    if (packet.opcode != kArpReply || packet.senderIp != question.targetIp ||
        packet.targetIp != question.ourIp || packet.targetMac != question.ourMac) {
        return std::nullopt;
    }
    // Replies are normally unicast to us; a few stacks broadcast them, which is still an answer.
    if (packet.ethernetDestination != question.ourMac &&
        packet.ethernetDestination != kBroadcastMac) {
        return std::nullopt;
    }
    if (!IsUnicastMac(packet.senderMac) || packet.senderMac == question.ourMac ||
        packet.ethernetSource == question.ourMac) {
        return std::nullopt;
    }
    return packet.senderMac;
}

std::optional<MacAddress> MatchUnsolicitedArp(const ArpPacket& packet,
                                              const ArpQuestion& question) {
    const bool announcement = packet.opcode == kArpReply && packet.targetIp == packet.senderIp;
    if ((packet.opcode != kArpRequest && !announcement) || question.targetIp == 0 ||
        packet.senderIp != question.targetIp) {
        return std::nullopt;
    }
    if (!IsUnicastMac(packet.senderMac) || !IsUnicastMac(packet.ethernetSource) ||
        packet.senderMac == question.ourMac || packet.ethernetSource == question.ourMac) {
        return std::nullopt;
    }
    return packet.senderMac;
}

}  // namespace talvik
