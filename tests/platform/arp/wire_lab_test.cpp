// SPDX-License-Identifier: GPL-3.0-or-later
// One interface's ARP as frames, in the lab: through a packet socket of our own (root) and
// through talvik-arp run as the user nobody.
#include <gtest/gtest.h>
#include <net/if.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "Lab.h"
#include "arp/ArpWireTexts.h"
#include "arp/HelperArpWire.h"
#include "arp/HelperProcess.h"
#include "arp/HelperProtocol.h"
#include "arp/PacketArpWire.h"
#include "platform/Platform.h"

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

// Whether `wire` hears the reply of `from` within a second.
bool HearReply(IArpWire& wire, std::uint32_t from) {
    return HeardReply(
        HearFor(wire, 1s, [&](const std::vector<HeardArp>& h) { return HeardReply(h, from); }),
        from);
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
    // The responder may not have lived through its link going away.
    responder_ = std::make_unique<Responder>(
        *lab_, "[" + HostJson(kAnnouncerIp, R"("gratuitous_every_ms": 100)") + "]", 1);
    EXPECT_FALSE(HearFor(*first, 1s).empty()) << "the link came back but was not heard";

    // Gone: the wire ends.
    ASSERT_TRUE(Shell("ip -n " + scanner_ + " link del " + second));
    EXPECT_EQ(other->Ask(kOtherPeerIp), ENODEV);
    HearFor(*other, 3s, nullptr, &error);
    EXPECT_EQ(error, ENODEV);
}

// A flood of 5,000 forged announcements a second from random MACs, 10,000 in all: each is heard
// or counted lost, and a real host's reply in the middle of it is heard.
TEST_P(WireTest, AFloodLosesNothingSilently) {
    constexpr int kFlood = 10000;
    const std::string script = ::testing::TempDir() + "tvk-flood-" + std::to_string(::getpid());
    std::ofstream(script) << R"(import random, socket, struct, sys, time
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
s.bind((sys.argv[1], 0))
start = time.monotonic()
for i in range(int(sys.argv[2])):
    mac = bytes([2] + [random.randrange(256) for _ in range(5)])
    ip = bytes([203, 0, 113, 100 + i % 100])
    arp = struct.pack("!HHBBH", 1, 0x0800, 6, 4, 1) + mac + ip + bytes(6) + ip
    s.send((b"\xff" * 6 + mac + b"\x08\x06" + arp).ljust(60, b"\0"))
    if i % 25 == 0:
        time.sleep(max(0.0, start + i / 5000 - time.monotonic()))
)";
    InScanner([&] {
        const auto wire = Open(link_);
        ASSERT_TRUE(wire);
        std::vector<HeardArp> heard;
        {
            const Later flood(0, "ip netns exec " + lab_->Name() + "g python3 " + script + " " +
                                     lab_->Name() + "b " + std::to_string(kFlood));
            std::this_thread::sleep_for(800ms);
            EXPECT_EQ(wire->Ask(kHostIp), 0);
        }
        // Nobody heard while it lasted: the buffers held it.
        heard = HearFor(*wire, 5s, [&](const std::vector<HeardArp>& h) {
            return std::ranges::count_if(
                       h, [](const HeardArp& a) { return a.opcode == kArpRequest; }) +
                       static_cast<long>(wire->Lost()) >=
                   kFlood;
        });

        const long forged =
            std::ranges::count_if(heard, [](const HeardArp& h) { return h.opcode == kArpRequest; });
        EXPECT_GE(forged + static_cast<long>(wire->Lost()), kFlood) << forged << " heard";
        EXPECT_TRUE(HeardReply(heard, kHostIp));
        // Our own socket's buffer holds seconds of it; the helper's, capped for an ordinary
        // user, holds less, but the helper reads it at once.
        if (GetParam() == WireKind::Packet) {
            EXPECT_EQ(wire->Lost(), 0u);
        }
    });
    std::remove(script.c_str());
}

#ifdef TALVIK_TEST_HELPER
INSTANTIATE_TEST_SUITE_P(Kinds, WireTest, ::testing::Values(WireKind::Packet, WireKind::Helper),
                         KindName);

// A helper that dies ends its wire with EPIPE, once what it sent before was handed on.
TEST_F(LabTest, AWireWhoseHelperDiesEndsWithEpipe) {
    InScanner([&] {
        int error = 0;
        const auto wire = HelperArpWire::Open(
            AsNobody("--inh-caps +net_raw --ambient-caps +net_raw"), link_, error);
        ASSERT_TRUE(wire) << error;
        EXPECT_EQ(wire->OwnAddress(), kScannerIp);
        EXPECT_EQ(wire->Ask(kHostIp), 0);
        ASSERT_TRUE(HearReply(*wire, kHostIp));
        ASSERT_EQ(::kill(wire->Child(), SIGKILL), 0);
        std::vector<HeardArp> heard;
        const auto killed = Clock::now();
        int result = 0;
        while (result == 0 && Clock::now() - killed < 2s) {
            result = wire->Hear(heard, 100ms);
        }
        EXPECT_EQ(result, EPIPE);
        EXPECT_EQ(wire->Ask(kHostIp), EPIPE);
    });
}

