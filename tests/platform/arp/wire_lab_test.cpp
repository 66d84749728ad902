// SPDX-License-Identifier: GPL-3.0-or-later
// One interface's ARP as frames, in the lab: through a packet socket of our own (root) and
// through talvik-arp run as the user nobody.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>

#include "Lab.h"
#include "arp/PacketArpWire.h"

namespace talvik::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kAnnouncerIp = 0xCB00711E;  // 203.0.113.30, announces itself
constexpr std::uint32_t kOtherLinkIp = 0xC6336401;  // 198.51.100.1 on the second link
constexpr std::uint32_t kOtherPeerIp = 0xC6336402;  // 198.51.100.2 at its far end

enum class WireKind { Packet, Helper };

std::string KindName(const ::testing::TestParamInfo<WireKind>& info) {
    return info.param == WireKind::Packet ? "Packet" : "Helper";
}

// Hears on `wire` for `most`, or until `enough` holds for what was heard.
std::vector<HeardArp> HearFor(
    IArpWire& wire, std::chrono::milliseconds most,
    const std::function<bool(const std::vector<HeardArp>&)>& enough = nullptr,
    int* error = nullptr) {
    std::vector<HeardArp> heard;
    for (const auto until = Clock::now() + most; Clock::now() < until;) {
        const int result = wire.Hear(heard, 50ms);
        if (result != 0) {
            if (error) {
                *error = result;
            }
            break;
        }
        if (enough && enough(heard)) {
            break;
        }
    }
    return heard;
}

bool HeardReply(const std::vector<HeardArp>& heard, std::uint32_t from) {
    return std::ranges::any_of(
        heard, [&](const HeardArp& h) { return h.opcode == kArpReply && h.senderAddress == from; });
}

class WireTest : public LabTest, public ::testing::WithParamInterface<WireKind> {
protected:
    std::unique_ptr<IArpWires> Wires() { return std::make_unique<PacketArpWires>(); }
    // The wire of `name`; called in the scanner's namespace, as every use of a wire is.
    std::unique_ptr<IArpWire> Open(const std::string& name, std::string* error = nullptr) {
        std::string why;
        auto wire = Wires()->Open(name, why);
        if (error) {
            *error = why;
        }
        return wire;
    }
    void AsksAndHears();
    void HearsItsOwnAlone(const std::string& second, const std::string& far,
                          const std::string& segment);
};

TEST_P(WireTest, AsksComeBackAsRepliesAndTheSegmentIsHeard) {
    responder_ = std::make_unique<Responder>(
        *lab_,
        "[" + HostJson(kHostIp) + ", " + HostJson(kHostIp + 1) + ", " +
            HostJson(kAnnouncerIp, R"("silent": true, "gratuitous_every_ms": 200)") + "]",
        1);
    ASSERT_TRUE(responder_->Running());
    InScanner([&] { AsksAndHears(); });
}

void WireTest::AsksAndHears() {
    const auto wire = Open(link_);
    ASSERT_TRUE(wire);
    EXPECT_EQ(wire->Interface(), link_);
    EXPECT_EQ(wire->OwnAddress(), kScannerIp);
    EXPECT_EQ(wire->OwnMac(), kScannerMac);

    const auto start = Clock::now();
    EXPECT_EQ(wire->Ask(kHostIp), 0);
    const MacAddress other = HostMac(kHostIp + 1);
    EXPECT_EQ(wire->Ask(kHostIp + 1, &other), 0);
    EXPECT_EQ(wire->Ask(kNobodyIp), 0);
    // Nothing leaves for what is no neighbour here, nor to ourselves or a group.
    EXPECT_EQ(wire->Ask(kOffLinkIp), EHOSTUNREACH);
    EXPECT_EQ(wire->Ask(kScannerIp), EHOSTUNREACH);
    EXPECT_EQ(wire->Ask(kHostIp, &kScannerMac), EINVAL);
    const MacAddress group = {0x01, 0x00, 0x5e, 0x00, 0x00, 0x01};
    EXPECT_EQ(wire->Ask(kHostIp, &group), EINVAL);

    const auto heard = HearFor(*wire, 3s, [](const std::vector<HeardArp>& h) {
        return HeardReply(h, kHostIp) && HeardReply(h, kHostIp + 1) &&
               std::ranges::any_of(
                   h, [](const HeardArp& a) { return a.senderAddress == kAnnouncerIp; });
    });
    for (const std::uint32_t host : {kHostIp, kHostIp + 1}) {
        const auto reply = std::ranges::find_if(heard, [&](const HeardArp& h) {
            return h.opcode == kArpReply && h.senderAddress == host;
        });
        ASSERT_NE(reply, heard.end()) << (host & 0xff);
        EXPECT_EQ(reply->senderMac, HostMac(host));
        EXPECT_EQ(reply->frameSource, HostMac(host));
        EXPECT_EQ(reply->targetAddress, kScannerIp);
        EXPECT_EQ(reply->targetMac, kScannerMac);
        EXPECT_GE(reply->when, start);
        EXPECT_LE(reply->when, Clock::now());
    }
    const auto announced = std::ranges::find_if(
        heard, [](const HeardArp& h) { return h.senderAddress == kAnnouncerIp; });
    ASSERT_NE(announced, heard.end());
    EXPECT_EQ(announced->opcode, kArpRequest);
    EXPECT_EQ(announced->targetAddress, kAnnouncerIp);
    // Our own requests are not heard back.
    EXPECT_FALSE(
        std::ranges::any_of(heard, [](const HeardArp& h) { return h.frameSource == kScannerMac; }));
    EXPECT_EQ(wire->Lost(), 0u);
    const auto asked = responder_->Stop().requests;
    ASSERT_EQ(asked.size(), 3u);
    EXPECT_FALSE(asked[0].unicast);
    EXPECT_TRUE(asked[1].unicast);
    EXPECT_EQ(asked[2].target, "203.0.113.99");
}

