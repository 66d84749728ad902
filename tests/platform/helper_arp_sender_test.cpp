#include <gtest/gtest.h>

#include <vector>

#include "Lab.h"
#include "platform/ArpHelperServer.h"
#include "platform/HelperArpSender.h"
#include "platform/HelperProtocol.h"

namespace talvik::testing {
namespace {

constexpr std::uint32_t kSilent = 0xCB0071C8;  // 203.0.113.200; up to .99 answer
constexpr std::uint32_t kHangs = 0xCB0071FE;   // until stopped

MacAddress MacOf(std::uint32_t target) {
    return {0x00, 0x0c, 0x29, 0x3a, 0x4b, static_cast<std::uint8_t>(target)};
}

// Plays the network behind a helper that runs on a thread of this process, over a real
// socket pair.
class InProcessHelper final : public IArpSender {
public:
    explicit InProcessHelper(bool greet = true, std::uint32_t greeting = kNoError) {
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        engineEnd_ = UniqueFd(ends[0]);
        helperEnd_ = UniqueFd(ends[1]);
        const auto bytes = EncodeHelperReply(HelperReply{0, greeting, {}});
        EXPECT_TRUE(!greet || ::send(ends[1], bytes.data(), bytes.size(), 0) == 16);
        server_ = std::jthread([this] { clean_ = ArpHelperServer(helperEnd_.Get(), *this).Run(); });
    }
    std::uint32_t SendARP(std::uint32_t target, std::uint8_t* mac, std::uint32_t* length,
                          std::stop_token stop) override {
        if ((target & 0xff) < 100) {
            std::ranges::copy(MacOf(target), mac);
            *length = 6;
            return kNoError;
        }
        while (target == kHangs && !stop.stop_requested()) {
            std::this_thread::sleep_for(1ms);
        }
        return target == kHangs ? (stopped_++, kErrorCancelled) : kErrorBadNetName;
    }
    std::unique_ptr<HelperArpSender> Attach(std::chrono::milliseconds patience = 30s) {
        return HelperArpSender::Attach(std::move(engineEnd_), 500ms, patience);
    }
    // Waits a while for the helper to have stopped `count` probes.
    int Stopped(int count) {
        for (int i = 0; i < 200 && stopped_ < count; ++i) {
            std::this_thread::sleep_for(5ms);
        }
        return stopped_;
    }
    // False until the server ended, then whether it ended cleanly.
    std::atomic<bool> clean_{false};
    std::atomic<int> stopped_{0};
    UniqueFd engineEnd_;
    UniqueFd helperEnd_;
    std::jthread server_;
};

TEST(HelperArpSender, AnswersReachTheirOwnCallers) {
    InProcessHelper helper;
    auto sender = helper.Attach();
    ASSERT_TRUE(sender);
    std::vector<int> wrong(64, -1);
    {
        std::vector<std::jthread> threads;
        for (std::uint32_t i = 0; i < wrong.size(); ++i) {
            threads.emplace_back([&, i] {
                const std::uint32_t target = i % 2 ? kHostIp + i : kSilent;
                const Outcome expected =
                    i % 2 ? Outcome{kNoError, MacOf(target)} : Outcome{kErrorBadNetName, {}};
                wrong[i] = 0;
                for (int round = 0; round < 20; ++round) {
                    wrong[i] += Ask(*sender, target) != expected;
                }
            });
        }
    }
    EXPECT_EQ(wrong, std::vector<int>(64, 0));
    sender.reset();  // closes the channel, which ends the server cleanly
    helper.server_.join();
    EXPECT_TRUE(helper.clean_);
}

TEST(HelperArpSender, StopOrAWedgedHelperGivesUpTheProbeAtBothEnds) {
    InProcessHelper helper;
    auto sender = helper.Attach(1s);
    ASSERT_TRUE(sender);
    std::stop_source stop;
    std::vector<std::uint32_t> statuses(16, ~0u);
    {
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < statuses.size(); ++i) {
            threads.emplace_back(
                [&, i] { statuses[i] = Ask(*sender, kHangs, stop.get_token()).status; });
        }
        std::this_thread::sleep_for(50ms);
        stop.request_stop();
    }
    EXPECT_EQ(statuses, std::vector<std::uint32_t>(16, kErrorCancelled));
    EXPECT_EQ(helper.Stopped(16), 16);
    // A helper that never answers cannot hold a probe for ever; it is told to give it up.
    EXPECT_EQ(Ask(*sender, kHangs).status, kErrorTimeout);
    EXPECT_EQ(helper.Stopped(17), 17);
    EXPECT_EQ(Ask(*sender, kHostIp), (Outcome{kNoError, MacOf(kHostIp)}));
}

TEST(HelperArpSender, AHelperThatGoesAwayFailsEveryProbe) {
    InProcessHelper helper;
    auto sender = helper.Attach();
    ASSERT_TRUE(sender);
    std::uint32_t waiting = ~0u;
    std::jthread probe([&] { waiting = Ask(*sender, kHangs).status; });
    std::this_thread::sleep_for(50ms);
    ::shutdown(helper.helperEnd_.Get(), SHUT_RDWR);
    probe.join();
    EXPECT_EQ(waiting, kErrorGenFailure);
    EXPECT_EQ(Ask(*sender, kHostIp).status, kErrorGenFailure);
}

TEST(HelperArpSender, OnlyAReadyHelperIsUsed) {
    EXPECT_FALSE(InProcessHelper(true, kErrorNotSupported).Attach());  // no CAP_NET_RAW
    EXPECT_FALSE(InProcessHelper(false).Attach());                     // never greets
    EXPECT_FALSE(HelperArpSender::Start("/nonexistent/talvik-arp", ArpSchedule{}, 500ms));
    EXPECT_FALSE(HelperArpSender::Start("/bin/true", ArpSchedule{}, 500ms));
}

TEST(ArpHelperServer, MalformedOrDuplicateRequestsEndIt) {
    for (const auto& records : std::vector<std::vector<HelperRequest>>{
             {{7, 1, kHostIp}},
             {{kHelperProbe, 0, kHostIp}},
             {{kHelperProbe, 5, kHangs}, {kHelperProbe, 5, kHangs}}}) {
        InProcessHelper helper(false);
        for (const HelperRequest& record : records) {
            const auto bytes = EncodeHelperRequest(record);
            ASSERT_EQ(::send(helper.engineEnd_.Get(), bytes.data(), bytes.size(), 0), 12);
        }
        helper.server_.join();
        EXPECT_FALSE(helper.clean_);
    }
    // A record cut short by the engine closing is simply the end.
    InProcessHelper helper(false);
    ASSERT_EQ(::send(helper.engineEnd_.Get(), "\x01\x00", 2, 0), 2);
    helper.engineEnd_.Reset();
    helper.server_.join();
    EXPECT_TRUE(helper.clean_);
}

}  // namespace
}  // namespace talvik::testing
