#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include <netpacket/packet.h>
#include <poll.h>
#include <sys/socket.h>

#include "NetnsPair.h"
#include "platform/PacketArpSender.h"

namespace talvik {
namespace {

using namespace std::chrono_literals;
using testing::kHostIp;
using testing::kHostMac;
using testing::kScannerIp;
using testing::kScannerMac;
using testing::NetnsPair;

struct Outcome {
    std::uint32_t status = ~0u;
    MacAddress mac{};
};

Outcome Ask(IArpSender& sender, std::uint32_t target, std::stop_token stop = {}) {
    Outcome outcome;
    std::uint8_t buffer[8] = {};
    std::uint32_t length = 6;
    outcome.status = sender.SendARP(target, buffer, &length, stop);
    std::copy_n(buffer, 6, outcome.mac.begin());
    return outcome;
}

class PacketArpSenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::IsRoot()) {
            GTEST_SKIP() << "needs root to make network namespaces";
        }
        lab_ = std::make_unique<NetnsPair>();
        ASSERT_TRUE(lab_->Ok());
    }
    // Runs `body` in the scanner namespace with a sender opened there.
    void WithSender(const std::function<void(PacketArpSender&)>& body,
                    PacketArpSender::Options options = {}) {
        ASSERT_TRUE(lab_->InScanner([&] {
            auto sender = PacketArpSender::Create(PacketArpSender::OpenSocket(), options);
            ASSERT_TRUE(sender);
            body(*sender);
        }));
    }
    std::unique_ptr<NetnsPair> lab_;
};

TEST_F(PacketArpSenderTest, HostsThatAnswerAndHostsThatDoNot) {
    WithSender([](PacketArpSender& sender) {
        const Outcome host = Ask(sender, kHostIp);
        EXPECT_EQ(host.status, kNoError);
        EXPECT_EQ(host.mac, kHostMac);

        EXPECT_EQ(Ask(sender, 0xCB007163).status, kErrorBadNetName);  // 203.0.113.99, nobody

        const Outcome self = Ask(sender, kScannerIp);
        EXPECT_EQ(self.status, kNoError);
        EXPECT_EQ(self.mac, kScannerMac);

        const auto before = std::chrono::steady_clock::now();
        EXPECT_EQ(Ask(sender, 0xC6336405).status, kErrorBadNetName);  // 198.51.100.5, off-link
        EXPECT_LT(std::chrono::steady_clock::now() - before, 150ms) << "off-link must fail at once";

        std::uint8_t mac[6];
        std::uint32_t shortLength = 4;
        EXPECT_EQ(sender.SendARP(kHostIp, mac, &shortLength, {}), kErrorInvalidParameter);
        EXPECT_EQ(sender.SendARP(kHostIp, nullptr, &shortLength, {}), kErrorInvalidParameter);
    });
}

TEST_F(PacketArpSenderTest, ManyThreadsAtOnceEachGetTheirOwnAnswer) {
    // A second host on the same link, answering from its own address and MAC.
    ASSERT_TRUE(lab_->OnHost("ip addr add 203.0.113.11/24 dev " + lab_->Host()));
    WithSender([](PacketArpSender& sender) {
        std::vector<Outcome> outcomes(64);
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            threads.emplace_back([&, i] {
                const std::uint32_t target = kHostIp + static_cast<std::uint32_t>(i % 4);
                outcomes[i] = Ask(sender, target);
            });
        }
        threads.clear();
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            const bool present = i % 4 < 2;
            EXPECT_EQ(outcomes[i].status, present ? kNoError : kErrorBadNetName) << i;
            if (present) {
                EXPECT_EQ(outcomes[i].mac, kHostMac) << i;
            }
        }
    });
}

TEST_F(PacketArpSenderTest, StopWakesEveryWaitAtOnce) {
    PacketArpSender::Options slow;
    slow.schedule = *ArpSchedule::FromText("0,3000/9000");
    WithSender(
        [](PacketArpSender& sender) {
            std::stop_source stop;
            std::vector<std::uint32_t> statuses(8, ~0u);
            std::vector<std::jthread> threads;
            for (std::size_t i = 0; i < statuses.size(); ++i) {
                threads.emplace_back(
                    [&, i] { statuses[i] = Ask(sender, 0xCB007164 + i, stop.get_token()).status; });
            }
            std::this_thread::sleep_for(100ms);
            const auto before = std::chrono::steady_clock::now();
            stop.request_stop();
            threads.clear();
            EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
            for (std::uint32_t status : statuses) {
                EXPECT_EQ(status, kErrorCancelled);
            }
            EXPECT_EQ(Ask(sender, kHostIp, stop.get_token()).status, kErrorCancelled);
        },
        slow);
}

