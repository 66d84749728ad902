#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "Lab.h"
#include "platform/HelperArpSender.h"

namespace talvik::testing {
namespace {

using Clock = std::chrono::steady_clock;
using ::testing::HasSubstr;

class SenderTest : public LabTest, public ::testing::WithParamInterface<ArpSenderKind> {
protected:
    ArpSenderOptions Options() const {
        ArpSenderOptions options;
        options.kind = GetParam();
        return options;
    }
};

TEST_P(SenderTest, FindsHostsWithTheirOwnMacOnlyWhileTheyAreThere) {
    ASSERT_TRUE(Shell("ip -n " + host_ + " addr add 203.0.113.11/24 dev " + host_));
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

        ASSERT_TRUE(Shell("ip -n " + host_ + " addr del 203.0.113.10/24 dev " + host_));
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
            ScriptedHost host(host_, c.ignore, c.delay);
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
        ASSERT_TRUE(Shell("ip -n " + scanner_ + " neigh replace 203.0.113.50 lladdr " +
                          "02:7a:00:00:00:99 nud " + nud + " dev " + scanner_));
        WithSender(options, [&](IArpSender& sender) {
            EXPECT_EQ(Ask(sender, 0xCB007132).status, kErrorBadNetName) << nud;
        });
    }
}

#ifdef TALVIK_TEST_HELPER
// Starts the helper as the unprivileged user nobody, with `capabilities` handed to it the way
// a file capability would.
std::string AsNobody(const std::string& capabilities) {
    const std::string path = ::testing::TempDir() + "talvik-arp-as-nobody" +
                             std::to_string(::getpid()) + (capabilities.empty() ? "" : "-raw");
    std::ofstream(path) << "#!/bin/sh\nexec /usr/bin/setpriv --reuid=65534 --regid=65534 "
                        << "--clear-groups " << capabilities << " " << TALVIK_TEST_HELPER
                        << " \"$@\"\n";
    ::chmod(path.c_str(), 0755);
    return path;
}

TEST_F(LabTest, TheHelperServesWithNoPrivilegeLeftAndEndsWithUs) {
    for (const std::string& path : {std::string(TALVIK_TEST_HELPER),
                                    AsNobody("--inh-caps +net_raw --ambient-caps +net_raw")}) {
        SCOPED_TRACE(path);
        // Started on a thread that ends before the sender is used: the helper must not go
        // with that thread. Its frames leave in the scanner's namespace, where it was started.
        std::unique_ptr<HelperArpSender> sender;
        InScanner([&] { sender = HelperArpSender::Start(path, ArpSchedule{}, 2s); });
        ASSERT_TRUE(sender);
        EXPECT_EQ(Ask(*sender, kHostIp), (Outcome{kNoError, kHostMac}));

        const pid_t child = sender->Child();
        std::ifstream in("/proc/" + std::to_string(child) + "/status");
        const std::string status{std::istreambuf_iterator<char>(in), {}};
        for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"}) {
            EXPECT_THAT(status, HasSubstr(std::string(set) + ":\t0000000000000000\n"));
        }
        EXPECT_THAT(status, HasSubstr("NoNewPrivs:\t1\n"));
        EXPECT_THAT(status, HasSubstr(path == TALVIK_TEST_HELPER ? "CapBnd:\t0000000000000000\n"
                                                                 : "Uid:\t65534\t"));
        sender.reset();
        EXPECT_NE(::kill(child, 0), 0) << "the helper outlived its sender";
    }
    // Without the capability it refuses to serve.
    InScanner([] { EXPECT_FALSE(HelperArpSender::Start(AsNobody(""), ArpSchedule{}, 2s)); });
}
#endif

}  // namespace
}  // namespace talvik::testing
