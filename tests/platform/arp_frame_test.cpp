#include <gtest/gtest.h>

#include <vector>

#include "platform/ArpFrame.h"

namespace talvik {
namespace {

constexpr MacAddress kOurMac = {0x02, 0x00, 0x5e, 0x10, 0x20, 0x30};
constexpr MacAddress kHostMac = {0x00, 0x0c, 0x29, 0x3a, 0x4b, 0x5c};
constexpr std::uint32_t kOurIp = 0xCB007101;   // 203.0.113.1
constexpr std::uint32_t kHostIp = 0xCB00710A;  // 203.0.113.10

// A reply from 203.0.113.10 (00:0c:29:3a:4b:5c) to 203.0.113.1 (02:00:5e:10:20:30), as the
// wire carries it, padded to the Ethernet minimum.
std::vector<std::uint8_t> HostReply() {
    std::vector<std::uint8_t> f = {
        0x02, 0x00, 0x5e, 0x10, 0x20, 0x30,                   // to us
        0x00, 0x0c, 0x29, 0x3a, 0x4b, 0x5c,                   // from the host
        0x08, 0x06,                                           // ARP
        0x00, 0x01, 0x08, 0x00, 0x06, 0x04,                   // Ethernet, IPv4, 6, 4
        0x00, 0x02,                                           // reply
        0x00, 0x0c, 0x29, 0x3a, 0x4b, 0x5c, 203, 0, 113, 10,  // sender
        0x02, 0x00, 0x5e, 0x10, 0x20, 0x30, 203, 0, 113, 1,   // target
    };
    f.resize(60, 0);
    return f;
}

std::optional<MacAddress> Answer(const std::vector<std::uint8_t>& frame) {
    const auto packet = ParseArpPacket(frame);
    if (!packet) {
        return std::nullopt;
    }
    return MatchArpReply(*packet, ArpQuestion{kOurMac, kOurIp, kHostIp});
}

TEST(ArpFrame, RequestIsTheBroadcastWhoHasOnTheWire) {
    const ArpFrame frame = BuildArpRequest(kOurMac, kOurIp, kHostIp);
    const ArpFrame expected = {
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff,                       // broadcast
        0x02, 0x00, 0x5e, 0x10, 0x20, 0x30,                       // our MAC
        0x08, 0x06,                                               // ARP
        0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01,           // Ethernet, IPv4, 6, 4, request
        0x02, 0x00, 0x5e, 0x10, 0x20, 0x30, 203,  0,    113, 1,   // sender
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 203,  0,    113, 10,  // target, MAC unknown
    };
    EXPECT_EQ(frame, expected);
}

TEST(ArpFrame, RequestParsesBackButIsNoAnswer) {
    const ArpFrame frame = BuildArpRequest(kOurMac, kOurIp, kHostIp);
    const auto packet = ParseArpPacket(frame);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->opcode, kArpRequest);
    EXPECT_EQ(packet->senderIp, kOurIp);
    EXPECT_EQ(packet->targetIp, kHostIp);
    EXPECT_EQ(packet->senderMac, kOurMac);
    EXPECT_FALSE(MatchArpReply(*packet, ArpQuestion{kOurMac, kOurIp, kHostIp}));
}

TEST(ArpFrame, TheTargetsReplyGivesItsMac) {
    EXPECT_EQ(Answer(HostReply()), kHostMac);
    auto unpadded = HostReply();
    unpadded.resize(kArpFrameSize);
    EXPECT_EQ(Answer(unpadded), kHostMac);
    auto broadcast = HostReply();
    std::fill_n(broadcast.begin(), 6, 0xff);
    EXPECT_EQ(Answer(broadcast), kHostMac);
}

TEST(ArpFrame, MalformedFramesAreRejected) {
    struct Case {
        const char* what;
        std::size_t offset;
        std::uint8_t value;
    };
    const Case cases[] = {
        {"IPv4 ethertype", 13, 0x00},    {"hardware type 6", 15, 0x06},
        {"protocol IPv6", 16, 0x86},     {"hardware length 8", 18, 0x08},
        {"protocol length 16", 19, 16},  {"opcode 0", 21, 0x00},
        {"RARP reply opcode", 21, 0x04}, {"opcode high byte", 20, 0x01},
    };
    for (const Case& c : cases) {
        auto frame = HostReply();
        frame[c.offset] = c.value;
        EXPECT_FALSE(Answer(frame)) << c.what;
    }
    for (std::size_t size : {0u, 14u, 41u}) {
        auto frame = HostReply();
        frame.resize(size);
        EXPECT_FALSE(ParseArpPacket(frame)) << size << " bytes";
    }
}

TEST(ArpFrame, RepliesThatAreNotOursAreIgnored) {
    struct Case {
        const char* what;
        std::size_t offset;
        std::uint8_t value;
    };
    const Case cases[] = {
        {"from another address", 31, 11},   {"to another address", 41, 2},
        {"to another MAC", 37, 0x31},       {"Ethernet frame to someone else", 5, 0x31},
        {"multicast sender MAC", 22, 0x01},
    };
    for (const Case& c : cases) {
        auto frame = HostReply();
        frame[c.offset] = c.value;
        EXPECT_FALSE(Answer(frame)) << c.what;
    }

    auto zeroMac = HostReply();
    std::fill_n(zeroMac.begin() + 22, 6, 0);
    EXPECT_FALSE(Answer(zeroMac)) << "zero sender MAC";

    auto ownFrame = HostReply();
    std::copy(kOurMac.begin(), kOurMac.end(), ownFrame.begin() + 6);
    EXPECT_FALSE(Answer(ownFrame)) << "our own frame looped back";

    // The host announcing itself is not an answer to our question.
    auto gratuitous = HostReply();
    std::fill_n(gratuitous.begin(), 6, 0xff);
    std::fill_n(gratuitous.begin() + 32, 6, 0xff);
    const std::uint8_t self[] = {203, 0, 113, 10};
    std::copy(std::begin(self), std::end(self), gratuitous.begin() + 38);
    EXPECT_FALSE(Answer(gratuitous)) << "gratuitous reply";
}

TEST(ArpFrame, UnicastMac) {
    EXPECT_TRUE(IsUnicastMac(kHostMac));
    EXPECT_FALSE(IsUnicastMac(MacAddress{}));
    EXPECT_FALSE(IsUnicastMac(MacAddress{0xff, 0xff, 0xff, 0xff, 0xff, 0xff}));
    EXPECT_FALSE(IsUnicastMac(MacAddress{0x01, 0x00, 0x5e, 0x00, 0x00, 0x01}));
    EXPECT_TRUE(IsUnicastMac(MacAddress{0x02, 0, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace talvik
