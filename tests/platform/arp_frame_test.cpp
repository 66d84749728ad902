#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "platform/ArpFrame.h"

namespace talvik {
namespace {

constexpr MacAddress kOurMac = {0x02, 0x00, 0x5e, 0x10, 0x20, 0x30};
constexpr MacAddress kHostMac = {0x00, 0x0c, 0x29, 0x3a, 0x4b, 0x5c};
constexpr std::uint32_t kOurIp = 0xCB007101;   // 203.0.113.1
constexpr std::uint32_t kHostIp = 0xCB00710A;  // 203.0.113.10
const std::vector<std::uint8_t> kBroadcast(6, 0xff);

TEST(ArpFrame, RequestIsTheBroadcastWhoHasOnTheWire) {
    const ArpFrame expected = {
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff,                       // broadcast
        0x02, 0x00, 0x5e, 0x10, 0x20, 0x30,                       // our MAC
        0x08, 0x06,                                               // ARP
        0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01,           // Ethernet, IPv4, 6, 4, request
        0x02, 0x00, 0x5e, 0x10, 0x20, 0x30, 203,  0,    113, 1,   // sender
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 203,  0,    113, 10,  // target, MAC unknown
    };
    EXPECT_EQ(BuildArpRequest(kOurMac, kOurIp, kHostIp), expected);
}

TEST(ArpFrame, OnlyTheTargetsReplyToUsGivesItsMac) {
    // A reply from 203.0.113.10 (00:0c:29:3a:4b:5c) to 203.0.113.1 (02:00:5e:10:20:30), as the
    // wire carries it, padded to the Ethernet minimum.
    std::vector<std::uint8_t> reply = {
        0x02, 0x00, 0x5e, 0x10, 0x20, 0x30,                   // to us
        0x00, 0x0c, 0x29, 0x3a, 0x4b, 0x5c,                   // from the host
        0x08, 0x06,                                           // ARP
        0x00, 0x01, 0x08, 0x00, 0x06, 0x04,                   // Ethernet, IPv4, 6, 4
        0x00, 0x02,                                           // reply
        0x00, 0x0c, 0x29, 0x3a, 0x4b, 0x5c, 203, 0, 113, 10,  // sender
        0x02, 0x00, 0x5e, 0x10, 0x20, 0x30, 203, 0, 113, 1,   // target
    };
    reply.resize(60, 0);
    struct Case {
        const char* what;
        std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> edits;
        std::size_t size = 60;
        bool answers = false;
    };
    // clang-format off
    const Case cases[] = {
        {"padded", {}, 60, true}, {"unpadded", {}, kArpFrameSize, true},
        {"Ethernet broadcast", {{0, kBroadcast}}, 60, true},
        {"empty", {}, 0}, {"Ethernet header only", {}, 14}, {"one byte short", {}, 41},
        {"IPv4 ethertype", {{13, {0x00}}}}, {"hardware type 6", {{15, {0x06}}}},
        {"protocol IPv6", {{16, {0x86}}}}, {"hardware length 8", {{18, {0x08}}}},
        {"protocol length 16", {{19, {16}}}}, {"a request", {{21, {0x01}}}},
        {"opcode 0", {{21, {0x00}}}}, {"RARP reply", {{21, {0x04}}}},
        {"opcode high byte", {{20, {0x01}}}}, {"from another address", {{31, {11}}}},
        {"to another address", {{41, {2}}}}, {"to another MAC", {{37, {0x31}}}},
        {"Ethernet frame to someone else", {{5, {0x31}}}},
        {"multicast sender MAC", {{22, {0x01}}}},
        {"zero sender MAC", {{22, std::vector<std::uint8_t>(6, 0)}}},
        {"our own frame looped back", {{6, {kOurMac.begin(), kOurMac.end()}}}},
        // The host announcing itself answers no question of ours.
        {"gratuitous", {{0, kBroadcast}, {32, kBroadcast}, {38, {203, 0, 113, 10}}}}};
    // clang-format on
    for (const Case& c : cases) {
        auto frame = reply;
        for (const auto& [offset, bytes] : c.edits) {
            std::copy(bytes.begin(), bytes.end(), frame.begin() + offset);
        }
        frame.resize(c.size);
        const auto packet = ParseArpPacket(frame);
        EXPECT_FALSE(packet && c.size < kArpFrameSize) << c.what;
        const auto mac =
            packet ? MatchArpReply(*packet, ArpQuestion{kOurMac, kOurIp, kHostIp}) : std::nullopt;
        EXPECT_EQ(mac, c.answers ? std::optional(kHostMac) : std::nullopt) << c.what;
    }
}

}  // namespace
}  // namespace talvik
