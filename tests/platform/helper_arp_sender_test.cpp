#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/ArpHelperServer.h"
#include "platform/HelperArpSender.h"
#include "platform/HelperProtocol.h"

namespace talvik {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kAnswers = 0xCB00710A;  // 203.0.113.10
constexpr std::uint32_t kSilent = 0xCB00710B;
constexpr std::uint32_t kHangs = 0xCB00710C;  // until stopped

// Plays the network behind the helper: one host answers, one never does, one keeps its
// probe waiting until it is given up.
class ScriptedSender final : public IArpSender {
public:
    std::uint32_t SendARP(std::uint32_t target, std::uint8_t* mac, std::uint32_t* length,
                          std::stop_token stop) override {
        if (target == kAnswers) {
            const std::uint8_t answer[6] = {0x00, 0x0c, 0x29,
                                            0x3a, 0x4b, static_cast<std::uint8_t>(calls_++ % 200)};
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
    std::atomic<int> calls_{0};
    std::atomic<int> stopped_{0};
};

// A helper served on a thread of this process over a real socket pair.
class InProcessHelper final {
public:
    InProcessHelper() {
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        engineEnd_ = UniqueFd(ends[0]);
        helperEnd_ = UniqueFd(ends[1]);
    }
    void Greet(std::uint32_t status) {
        const auto bytes = EncodeHelperReply(HelperReply{0, status, {}});
        ASSERT_EQ(::send(helperEnd_.Get(), bytes.data(), bytes.size(), 0), 16);
    }
    void Serve() {
        server_ = std::jthread([this] {
            ArpHelperServer server(helperEnd_.Get(), network_);
            clean_ = server.Run();
            served_ = true;
        });
    }
    std::unique_ptr<HelperArpSender> Attach() {
        return HelperArpSender::Attach(std::move(engineEnd_), 500ms, patience_);
    }
    void Crash() { ::shutdown(helperEnd_.Get(), SHUT_RDWR); }
    void Join() { server_ = {}; }

    ScriptedSender network_;
    std::chrono::milliseconds patience_ = 30s;
    UniqueFd engineEnd_;
    UniqueFd helperEnd_;
    std::atomic<bool> clean_{false};
    std::atomic<bool> served_{false};
    std::jthread server_;
};

std::uint32_t Ask(IArpSender& sender, std::uint32_t target, std::uint8_t* mac = nullptr,
                  std::stop_token stop = {}) {
    std::uint8_t buffer[6] = {};
    std::uint32_t length = 6;
    return sender.SendARP(target, mac ? mac : buffer, &length, stop);
}

TEST(HelperProtocol, RecordsRoundTripAndStrangeOnesAreRefused) {
    const HelperRequest request{kHelperProbe, 77, kAnswers};
    const auto decoded = DecodeHelperRequest(EncodeHelperRequest(request));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->id, 77u);
    EXPECT_EQ(decoded->target, kAnswers);
    EXPECT_FALSE(DecodeHelperRequest(EncodeHelperRequest({3, 77, kAnswers})));
    EXPECT_FALSE(DecodeHelperRequest(EncodeHelperRequest({0, 77, kAnswers})));
    EXPECT_FALSE(DecodeHelperRequest(EncodeHelperRequest({kHelperProbe, 0, kAnswers})));

    const HelperReply reply{9, kNoError, {1, 2, 3, 4, 5, 6}};
    auto bytes = EncodeHelperReply(reply);
    const auto back = DecodeHelperReply(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->mac, reply.mac);
    bytes[15] = 1;
    EXPECT_FALSE(DecodeHelperReply(bytes));
}

TEST(HelperArpSender, AnswersReachTheirOwnCallers) {
    InProcessHelper helper;
    helper.Greet(kNoError);
    helper.Serve();
    auto sender = helper.Attach();
    ASSERT_TRUE(sender);

    std::uint8_t mac[6] = {};
    EXPECT_EQ(Ask(*sender, kAnswers, mac), kNoError);
    EXPECT_EQ(mac[0], 0x00);
    EXPECT_EQ(mac[1], 0x0c);
    EXPECT_EQ(Ask(*sender, kSilent), kErrorBadNetName);
    std::uint32_t shortLength = 5;
    EXPECT_EQ(sender->SendARP(kAnswers, mac, &shortLength, {}), kErrorInvalidParameter);

    std::vector<std::uint32_t> statuses(64, ~0u);
    {
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < statuses.size(); ++i) {
            threads.emplace_back([&, i] {
                for (int round = 0; round < 20; ++round) {
                    const std::uint32_t status = Ask(*sender, i % 2 ? kAnswers : kSilent);
                    if (status != (i % 2 ? kNoError : kErrorBadNetName)) {
                        statuses[i] = status;
                        return;
                    }
                }
                statuses[i] = kNoError;
            });
        }
    }
    for (std::uint32_t status : statuses) {
        EXPECT_EQ(status, kNoError);
    }

