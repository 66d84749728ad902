// SPDX-License-Identifier: GPL-3.0-or-later
// The records the program and talvik-arp exchange, as bytes.
#include <gtest/gtest.h>

#include <cerrno>
#include <initializer_list>
#include <tuple>
#include <vector>

#include "arp/ArpFrame.h"
#include "arp/HelperProtocol.h"

namespace talvik::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr MacAddress kOurMac = {0x02, 0x00, 0x5e, 0x10, 0x20, 0x30};
constexpr MacAddress kHostMac = {0x00, 0x0c, 0x29, 0x3a, 0x4b, 0x5c};
constexpr std::uint32_t kOurIp = 0xCB007101;   // 203.0.113.1
constexpr std::uint32_t kHostIp = 0xCB00710A;  // 203.0.113.10

TEST(HelperProtocol, ProbesCarryTheScansPaceAndKnownMacsTheirMac) {
    HelperRequest probe{kHelperProbe, 7, kHostIp};
    probe.windowMs = 5000;
    probe.workers = 50;
    probe.scan = 3;
    const auto back = DecodeHelperRequest(EncodeHelperRequest(probe));
    ASSERT_TRUE(back);
    EXPECT_EQ(
        std::tie(back->op, back->id, back->target, back->windowMs, back->workers, back->scan),
        std::tie(probe.op, probe.id, probe.target, probe.windowMs, probe.workers, probe.scan));
    HelperRequest remember{kHelperRemember, 1, kHostIp};
    remember.mac = kHostMac;
    auto bytes = EncodeHelperRequest(remember);
    ASSERT_TRUE(DecodeHelperRequest(bytes));
    EXPECT_EQ(DecodeHelperRequest(bytes)->mac, kHostMac);
    bytes[19] = 1;  // the padding after the MAC
    EXPECT_FALSE(DecodeHelperRequest(bytes));
    EXPECT_FALSE(DecodeHelperRequest(EncodeHelperRequest(HelperRequest{7, 1, kHostIp})));
}

TEST(HelperProtocol, AWireIsOpenedAskedAndHeardInRecordsOfItsOwn) {
    using Bytes = std::vector<std::uint8_t>;
    const auto bytesOf = [](const auto& array) { return Bytes(array.begin(), array.end()); };
    const auto le = [](std::uint32_t v) {
        return Bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                     static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    };
    const auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes all;
        for (const Bytes& part : parts) {
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    };
    // Requests: open interface 7; ask broadcast; ask one MAC alone.
    EXPECT_EQ(bytesOf(EncodeHelperRequest({kHelperWireOpen, 7})),
              cat({le(5), le(7), Bytes(12, 0)}));
    EXPECT_EQ(bytesOf(EncodeHelperRequest({kHelperWireAsk, 7, kHostIp})),
              cat({le(6), le(7), le(kHostIp), Bytes(8, 0)}));
    HelperRequest unicast{kHelperWireAsk, 7, kHostIp};
    unicast.unicast = true;
    unicast.mac = kHostMac;
    const auto unicastBytes = EncodeHelperRequest(unicast);
    EXPECT_EQ(bytesOf(unicastBytes),
              cat({le(6), le(7), le(kHostIp), Bytes(kHostMac.begin(), kHostMac.end()), {1, 0}}));
    const auto back = DecodeHelperRequest(unicastBytes);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->unicast);
    EXPECT_EQ(back->mac, kHostMac);
    EXPECT_FALSE(DecodeHelperRequest(EncodeHelperRequest({kHelperWireAsk, 7, kHostIp}))->unicast);
    // What a wire cannot be asked for.
    const auto refused = [](std::array<std::uint8_t, kHelperRequestSize> bytes, std::size_t at,
                            std::uint8_t value) {
        bytes[at] = value;
        return !DecodeHelperRequest(bytes);
    };
    const auto open = EncodeHelperRequest({kHelperWireOpen, 7});
    const auto broadcast = EncodeHelperRequest({kHelperWireAsk, 7, kHostIp});
    EXPECT_TRUE(refused(open, 8, 1)) << "an open with a target";
    EXPECT_TRUE(refused(open, 19, 1)) << "an open with more";
    EXPECT_TRUE(refused(open, 4, 0)) << "no interface";
    EXPECT_TRUE(refused(unicastBytes, 18, 2)) << "another kind of frame";
    EXPECT_TRUE(refused(unicastBytes, 19, 1)) << "the last byte";
    EXPECT_TRUE(refused(broadcast, 12, 0xff)) << "a MAC on a broadcast";

    // Records: a frame heard, an ask's result, the end.
    WireRecord heard{kWireHeard, 3};
    heard.frame.when = Clock::time_point(std::chrono::nanoseconds(0x0102030405060708));
    heard.frame.opcode = kArpReply;
    heard.frame.frameSource = kHostMac;
    heard.frame.senderMac = kHostMac;
    heard.frame.senderAddress = kHostIp;
    heard.frame.targetMac = kOurMac;
    heard.frame.targetAddress = kOurIp;
    const auto heardBytes = EncodeWireRecord(heard);
    const Bytes host(kHostMac.begin(), kHostMac.end());
    EXPECT_EQ(bytesOf(heardBytes), cat({le(kWireHeard),
                                        le(3),
                                        {8, 7, 6, 5, 4, 3, 2, 1},
                                        {2, 0},
                                        host,
                                        host,
                                        Bytes(kOurMac.begin(), kOurMac.end()),
                                        le(kHostIp),
                                        le(kOurIp),
                                        Bytes(4, 0)}));
    const auto heardBack = DecodeWireRecord(heardBytes);
    ASSERT_TRUE(heardBack);
    EXPECT_EQ(heardBack->value, 3u);
    EXPECT_EQ(heardBack->frame.when, heard.frame.when);
    EXPECT_EQ(std::tie(heardBack->frame.senderMac, heardBack->frame.senderAddress,
                       heardBack->frame.targetMac, heardBack->frame.targetAddress),
              std::tie(kHostMac, kHostIp, kOurMac, kOurIp));
    EXPECT_EQ(bytesOf(EncodeWireRecord({kWireAsked, EHOSTUNREACH})),
              cat({le(kWireAsked), le(EHOSTUNREACH), Bytes(40, 0)}));
    EXPECT_EQ(DecodeWireRecord(EncodeWireRecord({kWireEnded, ENODEV}))->value,
              static_cast<std::uint32_t>(ENODEV));
    const auto broken = [](std::array<std::uint8_t, kWireRecordSize> bytes, std::size_t at,
                           std::uint8_t value) {
        bytes[at] = value;
        return !DecodeWireRecord(bytes);
    };
    EXPECT_TRUE(broken(heardBytes, 0, 0)) << "an unknown kind";
    EXPECT_TRUE(broken(heardBytes, 16, 0)) << "opcode 0";
    EXPECT_TRUE(broken(heardBytes, 47, 1)) << "the padding";
    EXPECT_TRUE(broken(EncodeWireRecord({kWireAsked, 0}), 20, 1)) << "a frame on a result";
}

}  // namespace
}  // namespace talvik::test