// A second link in the scanner's namespace, 198.51.100.1/24, whose far end sits in the
// segment's namespace: what comes in there is not heard on the first link, and the other way
// round. Then the wire waits, is woken, and ends when its link goes away; a link that is only
// down stops the asks and is heard again once it is up.
TEST_P(WireTest, EachWireHearsItsOwnInterfaceAloneUntilItIsGone) {
    const std::string second = lab_->Name() + "c";
    const std::string far = lab_->Name() + "d";
    const std::string segment = lab_->Name() + "g";
    ASSERT_TRUE(Shell("ip -n " + scanner_ + " link add " + second + " type veth peer name " + far +
                      " netns " + segment));
    ASSERT_TRUE(Shell("ip -n " + scanner_ + " addr add 198.51.100.1/24 dev " + second +
                      " && ip -n " + scanner_ + " link set " + second + " up && ip -n " + segment +
                      " addr add 198.51.100.2/24 dev " + far + " && ip -n " + segment +
                      " link set " + far + " up"));
    responder_ = std::make_unique<Responder>(
        *lab_, "[" + HostJson(kAnnouncerIp, R"("gratuitous_every_ms": 100)") + "]", 1);
    ASSERT_TRUE(responder_->Running());
    InScanner([&] { HearsItsOwnAlone(second, far, segment); });
}

void WireTest::HearsItsOwnAlone(const std::string& second, const std::string& far,
                                const std::string& segment) {
    const auto first = Open(link_);
    const auto other = Open(second);
    ASSERT_TRUE(first && other);
    EXPECT_EQ(other->OwnAddress(), kOtherLinkIp);
    // The far end asks through a packet wire of its own in the segment's namespace.
    std::thread([&] {
        ASSERT_TRUE(Enter(segment));
        std::string error;
        const auto farWire = PacketArpWires().Open(far, error);
        ASSERT_TRUE(farWire) << error;
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(farWire->Ask(kOtherLinkIp), 0);
        }
    }).join();
    const auto onOther =
        HearFor(*other, 1500ms, [](const std::vector<HeardArp>& h) { return h.size() >= 5; });
    const auto onFirst = HearFor(*first, 500ms);
    EXPECT_GE(std::ranges::count_if(onOther,
                                    [](const HeardArp& h) {
                                        return h.senderAddress == kOtherPeerIp &&
                                               h.targetAddress == kOtherLinkIp;
                                    }),
              5);
    EXPECT_TRUE(std::ranges::all_of(
        onOther, [](const HeardArp& h) { return h.senderAddress == kOtherPeerIp; }));
    EXPECT_FALSE(onFirst.empty());
    EXPECT_TRUE(std::ranges::all_of(
        onFirst, [](const HeardArp& h) { return h.senderAddress == kAnnouncerIp; }));

    // Woken from another thread, a long wait ends at once.
    std::vector<HeardArp> none;
    const auto asleep = Clock::now();
    std::thread waker([&] {
        std::this_thread::sleep_for(100ms);
        other->Wake();
    });
    EXPECT_EQ(other->Hear(none, 10s), 0);
    waker.join();
    EXPECT_LT(Clock::now() - asleep, 2s);

    // Down: no frame leaves, and the wire waits for the link to come back.
    ASSERT_TRUE(Shell("ip -n " + scanner_ + " link set " + link_ + " down"));
    EXPECT_EQ(first->Ask(kHostIp), ENETDOWN);
    int error = 0;
    HearFor(*first, 300ms, nullptr, &error);
    EXPECT_EQ(error, 0);
    ASSERT_TRUE(Shell("ip -n " + scanner_ + " link set " + link_ + " up"));
    EXPECT_FALSE(HearFor(*first, 1s).empty()) << "the link came back but was not heard";

    // Gone: the wire ends.
    ASSERT_TRUE(Shell("ip -n " + scanner_ + " link del " + second));
    EXPECT_EQ(other->Ask(kOtherPeerIp), ENODEV);
    HearFor(*other, 3s, nullptr, &error);
    EXPECT_EQ(error, ENODEV);
}

INSTANTIATE_TEST_SUITE_P(Kinds, WireTest, ::testing::Values(WireKind::Packet), KindName);

}  // namespace
}  // namespace talvik::test