// Plays 203.0.113.20 from the host's namespace: drops the first `ignore` requests it sees, then
// answers each later one after `delay`.
class ScriptedHost final {
public:
    ScriptedHost(const NetnsPair& lab, int ignore, std::chrono::milliseconds delay)
        : ignore_(ignore), delay_(delay) {
        std::atomic<bool> ready{false};
        thread_ = std::jthread([&, this](std::stop_token stop) {
            const UniqueFd ns(::open(("/run/netns/" + lab.Host()).c_str(), O_RDONLY | O_CLOEXEC));
            if (ns.Valid() && ::setns(ns.Get(), CLONE_NEWNET) == 0) {
                socket_ = PacketArpSender::OpenSocket();
            }
            ready = true;
            if (socket_.Valid()) {
                Serve(stop);
            }
        });
        while (!ready) {
            std::this_thread::yield();
        }
    }
    bool Ok() const { return socket_.Valid(); }
    int Requests() const { return requests_; }

private:
    static constexpr std::uint32_t kIp = 0xCB007114;  // 203.0.113.20
    static constexpr MacAddress kMac = {0x02, 0x7a, 0x00, 0x00, 0x00, 0x14};

    void Serve(std::stop_token stop) {
        std::uint8_t frame[1514];
        while (!stop.stop_requested()) {
            pollfd fd{socket_.Get(), POLLIN, 0};
            if (::poll(&fd, 1, 20) <= 0) {
                continue;
            }
            sockaddr_ll from{};
            socklen_t fromSize = sizeof from;
            const ssize_t got = ::recvfrom(socket_.Get(), frame, sizeof frame, 0,
                                           reinterpret_cast<sockaddr*>(&from), &fromSize);
            const auto packet = ParseArpPacket(std::span(frame, got > 0 ? got : 0));
            if (!packet || packet->opcode != kArpRequest || packet->targetIp != kIp) {
                continue;
            }
            if (++requests_ <= ignore_) {
                continue;
            }
            std::this_thread::sleep_for(delay_);
            ArpFrame reply = BuildArpRequest(kMac, kIp, packet->senderIp);
            std::copy(packet->senderMac.begin(), packet->senderMac.end(), reply.begin());
            reply[21] = kArpReply;
            std::copy(packet->senderMac.begin(), packet->senderMac.end(), reply.begin() + 32);
            ::sendto(socket_.Get(), reply.data(), reply.size(), 0,
                     reinterpret_cast<const sockaddr*>(&from), fromSize);
        }
    }

    int ignore_;
    std::chrono::milliseconds delay_;
    std::atomic<int> requests_{0};
    UniqueFd socket_;
    std::jthread thread_;
};

TEST_F(PacketArpSenderTest, RetriesCoverLostAndLateAnswersUntilTheGiveUpTime) {
    constexpr std::uint32_t kScripted = 0xCB007114;
    constexpr MacAddress kScriptedMac = {0x02, 0x7a, 0x00, 0x00, 0x00, 0x14};
    PacketArpSender::Options options;
    options.schedule = *ArpSchedule::FromText("0,100,250/400");
    struct Case {
        int ignore;
        std::chrono::milliseconds delay;
        bool found;
        int requests;
    };
    const Case cases[] = {
        {0, 150ms, true, 2},   // late: the first request's answer arrives after the second went
        {2, 0ms, true, 3},     // the first two requests are lost
        {3, 0ms, false, 3},    // every request is lost, and no fourth goes out
        {2, 250ms, false, 3},  // the third request's answer would come after the give-up time
    };
    for (const Case& c : cases) {
        ScriptedHost host(*lab_, c.ignore, c.delay);
        ASSERT_TRUE(host.Ok());
        WithSender(
            [&](PacketArpSender& sender) {
                const Outcome outcome = Ask(sender, kScripted);
                EXPECT_EQ(outcome.status, c.found ? kNoError : kErrorBadNetName) << c.ignore;
                if (c.found) {
                    EXPECT_EQ(outcome.mac, kScriptedMac);
                }
            },
            options);
        std::this_thread::sleep_for(100ms);  // lets the host see any request still on its way
        EXPECT_EQ(host.Requests(), c.requests) << c.ignore << " ignored, " << c.delay.count();
    }
}

}  // namespace
}  // namespace talvik
