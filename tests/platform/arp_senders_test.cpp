#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <thread>
#include <vector>

#include "Lab.h"

namespace talvik::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class SenderTest : public LabTest, public ::testing::WithParamInterface<ArpSenderKind> {
protected:
    ArpSenderOptions Options() const {
        ArpSenderOptions options;
        options.kind = GetParam();
        return options;
    }
};

TEST_P(SenderTest, FindsHostsWithTheirOwnMacOnlyWhileTheyAreThere) {
    ASSERT_TRUE(Shell("ip -n " + lab_->Host() + " addr add 203.0.113.11/24 dev " + lab_->Host()));
    WithSender(Options(), [&](IArpSender& sender) {
        // .10 and .11 answer, .12 to .17 do not; one thread a target, as a scan asks.
        std::vector<Outcome> outcomes(8);
        {
            std::vector<std::jthread> threads;
            for (std::uint32_t i = 0; i < outcomes.size(); ++i) {
                threads.emplace_back([&, i] { outcomes[i] = Ask(sender, kHostIp + i); });
            }
        }
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            EXPECT_EQ(outcomes[i],
                      (i < 2 ? Outcome{kNoError, kHostMac} : Outcome{kErrorBadNetName, {}}))
                << i;
        }
        // Asked again while the kernel holds a fresh entry and asks nobody itself.
        EXPECT_EQ(Ask(sender, kHostIp), (Outcome{kNoError, kHostMac}));
        EXPECT_EQ(Ask(sender, kScannerIp), (Outcome{kNoError, kScannerMac}));
        std::uint8_t mac[6];
        std::uint32_t shortLength = 4;
        EXPECT_EQ(sender.SendARP(kHostIp, mac, &shortLength, {}), kErrorInvalidParameter);

        ASSERT_TRUE(
            Shell("ip -n " + lab_->Host() + " addr del 203.0.113.10/24 dev " + lab_->Host()));
        EXPECT_EQ(Ask(sender, kHostIp).status, kErrorBadNetName) << "found a host that left";
    });
}

TEST_P(SenderTest, OffLinkFailsAndStopEndsEveryWaitAtOnce) {
    ArpSenderOptions slow = Options();
    slow.schedule = *ArpSchedule::FromText("0,3000/9000");
    slow.neighbour.giveUp = 9s;
    WithSender(slow, [](IArpSender& sender) {
        auto before = Clock::now();
        EXPECT_EQ(Ask(sender, kOffLinkIp).status, kErrorBadNetName);
        EXPECT_LT(Clock::now() - before, 1s);

        std::stop_source stop;
        std::vector<std::uint32_t> statuses(8, ~0u);
        {
            std::vector<std::jthread> threads;
            for (std::uint32_t i = 0; i < statuses.size(); ++i) {
                threads.emplace_back(
                    [&, i] { statuses[i] = Ask(sender, kNobodyIp + i, stop.get_token()).status; });
            }
            std::this_thread::sleep_for(100ms);
            before = Clock::now();
            stop.request_stop();
        }
        EXPECT_LT(Clock::now() - before, 1s);
        EXPECT_EQ(statuses, std::vector<std::uint32_t>(8, kErrorCancelled));
        EXPECT_EQ(Ask(sender, kHostIp, stop.get_token()).status, kErrorCancelled);
    });
}

INSTANTIATE_TEST_SUITE_P(Kinds, SenderTest,
                         ::testing::Values(ArpSenderKind::Packet, ArpSenderKind::Helper,
                                           ArpSenderKind::Neighbour),
                         [](const auto& info) { return ArpSenderKindName(info.param); });

TEST_F(LabTest, RetriesCoverLostAndLateAnswersUntilTheGiveUpTime) {
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
    for (ArpSenderKind kind : {ArpSenderKind::Packet, ArpSenderKind::Helper}) {
        ArpSenderOptions options;
        options.kind = kind;
        options.schedule = *ArpSchedule::FromText("0,100,250/400");
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(ArpSenderKindName(kind)) + " ignoring " +
                         std::to_string(c.ignore) + ", delay " + std::to_string(c.delay.count()));
            ScriptedHost host(*lab_, c.ignore, c.delay);
            ASSERT_TRUE(host.Ok());
            WithSender(options, [&](IArpSender& sender) {
                EXPECT_EQ(Ask(sender, ScriptedHost::kIp),
                          (c.found ? Outcome{kNoError, ScriptedHost::kMac}
                                   : Outcome{kErrorBadNetName, {}}));
            });
            std::this_thread::sleep_for(100ms);  // lets the host see any request still on its way
            EXPECT_EQ(host.Requests(), c.requests);
        }
    }
}

TEST_F(LabTest, EntriesLeftInTheNeighbourTableNeverCount) {
    ArpSenderOptions options;
    options.kind = ArpSenderKind::Neighbour;
    options.neighbour.reprobeGiveUp = 1500ms;
    for (const char* nud : {"stale", "reachable", "permanent", "noarp"}) {
        ASSERT_TRUE(Shell("ip -n " + lab_->Scanner() + " neigh replace 203.0.113.50 lladdr " +
                          "02:7a:00:00:00:99 nud " + nud + " dev " + lab_->Scanner()));
        WithSender(options, [&](IArpSender& sender) {
            EXPECT_EQ(Ask(sender, 0xCB007132).status, kErrorBadNetName) << nud;
        });
    }
}

TEST_F(LabTest, AsRootTheAutomaticChoiceIsThePacketSocket) {
    ASSERT_TRUE(lab_->InScanner([] {
        ArpSenderKind chosen = ArpSenderKind::Automatic;
        const auto sender = MakeArpSender({}, &chosen);
        ASSERT_TRUE(sender);
        EXPECT_EQ(chosen, ArpSenderKind::Packet);
        EXPECT_EQ(Ask(*sender, kHostIp), (Outcome{kNoError, kHostMac}));
    }));
}

}  // namespace
}  // namespace talvik::testing