// The helper as any local user may speak to it: only the interface named, only while it is up,
// and only who-has requests from its own address and MAC for its neighbours.
TEST_F(LabTest, TheWireHelperRefusesWhatItMustNotDo) {
    const std::string dummy = lab_->Name() + "x";
    ASSERT_TRUE(Shell("ip -n " + scanner_ + " link add " + dummy + " type veth peer name " +
                      lab_->Name() + "y && ip -n " + scanner_ + " addr add 198.51.100.1/24 dev " +
                      dummy));
    const std::string path = AsNobody("--inh-caps +net_raw --ambient-caps +net_raw");
    InScanner([&] {
        // A raw channel to a helper of our own, greeted.
        const auto start = [&](UniqueFd& ours, pid_t& child) {
            int ends[2];
            ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
            ours = UniqueFd(ends[0]);
            UniqueFd theirs(ends[1]);
            child = SpawnHelper(path, theirs, {"--wire"}, false);
            std::array<std::uint8_t, kHelperReplySize> hello;
            ASSERT_TRUE(ReadBefore(ours.Get(), hello, Clock::now() + 3s));
            ASSERT_EQ(DecodeHelperReply(hello)->status, kNoError);
        };
        const auto send = [](const UniqueFd& ours, const HelperRequest& request) {
            const auto bytes = EncodeHelperRequest(request);
            return WriteFully(ours.Get(), bytes.data(), bytes.size());
        };
        const auto opened = [&](std::uint32_t index) {
            UniqueFd ours;
            pid_t child = -1;
            start(ours, child);
            send(ours, HelperRequest{kHelperWireOpen, index});
            std::array<std::uint8_t, kHelperReplySize> bytes{};
            const bool answered = ReadBefore(ours.Get(), bytes, Clock::now() + 3s);
            ours.Reset();
            ReapHelper(child);
            return answered ? static_cast<int>(DecodeHelperReply(bytes)->status) : -1;
        };
        EXPECT_EQ(opened(::if_nametoindex(dummy.c_str())), ENETDOWN);
        EXPECT_EQ(opened(99999), ENODEV);
        EXPECT_EQ(opened(::if_nametoindex("lo")), EADDRNOTAVAIL);

        UniqueFd ours;
        pid_t child = -1;
        start(ours, child);
        const auto index = ::if_nametoindex(link_.c_str());
        ASSERT_TRUE(send(ours, HelperRequest{kHelperWireOpen, index}));
        std::array<std::uint8_t, kHelperReplySize> bytes{};
        ASSERT_TRUE(ReadBefore(ours.Get(), bytes, Clock::now() + 3s));
        EXPECT_EQ(DecodeHelperReply(bytes)->status, 0u);
        EXPECT_EQ(DecodeHelperReply(bytes)->mac, kScannerMac);
        // Each ask's result, skipping frames heard meanwhile.
        const auto result = [&](const HelperRequest& ask) {
            send(ours, ask);
            std::array<std::uint8_t, kWireRecordSize> record;
            while (ReadBefore(ours.Get(), record, Clock::now() + 3s)) {
                const auto decoded = DecodeWireRecord(record);
                if (decoded && decoded->kind == kWireAsked) {
                    return static_cast<int>(decoded->value);
                }
            }
            return -1;
        };
        HelperRequest ask{kHelperWireAsk, index, kHostIp};
        EXPECT_EQ(result(ask), 0);
        EXPECT_EQ(result(HelperRequest{kHelperWireAsk, index + 1, kHostIp}), EINVAL);
        EXPECT_EQ(result(HelperRequest{kHelperWireAsk, index, kOffLinkIp}), EHOSTUNREACH);
        ask.unicast = true;
        ask.mac = kScannerMac;
        EXPECT_EQ(result(ask), EINVAL);
        ask.mac = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
        EXPECT_EQ(result(ask), EINVAL);
        // A frame of any other kind cannot be asked for: the helper ends.
        auto other = EncodeHelperRequest(HelperRequest{kHelperWireAsk, index, kHostIp});
        other[18] = 2;
        ASSERT_TRUE(WriteFully(ours.Get(), other.data(), other.size()));
        std::array<std::uint8_t, kWireRecordSize> record;
        while (ReadBefore(ours.Get(), record, Clock::now() + 3s)) {
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    });
    const auto asked = responder_->Stop().requests;
    ASSERT_EQ(asked.size(), 1u) << "a refused ask left the helper";
    EXPECT_EQ(asked[0].target, "203.0.113.10");
}

// The packet socket where this process may open one, else a helper that serves, else nothing
// and one line that says why.
TEST(MakeArpWires, PacketThenHelperThenNothing) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root";
    }
    std::string error;
    ArpSenderKind chosen = ArpSenderKind::Neighbour;
    EXPECT_TRUE(MakeArpWires(error, ArpSenderKind::Automatic, {}, &chosen));
    EXPECT_EQ(chosen, ArpSenderKind::Packet);
    const std::string nobody = AsNobody("--inh-caps +net_raw --ambient-caps +net_raw");
    EXPECT_TRUE(MakeArpWires(error, ArpSenderKind::Helper, nobody, &chosen));
    EXPECT_EQ(chosen, ArpSenderKind::Helper);
    EXPECT_FALSE(MakeArpWires(error, ArpSenderKind::Helper, AsNobody("")));
    EXPECT_EQ(error, kWireCannotListen);
    error.clear();
    EXPECT_FALSE(MakeArpWires(error, ArpSenderKind::Neighbour));
    EXPECT_EQ(error, kWireCannotListen);
}
#else
INSTANTIATE_TEST_SUITE_P(Kinds, WireTest, ::testing::Values(WireKind::Packet), KindName);
#endif

}  // namespace
}  // namespace talvik::test