    sender.reset();  // closes the channel, which ends the server cleanly
    helper.Join();
    EXPECT_TRUE(helper.served_);
    EXPECT_TRUE(helper.clean_);
}

TEST(HelperArpSender, StopGivesUpTheProbeAtBothEnds) {
    InProcessHelper helper;
    helper.Greet(kNoError);
    helper.Serve();
    auto sender = helper.Attach();
    ASSERT_TRUE(sender);

    std::stop_source stop;
    std::vector<std::uint32_t> statuses(16, ~0u);
    {
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < statuses.size(); ++i) {
            threads.emplace_back(
                [&, i] { statuses[i] = Ask(*sender, kHangs, nullptr, stop.get_token()); });
        }
        std::this_thread::sleep_for(50ms);
        stop.request_stop();
    }
    for (std::uint32_t status : statuses) {
        EXPECT_EQ(status, kErrorCancelled);
    }
    // The helper hears of every cancelled probe and stops it too.
    for (int i = 0; i < 200 && helper.network_.stopped_ < 16; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(helper.network_.stopped_, 16);
    EXPECT_EQ(Ask(*sender, kAnswers), kNoError);
}

TEST(HelperArpSender, AHelperThatGoesAwayFailsEveryProbe) {
    InProcessHelper helper;
    helper.Greet(kNoError);
    helper.Serve();
    auto sender = helper.Attach();
    ASSERT_TRUE(sender);
    std::uint32_t waiting = ~0u;
    std::jthread probe([&] { waiting = Ask(*sender, kHangs); });
    std::this_thread::sleep_for(50ms);
    helper.Crash();
    probe.join();
    EXPECT_EQ(waiting, kErrorGenFailure);
    EXPECT_EQ(Ask(*sender, kAnswers), kErrorGenFailure);
}

TEST(HelperArpSender, AWedgedHelperCannotHoldAProbeForever) {
    InProcessHelper helper;
    helper.patience_ = 100ms;
    helper.Greet(kNoError);
    helper.Serve();
    auto sender = helper.Attach();
    ASSERT_TRUE(sender);
    EXPECT_EQ(Ask(*sender, kHangs), kErrorTimeout);
    // The helper was told to give the probe up.
    for (int i = 0; i < 200 && helper.network_.stopped_ < 1; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(helper.network_.stopped_, 1);
    EXPECT_EQ(Ask(*sender, kAnswers), kNoError);
}

TEST(HelperArpSender, OnlyAReadyHelperIsUsed) {
    {
        InProcessHelper refusing;
        refusing.Greet(kErrorNotSupported);  // no CAP_NET_RAW
        EXPECT_FALSE(refusing.Attach());
    }
    {
        InProcessHelper mute;
        EXPECT_FALSE(mute.Attach());
    }
    EXPECT_FALSE(HelperArpSender::Start("/nonexistent/talvik-arp", ArpSchedule{}, 500ms));
    EXPECT_FALSE(HelperArpSender::Start("/bin/true", ArpSchedule{}, 500ms));
}

TEST(ArpHelperServer, MalformedOrDuplicateRequestsEndIt) {
    for (const auto& records : std::vector<std::vector<HelperRequest>>{
             {{7, 1, kAnswers}},
             {{kHelperProbe, 0, kAnswers}},
             {{kHelperProbe, 5, kHangs}, {kHelperProbe, 5, kHangs}},
         }) {
        InProcessHelper helper;
        helper.Serve();
        for (const HelperRequest& record : records) {
            const auto bytes = EncodeHelperRequest(record);
            ASSERT_EQ(::send(helper.engineEnd_.Get(), bytes.data(), bytes.size(), 0), 12);
        }
        helper.Join();
        EXPECT_TRUE(helper.served_);
        EXPECT_FALSE(helper.clean_);
    }
    // A record cut short by the engine closing is simply the end.
    InProcessHelper helper;
    helper.Serve();
    ASSERT_EQ(::send(helper.engineEnd_.Get(), "\x01\x00", 2, 0), 2);
    helper.engineEnd_.Reset();
    helper.Join();
    EXPECT_TRUE(helper.clean_);
}

}  // namespace
}  // namespace talvik
