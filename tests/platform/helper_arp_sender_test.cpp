#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/ArpHelperServer.h"
#include "platform/HelperArpSender.h"
#include "platform/HelperProtocol.h"

namespace talvik {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kAnswers = 0xCB00710A;  // 203.0.113.10; up to .99 answer
constexpr std::uint32_t kSilent = 0xCB0071C8;   // 203.0.113.200
constexpr std::uint32_t kHangs = 0xCB0071FE;    // until stopped

// Plays the network behind the helper: a host answers with a MAC ending in its address's last
// byte, a silent one never does, one keeps its probe waiting until it is given up.
class ScriptedSender final : public IArpSender {
public:
    std::uint32_t SendARP(std::uint32_t target, std::uint8_t* mac, std::uint32_t* length,
                          std::stop_token stop) override {
        if ((target & 0xff) < 100) {
            const std::uint8_t answer[6] = {0x00, 0x0c, 0x29,
                                            0x3a, 0x4b, static_cast<std::uint8_t>(target)};
            std::copy(std::begin(answer), std::end(answer), mac);
            *length = 6;
            return kNoError;
        }
        if (target == kHangs) {
            while (!stop.stop_requested()) {
                std::this_thread::sleep_for(1ms);
            }
            stopped_++;
            return kErrorCancelled;
        }
        return kErrorBadNetName;
    }
    std::atomic<int> stopped_{0};
};

// A helper served on a thread of this process over a real socket pair.
class InProcessHelper final {
public:
    explicit InProcessHelper(bool greet = true, std::uint32_t greeting = kNoError) {
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        engineEnd_ = UniqueFd(ends[0]);
        helperEnd_ = UniqueFd(ends[1]);
        if (greet) {
            const auto bytes = EncodeHelperReply(HelperReply{0, greeting, {}});
            EXPECT_EQ(::send(helperEnd_.Get(), bytes.data(), bytes.size(), 0), 16);
        }
        server_ = std::jthread([this] {
            ArpHelperServer server(helperEnd_.Get(), network_);
            clean_ = server.Run();
            served_ = true;
        });
    }
    std::unique_ptr<HelperArpSender> Attach(std::chrono::milliseconds patience = 30s) {
        return HelperArpSender::Attach(std::move(engineEnd_), 500ms, patience);
    }
    // Waits a while for the helper to have stopped `count` probes.
    int Stopped(int count) {
        for (int i = 0; i < 200 && network_.stopped_ < count; ++i) {
            std::this_thread::sleep_for(5ms);
        }
        return network_.stopped_;
    }

    ScriptedSender network_;
    UniqueFd engineEnd_;
    UniqueFd helperEnd_;
    std::atomic<bool> clean_{false};
    std::atomic<bool> served_{false};
    std::jthread server_;
};

std::uint32_t Ask(IArpSender& sender, std::uint32_t target, std::stop_token stop = {},
                  std::uint8_t* mac = nullptr) {
    std::uint8_t buffer[6] = {};
    std::uint32_t length = 6;
    return sender.SendARP(target, mac ? mac : buffer, &length, stop);
}

TEST(HelperArpSender, AnswersReachTheirOwnCallers) {
    InProcessHelper helper;
    auto sender = helper.Attach();
    ASSERT_TRUE(sender);
    std::vector<int> wrong(64, -1);
    {
        std::vector<std::jthread> threads;
        for (std::uint32_t i = 0; i < wrong.size(); ++i) {
            threads.emplace_back([&, i] {
                wrong[i] = 0;
                for (int round = 0; round < 20; ++round) {
                    std::uint8_t mac[6] = {};
                    if (i % 2 ? Ask(*sender, kAnswers + i, {}, mac) != kNoError || mac[5] != 10 + i
                              : Ask(*sender, kSilent) != kErrorBadNetName) {
                        wrong[i]++;
                    }
                }
            });
        }
    }
    EXPECT_EQ(wrong, std::vector<int>(64, 0));

    sender.reset();  // closes the channel, which ends the server cleanly
    helper.server_.join();
    EXPECT_TRUE(helper.served_);
    EXPECT_TRUE(helper.clean_);
}

TEST(HelperArpSender, StopGivesUpTheProbeAtBothEnds) {
    InProcessHelper helper;
    auto sender = helper.Attach();
    ASSERT_TRUE(sender);
    std::stop_source stop;
    std::vector<std::uint32_t> statuses(16, ~0u);
    {
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < statuses.size(); ++i) {
            threads.emplace_back([&, i] { statuses[i] = Ask(*sender, kHangs, stop.get_token()); });
        }
        std::this_thread::sleep_for(50ms);
        stop.request_stop();
    }
    EXPECT_EQ(statuses, std::vector<std::uint32_t>(16, kErrorCancelled));
    EXPECT_EQ(helper.Stopped(16), 16);
    EXPECT_EQ(Ask(*sender, kAnswers), kNoError);
}

TEST(HelperArpSender, AHelperThatGoesAwayFailsEveryProbe) {
    InProcessHelper helper;
    auto sender = helper.Attach();
    ASSERT_TRUE(sender);
    std::uint32_t waiting = ~0u;
    std::jthread probe([&] { waiting = Ask(*sender, kHangs); });
    std::this_thread::sleep_for(50ms);
    ::shutdown(helper.helperEnd_.Get(), SHUT_RDWR);
    probe.join();
    EXPECT_EQ(waiting, kErrorGenFailure);
    EXPECT_EQ(Ask(*sender, kAnswers), kErrorGenFailure);
}

TEST(HelperArpSender, AWedgedHelperCannotHoldAProbeForever) {
    InProcessHelper helper;
    auto sender = helper.Attach(100ms);
    ASSERT_TRUE(sender);
    EXPECT_EQ(Ask(*sender, kHangs), kErrorTimeout);
    EXPECT_EQ(helper.Stopped(1), 1) << "the helper was not told to give the probe up";
    EXPECT_EQ(Ask(*sender, kAnswers), kNoError);
}

TEST(HelperArpSender, OnlyAReadyHelperIsUsed) {
    EXPECT_FALSE(InProcessHelper(true, kErrorNotSupported).Attach());  // no CAP_NET_RAW
    EXPECT_FALSE(InProcessHelper(false).Attach());                     // never greets
    EXPECT_FALSE(HelperArpSender::Start("/nonexistent/talvik-arp", ArpSchedule{}, 500ms));
    EXPECT_FALSE(HelperArpSender::Start("/bin/true", ArpSchedule{}, 500ms));
}

TEST(ArpHelperServer, MalformedOrDuplicateRequestsEndIt) {
    for (const auto& records : std::vector<std::vector<HelperRequest>>{
             {{7, 1, kAnswers}},
             {{kHelperProbe, 0, kAnswers}},
             {{kHelperProbe, 5, kHangs}, {kHelperProbe, 5, kHangs}},
         }) {
        InProcessHelper helper(false);
        for (const HelperRequest& record : records) {
            const auto bytes = EncodeHelperRequest(record);
            ASSERT_EQ(::send(helper.engineEnd_.Get(), bytes.data(), bytes.size(), 0), 12);
        }
        helper.server_.join();
        EXPECT_TRUE(helper.served_);
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
}  // namespace talvik
