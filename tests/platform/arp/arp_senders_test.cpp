// SPDX-License-Identifier: GPL-3.0-or-later
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "Lab.h"
#include "arp/ArpHelperServer.h"
#include "arp/ArpSenders.h"
#include "arp/HelperArpSender.h"
#include "arp/HelperProtocol.h"

namespace talvik::test {
namespace {

using Clock = std::chrono::steady_clock;
using ::testing::HasSubstr;

class SenderTest : public LabTest, public ::testing::WithParamInterface<ArpSenderKind> {};

TEST_P(SenderTest, FindsHostsWithTheirOwnMacOnlyWhileTheyAreThere) {
    WithSender(GetParam(), [&](IArpSender& sender) {
        // .10 and .11 answer, .12 to .17 do not; one thread a target, as a scan asks.
        const auto outcomes =
            OnThreads<Outcome>(8, [&](std::uint32_t i) { return Ask(sender, kHostIp + i); });
        for (std::uint32_t i = 0; i < outcomes.size(); ++i) {
            EXPECT_EQ(outcomes[i], i < 2 ? Answer(HostMac(kHostIp + i)) : kNoAnswer) << i;
        }
        // Asked again while the kernel holds a fresh entry and asks nobody itself.
        EXPECT_EQ(Ask(sender, kHostIp), Answer(kHostMac));
        EXPECT_EQ(Ask(sender, kScannerIp), Answer(kScannerMac));
        std::uint8_t mac[6];
        std::uint32_t shortLength = 4;
        EXPECT_EQ(sender.SendARP(kHostIp, mac, &shortLength, {}), kErrorInvalidParameter);

        ASSERT_TRUE(Play({kHostIp + 1}));
        // The fallback takes the kernel's word for a neighbour it confirmed a moment ago, so a
        // host that has just left still shows there; the others ask the network.
        EXPECT_EQ(Ask(sender, kHostIp).status,
                  GetParam() == ArpSenderKind::Neighbour ? kNoError : kErrorBadNetName)
            << "found a host that left";
    });
}

TEST_P(SenderTest, OffLinkFailsAndStopEndsEveryWaitAtOnce) {
    schedule_ = *ArpSchedule::FromText("0,3000/9000");
    neighbour_.giveUp = 9s;
    WithSender(GetParam(), [](IArpSender& sender) {
        Clock::time_point before = Clock::now();
        EXPECT_EQ(Ask(sender, kOffLinkIp).status, kErrorHostUnreachable);
        EXPECT_LT(Clock::now() - before, 1s);

        std::stop_source stop;
        const auto statuses = OnThreads<std::uint32_t>(
            8, [&](std::uint32_t i) { return Ask(sender, kNobodyIp + i, stop.get_token()).status; },
            [&] {
                std::this_thread::sleep_for(100ms);
                before = Clock::now();
                stop.request_stop();
            });
        EXPECT_LT(Clock::now() - before, 1s);
        EXPECT_EQ(statuses, std::vector<std::uint32_t>(8, kErrorCancelled));
        EXPECT_EQ(Ask(sender, kHostIp, stop.get_token()).status, kErrorCancelled);
    });
}

// A host that answers after the probe gave up reaches the probe's listener as its answer
// comes, not only when a sweep looks, and with the host's own MAC.
TEST_P(SenderTest, AnAnswerAfterTheGiveUpReachesTheListener) {
    ScriptedHost host(*lab_, 0, 350ms);
    ASSERT_TRUE(host.Ok());
    WithSender(GetParam(), [&](IArpSender& sender) {
        HeardLate heard;
        std::uint8_t mac[6];
        std::uint32_t length = 6;
        EXPECT_EQ(sender.SendARP(ScriptedHost::kIp, mac, &length, {}, heard.Tag(3)),
                  kErrorBadNetName);
        EXPECT_EQ(heard.Awaited(1500ms), (HeardLate::Heard{{3, ScriptedHost::kMac}}));
        // A silent target of a scan that stopped listening is forgotten by the next probe.
        EXPECT_EQ(sender.SendARP(kNobodyIp, mac, &length, {}, heard.Tag(4)), kErrorBadNetName);
        heard.Listener()->Close();
        EXPECT_EQ(Ask(sender, kNobodyIp), kNoAnswer);
        if (GetParam() == ArpSenderKind::Packet) {
            // The same on the packet socket itself, whose lingering probes can be counted (the
            // sender made above watches the links around it).
            auto packet = PacketArpSender::Create(PacketArpSender::OpenSocket());
            ASSERT_NE(packet, nullptr);
            const auto another = std::make_shared<LateListener>(nullptr);
            EXPECT_EQ(packet->SendARP(kNobodyIp, mac, &length, {}, LateTag{another, 4}),
                      kErrorBadNetName);
            EXPECT_EQ(packet->LingeringCount(), 1u);
            another->Close();
            EXPECT_EQ(Ask(*packet, kNobodyIp), kNoAnswer);
            EXPECT_EQ(packet->LingeringCount(), 0u);
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Kinds, SenderTest,
                         ::testing::Values(ArpSenderKind::Packet, ArpSenderKind::Helper,
                                           ArpSenderKind::Neighbour),
                         [](const auto& kind) { return ArpSenderKindName(kind.param); });

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
    schedule_ = *ArpSchedule::FromText("0,100,250/400");
    for (ArpSenderKind kind : {ArpSenderKind::Packet, ArpSenderKind::Helper}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(ArpSenderKindName(kind)) + " ignoring " +
                         std::to_string(c.ignore) + ", delay " + std::to_string(c.delay.count()));
            ScriptedHost host(*lab_, c.ignore, c.delay);
            ASSERT_TRUE(host.Ok());
            WithSender(kind, [&](IArpSender& sender) {
                EXPECT_EQ(Ask(sender, ScriptedHost::kIp),
                          c.found ? Answer(ScriptedHost::kMac) : kNoAnswer);
            });
            std::this_thread::sleep_for(100ms);  // lets the host see any request still on its way
            EXPECT_EQ(host.Requests(), c.requests);
        }
    }
}

// A device said to have our own MAC is asked by broadcast only, through the helper too: no
// frame goes to that MAC, however long its window.
TEST_F(LabTest, OurOwnMacIsNeverAskedDirectly) {
    for (ArpSenderKind kind : {ArpSenderKind::Packet, ArpSenderKind::Helper}) {
        SCOPED_TRACE(ArpSenderKindName(kind));
        ASSERT_TRUE(Play({kHostIp}));
        WithSender(kind, [&](IArpSender& sender) {
            const KnownDevice device{kNobodyIp, kScannerMac};
            sender.Remember(std::span(&device, 1));
            HeardLate heard;
            heard.Listener()->SetWindow(600ms);
            std::uint8_t mac[6];
            std::uint32_t length = 6;
            EXPECT_EQ(sender.SendARP(kNobodyIp, mac, &length, {}, heard.Tag(1)), kErrorBadNetName);
            std::this_thread::sleep_for(700ms);
        });
        const auto requests = responder_->Stop().requests;
        EXPECT_GE(std::ranges::count_if(requests, [](const auto& r) { return !r.unicast; }), 3);
        EXPECT_EQ(std::ranges::count_if(requests, [](const auto& r) { return r.unicast; }), 0);
    }
}

// Entries nobody confirmed lately never count, nor static ones; one the kernel calls reachable
// is its word that the host answered, and counts.
TEST_F(LabTest, EntriesLeftInTheNeighbourTableNeverCount) {
    neighbour_.reprobeGiveUp = 1500ms;
    for (const char* nud : {"stale", "reachable", "permanent", "noarp"}) {
        ASSERT_TRUE(Shell("ip -n " + scanner_ + " neigh replace 203.0.113.50 lladdr " +
                          "02:7a:00:00:00:99 nud " + nud + " dev " + link_));
        WithSender(ArpSenderKind::Neighbour, [&](IArpSender& sender) {
            EXPECT_EQ(Ask(sender, 0xCB007132).status,
                      std::string(nud) == "reachable" ? kNoError : kErrorBadNetName)
                << nud;
        });
    }
}

#ifdef TALVIK_TEST_HELPER
TEST_F(LabTest, TheHelperServesWithNoPrivilegeLeftAndEndsWithUs) {
    for (const std::string& path : {std::string(TALVIK_TEST_HELPER),
                                    AsNobody("--inh-caps +net_raw --ambient-caps +net_raw")}) {
        SCOPED_TRACE(path);
        // Started on a thread that ends before the sender is used: the helper must not go
        // with that thread. Its frames leave in the scanner's namespace, where it was started.
        std::unique_ptr<HelperArpSender> sender;
        InScanner([&] { sender = HelperArpSender::Start(path, ArpSchedule{}, 2s); });
        ASSERT_TRUE(sender);
        EXPECT_EQ(Ask(*sender, kHostIp), Answer(kHostMac));

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

// A helper that ended is started again by the probe that finds it gone, which may wait seconds
// for the new one's greeting; the scan start asks for the late floor on the user-interface
// thread meanwhile, and that never waits for it. The probe then has its answer.
TEST_F(LabTest, OnlyTheProbeThatRestartsTheHelperWaitsForIt) {
    const std::string base = ::testing::TempDir() + "talvik-arp-slow" + std::to_string(::getpid());
    const std::string started = base + ".started";
    std::remove(started.c_str());
    // Every start after the first greets only after 1.5 s.
    std::ofstream(base) << "#!/bin/sh\n[ -e " << started << " ] && /usr/bin/sleep 1.5\n"
                        << "/usr/bin/touch " << started << "\nexec " << TALVIK_TEST_HELPER
                        << " \"$@\"\n";
    ::chmod(base.c_str(), 0755);
    InScanner([&] {
        ArpSenderOptions options;
        options.kind = ArpSenderKind::Helper;
        options.helperPath = base;
        const auto sender = MakeArpSender(options);
        ASSERT_TRUE(sender);
        ASSERT_EQ(Ask(*sender, kHostIp), Answer(kHostMac));
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
            std::ifstream children(task.path() / "children");
            for (int pid = 0; children >> pid;) {
                std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
                if (std::string name; comm >> name && name == "talvik-arp") {
                    ::kill(pid, SIGKILL);
                }
            }
        }
        std::this_thread::sleep_for(100ms);  // its reader has seen it go
        Outcome restarted;
        std::thread probe([&] { restarted = Ask(*sender, kHostIp); });
        std::this_thread::sleep_for(400ms);  // the new helper is not greeting yet
        const auto asked = Clock::now();
        EXPECT_EQ(sender->LateFloor(), 0ms);
        const auto took = Clock::now() - asked;
        probe.join();
        EXPECT_LT(took, 100ms) << "the late floor waited for the helper's greeting";
        EXPECT_EQ(restarted, Answer(kHostMac));
    });
    std::remove(started.c_str());
    std::remove(base.c_str());
}

// Three helpers of an ordinary user, each with 40 silent targets asked again through a long
// window, keep together to the pace of one: seen on the segment, no second after the first
// requests holds more than 500 frames and a little for the moment a helper takes to count the
// others.
TEST_F(LabTest, HelpersTogetherKeepToThePaceOfOne) {
#if defined(__SANITIZE_THREAD__)
    // Three helpers slowed by the sanitizer bunch their frames as they catch up: a second's
    // count would measure the sanitizer, not the pace. The plain build keeps the figure.
    GTEST_SKIP() << "a pace is not measured under ThreadSanitizer";
#endif
    const std::string path = AsNobody("--inh-caps +net_raw --ambient-caps +net_raw");
    ASSERT_TRUE(Play({kHostIp}));
    std::vector<std::unique_ptr<HelperArpSender>> senders(3);
    InScanner([&] {
        for (auto& sender : senders) {
            sender = HelperArpSender::Start(path, ArpSchedule{}, 2s);
            ASSERT_TRUE(sender);
        }
    });
    HeardLate heard;
    heard.Listener()->SetWindow(3000ms);
    OnThreads<int>(120, [&](std::uint32_t i) {
        std::uint8_t mac[6];
        std::uint32_t length = 6;
        return static_cast<int>(
            senders[i % 3]->SendARP(0xCB007164 + i, mac, &length, {}, heard.Tag(1)));
    });
    std::this_thread::sleep_for(3000ms);
    senders.clear();
    const auto requests = responder_->Stop().requests;
    ASSERT_GT(requests.size(), 360u);
    const double from = requests.front().ms + 500;
    std::size_t most = 0;
    for (auto start = requests.begin(), end = start; start != requests.end(); ++start) {
        if (start->ms < from) {
            continue;
        }
        while (end != requests.end() && end->ms < start->ms + 1000) {
            ++end;
        }
        most = std::max(most, static_cast<std::size_t>(end - start));
    }
    EXPECT_GT(most, 250u) << "the extra asks did not run";
    EXPECT_LE(most, 560u);
}
#endif

// The notice names the helper that was tried and gives only advice that fits it; it is read
// after the scan, so it tells what was done, and the command can be copied on its own line.
TEST(FallbackNotice, NamesTheHelperTriedAndAdviceThatFits) {
    const std::string beside = "/home/u/talvik/build/bin/talvik-arp";
    const std::string installed = kInstalledHelperPath;
    const std::string done = "本次扫描已改为通过系统的邻居表探测，速度较慢。";
    const struct {
        ArpSenderKind chosen;
        std::uint32_t why;
        std::string tried, notice;
    } cases[] = {
        {ArpSenderKind::Helper, kNoError, "", ""},
        {ArpSenderKind::Packet, kNoError, "", ""},
        {ArpSenderKind::Neighbour, kErrorFileNotFound, "",
         "找不到 ARP 辅助程序 talvik-arp。\n" + done + "\n\n请安装 talvik 软件包。"},
        {ArpSenderKind::Neighbour, kErrorNotSupported, beside,
         "ARP 辅助程序 " + beside + " 没有 cap_net_raw 权限。\n" + done +
             "\n\n请以 root 身份执行以下命令：\nsetcap cap_net_raw+ep " + beside},
        {ArpSenderKind::Neighbour, kErrorNotSupported, installed,
         "ARP 辅助程序 " + installed + " 没有 cap_net_raw 权限。\n" + done +
             "\n\n请重新安装 talvik 软件包，或以 root 身份执行以下命令：\nsetcap "
             "cap_net_raw+ep " +
             installed},
        {ArpSenderKind::Neighbour, kErrorAccessDenied, beside,
         "系统拒绝了 ARP 辅助程序 " + beside + " 打开套接字（可能受安全策略限制）。\n" + done},
        {ArpSenderKind::Neighbour, kErrorGenFailure, installed,
         "ARP 辅助程序 " + installed + " 未能启动。\n" + done},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FallbackNotice(c.chosen, c.why, c.tried), c.notice) << c.why << " " << c.tried;
    }
}

constexpr std::uint32_t kSilent = 0xCB0071C8;  // 203.0.113.200; up to .99 answer
constexpr std::uint32_t kHangs = 0xCB0071FE;   // until stopped

MacAddress MacOf(std::uint32_t target) {
    return {0x00, 0x0c, 0x29, 0x3a, 0x4b, static_cast<std::uint8_t>(target)};
}
MacAddress OtherMacOf(std::uint32_t target) {
    return {0x02, 0x0c, 0x29, 0x3a, 0x4b, static_cast<std::uint8_t>(target)};
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
                          std::stop_token stop, const LateTag& late = {}) override {
        const std::uint32_t host = target & 0xff;
        if (host >= kOvertakingFirst && host < kOvertakingFirst + 10) {
            // Its answer comes as the probe gives up: the late record goes out before the
            // probe's own "no answer".
            late.listener->Deliver(late.tag, MacOf(target).data());
            return kErrorBadNetName;
        }
        if ((host >= kLateFirst && host < kLateFirst + 10) ||
            (host >= kConflictFirst && host < kConflictFirst + 10)) {
            const std::lock_guard lock(lateMutex_);
            lates_[target] = late;
            if (host < kConflictFirst) {
                return kErrorBadNetName;
            }
            std::ranges::copy(MacOf(target), mac);
            *length = 6;
            return kNoError;
        }
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
    // A second host has answered for every conflict target asked in the listener's scan.
    void Sweep(const std::shared_ptr<LateListener>& listener) override {
        const std::lock_guard lock(lateMutex_);
        for (const auto& [target, late] : lates_) {
            if (late.listener == listener && (target & 0xff) >= kConflictFirst) {
                late.listener->Deliver(late.tag, OtherMacOf(target).data());
            }
        }
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
    // The target answers now, long after its probe gave up.
    void AnswerLate(std::uint32_t target) {
        const std::lock_guard lock(lateMutex_);
        lates_[target].listener->Deliver(lates_[target].tag, MacOf(target).data());
    }
    // Whether the helper still listens for the target's given-up probe.
    bool Lingers(std::uint32_t target) {
        for (int i = 0; i < 200; ++i) {
            {
                const std::lock_guard lock(lateMutex_);
                if (!lates_[target].listener->Listening()) {
                    return false;
                }
            }
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
    static constexpr std::uint32_t kLateFirst = 150;
    static constexpr std::uint32_t kConflictFirst = 160;
    static constexpr std::uint32_t kOvertakingFirst = 170;
    std::mutex lateMutex_;
    std::map<std::uint32_t, LateTag> lates_;
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
    const auto wrong = OnThreads<int>(64, [&](std::uint32_t i) {
        const std::uint32_t overtaking = kHostIp - 10 + InProcessHelper::kOvertakingFirst + i % 10;
        const std::uint32_t target = i % 2 ? kHostIp + i : i % 4 ? kSilent : overtaking;
        const Outcome expected = target == kSilent ? kNoAnswer : Answer(MacOf(target));
        int count = 0;
        for (int round = 0; round < 20; ++round) {
            count += Ask(*sender, target) != expected;
        }
        return count;
    });
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
    const auto statuses = OnThreads<std::uint32_t>(
        16, [&](std::uint32_t) { return Ask(*sender, kHangs, stop.get_token()).status; },
        [&] {
            std::this_thread::sleep_for(50ms);
            stop.request_stop();
        });
    EXPECT_EQ(statuses, std::vector<std::uint32_t>(16, kErrorCancelled));
    EXPECT_EQ(helper.Stopped(16), 16);
    EXPECT_FALSE(sender->Broken());
    EXPECT_EQ(Ask(*sender, kHostIp), (Outcome{kNoError, MacOf(kHostIp)}));
    // A helper that does not answer within a probe's time has stalled: it is given up (its
    // channel closed, which ends the probe at its end too) and every later probe fails at once
    // for the caller to mend, never counting as a silent host.
    EXPECT_EQ(Ask(*sender, kHangs).status, kErrorTimeout);
    EXPECT_EQ(helper.Stopped(17), 17);
    EXPECT_TRUE(sender->Broken());
    EXPECT_EQ(Ask(*sender, kHostIp).status, kErrorGenFailure);
}

// A reply the helper hears after it gave up a probe reaches the scan's listener under the
// probe's tag; once heard, or once the scan stops listening, the helper forgets the probe. Other
// hosts answering for an answered target arrive only with the sweep, all before it returns.
TEST(HelperArpSender, LateAnswersAndOtherHostsReachTheScanWhileItListens) {
    InProcessHelper helper;
    auto sender = helper.Attach();
    ASSERT_TRUE(sender);
    HeardLate heard;
    const std::uint32_t late = kHostIp - 10 + InProcessHelper::kLateFirst;
    const std::uint32_t conflict = kHostIp - 10 + InProcessHelper::kConflictFirst;
    std::uint8_t mac[6];
    std::uint32_t length = 6;
    EXPECT_EQ(sender->SendARP(late, mac, &length, {}, heard.Tag(7)), kErrorBadNetName);
    EXPECT_EQ(sender->SendARP(late + 1, mac, &length, {}, heard.Tag(8)), kErrorBadNetName);
    for (std::int32_t tag : {9, 10}) {
        EXPECT_EQ(sender->SendARP(conflict + static_cast<std::uint32_t>(tag - 9), mac, &length, {},
                                  heard.Tag(tag)),
                  kNoError);
    }
    helper.AnswerLate(late);
    EXPECT_EQ(heard.Awaited(1s), (HeardLate::Heard{{7, MacOf(late)}}));
    EXPECT_FALSE(helper.Lingers(late));
    EXPECT_TRUE(helper.Lingers(late + 1));
    EXPECT_TRUE(helper.Lingers(conflict));
    sender->Sweep(heard.Listener());
    auto all = heard.Now();
    std::ranges::sort(all);
    EXPECT_EQ(all,
              (HeardLate::Heard{
                  {7, MacOf(late)}, {9, OtherMacOf(conflict)}, {10, OtherMacOf(conflict + 1)}}));
    EXPECT_FALSE(helper.Lingers(conflict));
    EXPECT_TRUE(helper.Lingers(late + 1));
    heard.Listener()->Close();
    EXPECT_EQ(Ask(*sender, kHostIp), (Outcome{kNoError, MacOf(kHostIp)}));
    EXPECT_FALSE(helper.Lingers(late + 1));
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
             // A wire's requests, to a helper that serves probes.
             {{kHelperWireOpen, 1, 0}},
             {{kHelperWireAsk, 1, kHostIp}},
             {{kHelperProbe, 5, kHangs}, {kHelperProbe, 5, kHangs}}}) {
        InProcessHelper helper(false);
        for (const HelperRequest& record : records) {
            const auto bytes = EncodeHelperRequest(record);
            ASSERT_EQ(::send(helper.engineEnd_.Get(), bytes.data(), bytes.size(), 0),
                      static_cast<ssize_t>(kHelperRequestSize));
        }
        helper.server_.join();
        EXPECT_FALSE(helper.clean_);
    }
    // A reused id gives up the answered probe still listened for under it: once the server has
    // returned, its listener is closed, so a late reply cannot write through the gone server.
    {
        InProcessHelper helper(false);
        const std::uint32_t conflict = kHostIp - 10 + InProcessHelper::kConflictFirst;
        for (const std::uint32_t target : {conflict, kHostIp}) {
            const auto bytes = EncodeHelperRequest({kHelperProbe, 5, target});
            ASSERT_EQ(::send(helper.engineEnd_.Get(), bytes.data(), bytes.size(), 0),
                      static_cast<ssize_t>(kHelperRequestSize));
            std::array<std::uint8_t, kHelperReplySize> reply;
            ASSERT_TRUE(ReadFully(helper.engineEnd_.Get(), reply.data(), reply.size()));
        }
        helper.engineEnd_.Reset();
        helper.server_.join();
        EXPECT_TRUE(helper.clean_);
        const std::lock_guard lock(helper.lateMutex_);
        EXPECT_FALSE(helper.lates_[conflict].listener->Listening());
    }
    // An engine that sweeps without reading the answers cannot make the queue grow without end.
    {
        InProcessHelper helper(false);
        const auto bytes = EncodeHelperRequest({kHelperSweep, 9, 0});
        // Sent until the server stops reading (or all of it went), then the engine goes away.
        int stalls = 0;
        for (int i = 0; i < 60000 && stalls < 2000;) {
            if (::send(helper.engineEnd_.Get(), bytes.data(), bytes.size(),
                       MSG_NOSIGNAL | MSG_DONTWAIT) == 12) {
                ++i;
            } else {
                ++stalls;
                std::this_thread::sleep_for(1ms);
            }
        }
        ::shutdown(helper.engineEnd_.Get(), SHUT_RDWR);
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
}  // namespace talvik::test
