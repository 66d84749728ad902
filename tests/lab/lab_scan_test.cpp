// SPDX-License-Identifier: GPL-3.0-or-later
// Scans through the real senders in a network lab: the packet socket as root, the privileged
// helper and the kernel-neighbour fallback as nobody. Without root the cases skip, unless
// CI=true, where they fail.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "scan/Ports.h"
#include "scan/ScanTypes.h"
#include "tests/support/LabHarness.h"

namespace talvik::test {
namespace {

std::string Address(int octet) {
    return "203.0.113." + std::to_string(octet);
}

// Every lab host has MAC 02-1a-00-00-00-<octet>, so its row is easy to check.
std::string Mac(int octet) {
    char text[18];
    std::snprintf(text, sizeof text, "02-1a-00-00-00-%02x", octet);
    return text;
}

std::string Hosts(const std::vector<int>& octets, const std::string& extra = "") {
    std::string json;
    for (int octet : octets) {
        json += std::string(json.empty() ? "" : ", ") + "{\"ip\": \"" + Address(octet) +
                "\", \"mac\": \"" + Mac(octet) + "\"" + (extra.empty() ? "" : ", " + extra) + "}";
    }
    return json;
}

std::vector<int> Octets(int first, int last) {
    std::vector<int> octets;
    for (int octet = first; octet <= last; ++octet) {
        octets.push_back(octet);
    }
    return octets;
}

// The 40 live hosts of a busy /24, every sixth address from .5.
std::vector<int> Spread() {
    std::vector<int> octets;
    for (int octet = 5; octet < 245; octet += 6) {
        octets.push_back(octet);
    }
    return octets;
}

const std::string kOwnMac = "02-54-56-00-00-01";  // the scanner's, lab.sh gives it

std::vector<std::string> Range(int first, int last, std::vector<std::string> more = {}) {
    more.insert(more.begin(), {"--first", Address(first), "--last", Address(last)});
    return more;
}

class LabScan : public ::testing::TestWithParam<SenderKind> {
protected:
    void SetUp() override {
        std::string why;
        if (!LabAvailable(GetParam(), why)) {
            const char* ci = std::getenv("CI");
            if (ci != nullptr && std::string(ci) == "true") {
                FAIL() << "the network lab cannot run under CI: " << why;
            }
            GTEST_SKIP() << why;
        }
    }

    // Builds a fresh lab and starts the responder with `hosts` (comma-separated JSON objects).
    void Start(const std::string& hosts, bool gateway = false,
               const std::vector<std::string>& names = {}, int seed = 1) {
        responder_.reset();
        lab_.reset();  // the new one takes its name
        lab_ = std::make_unique<Lab>(SenderName(GetParam()), gateway, names);
        ASSERT_TRUE(lab_->Up()) << "could not build lab " << lab_->Name();
        hosts_ = hosts;
        ASSERT_NO_FATAL_FAILURE(Replay(seed));
    }
    // The same hosts again, their counts from zero.
    void Replay(int seed = 1) {
        responder_ = std::make_unique<Responder>(*lab_, "[" + hosts_ + "]", seed);
        ASSERT_TRUE(responder_->Running());
    }
    // `command` with {s} {g} {a} {b} for the lab's namespaces and its link's two ends.
    std::string InLab(std::string command) const {
        for (const char* part : {"s", "g", "a", "b"}) {
            const std::string key = std::string("{") + part + "}";
            for (auto at = command.find(key); at != std::string::npos; at = command.find(key)) {
                command.replace(at, key.size(), lab_->Name() + part);
            }
        }
        return command;
    }

    BenchResult Scan(const std::vector<std::string>& args,
                     const std::vector<std::string>& wrapper = {}) const {
        return RunBench(*lab_, GetParam(), args, wrapper);
    }

    // The scan ended with the one box `text` in place of the completion notice.
    static void ExpectEndedWith(const BenchResult& result, const std::string& text,
                                unsigned type = kMbIconStop) {
        EXPECT_EQ(result.exitCode, 0) << result.raw;
        EXPECT_EQ(result.Value("completed"), "1") << result.raw;
        EXPECT_EQ(result.messages,
                  std::vector<std::string>{text + "|Talvik|" + std::to_string(type)})
            << result.raw;
        EXPECT_EQ(result.Value("running_after"), "0");
    }

    static void ExpectCompleted(const BenchResult& result, int targets) {
        EXPECT_EQ(result.exitCode, 0) << result.raw;
        EXPECT_EQ(result.Value("completed"), "1");
        EXPECT_EQ(result.Value("progress"),
                  std::to_string(targets) + "/" + std::to_string(targets));
        EXPECT_EQ(result.messages, std::vector<std::string>{"扫描完成!|Talvik|0"}) << result.raw;
        EXPECT_EQ(result.Value("running_after"), "0");
        EXPECT_EQ(result.rows.size(), static_cast<std::size_t>(targets)) << result.raw;
    }

    static void ExpectRow(const BenchResult& result, const std::string& text,
                          const std::string& mac) {
        const BenchRow* row = result.Row(text);
        ASSERT_NE(row, nullptr) << text << "\n" << result.raw;
        EXPECT_EQ(row->status, mac.empty() ? "" : "running") << text;
        EXPECT_EQ(row->mac, mac) << text;
    }

    // Rows .1 (our own) to .last, found exactly where `live` says.
    static void ExpectRows(const BenchResult& result, int last,
                           const std::function<bool(int)>& live) {
        for (int octet = 1; octet <= last; ++octet) {
            ExpectRow(result, Address(octet),
                      octet == 1 ? kOwnMac : (live(octet) ? Mac(octet) : ""));
        }
    }

    std::unique_ptr<Lab> lab_;
    std::unique_ptr<Responder> responder_;
    std::string hosts_;
};

// Live hosts come back with their own MACs, our own address with the interface's, and nothing
// else is marked: not the silent ones, not a host that answers in another address's name. One
// that answers nothing but announces itself is alive too, where the sender hears the link (not
// the fallback, which sees only the kernel's table). A second scan, with the kernel now holding
// fresh entries and the hosts answering stray datagrams with ICMP errors as hosts without a
// firewall do, finds the same.
TEST_P(LabScan, FindsExactlyTheHostsThatAnswer) {
    const std::string icmp = "\"icmp_unreachable\": true";
    ASSERT_NO_FATAL_FAILURE(Start(Hosts(Octets(10, 29), icmp) + ", " +
                                  Hosts({40}, icmp + ", \"delay_ms\": 120") + ", " +
                                  Hosts({41}, icmp + ", \"duplicates\": 2") + ", " +
                                  Hosts({42}, "\"reply_from\": \"198.51.100.42\"") + ", " +
                                  Hosts({43}, "\"silent\": true, \"gratuitous_every_ms\": 40")));
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("scan " + std::to_string(round));
        const auto result = Scan(Range(1, 60));
        ExpectCompleted(result, 60);
        const bool hearsLink = GetParam() != SenderKind::Neighbour;
        ExpectRows(result, 60, [hearsLink](int octet) {
            return (octet >= 10 && octet < 30) || octet == 40 || octet == 41 ||
                   (octet == 43 && hearsLink);
        });
        EXPECT_EQ(result.Number("found"), hearsLink ? 24 : 23);
    }
}

// Two hosts answer for one address (the second in its name, when its own address is asked):
// the row keeps the first MAC, and the packet socket and the helper pass the other one on. The
// kernel's table keeps one MAC per address and ignores a differing reply this soon.
TEST_P(LabScan, SecondHostAnsweringForAnAddressIsHeard) {
    ASSERT_NO_FATAL_FAILURE(
        Start(Hosts({50}, "\"duplicates\": 1") + ", " +
              Hosts({51}, "\"reply_from\": \"" + Address(50) + "\", \"delay_ms\": 50")));
    const auto result = Scan(Range(49, 52));
    ExpectCompleted(result, 4);
    ExpectRow(result, Address(50), Mac(50));
    ExpectRow(result, Address(51), "");
    const BenchRow* row = result.Row(Address(50));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->otherMacs, GetParam() == SenderKind::Neighbour
                                  ? std::vector<std::string>{}
                                  : std::vector<std::string>{Mac(51)})
        << result.raw;
}

// A target off the lab's subnet is never probed: not one frame reaches the link, even with a
// default route through a gateway that answers. The rows stay empty, and after the completion
// one notice says how many targets could not be asked and why (every other case here shows
// that it is absent when all were asked).
TEST_P(LabScan, OffLinkTargetsSendNothing) {
    ASSERT_NO_FATAL_FAILURE(Start(Hosts({254}), true));
    auto result = Scan({"--first", "198.51.100.1", "--last", "198.51.100.12"});
    EXPECT_EQ(responder_->Stop().framesIn, 0) << "frames reached the lab link";
    ASSERT_EQ(result.messages.size(), 2U) << result.raw;
    EXPECT_EQ(result.messages[1],
              std::string(kOffLinkBefore) + "12" + kOffLinkAfter + "|Talvik|64");
    result.messages.pop_back();
    ExpectCompleted(result, 12);
    for (const auto& row : result.rows) {
        ExpectRow(result, row.text, "");
        EXPECT_EQ(row.outcome, "not-asked:off-link") << row.text;
    }
    EXPECT_EQ(result.Value("progress_text"), "12/12 · 0 台在线 · 12 个未探测");
}

// Loopback addresses, typed or as `localhost`, are on no segment: nothing is sent for them
// through any sender, their rows stay empty (no all-zero MAC), and the off-link notice counts
// them.
TEST_P(LabScan, LoopbackTargetsAreNeverAsked) {
    ASSERT_NO_FATAL_FAILURE(Start(Hosts({10})));
    auto result = Scan({"--target", "127.0.0.1", "--target", "localhost", "--target", "127.1.2.3",
                        "--target", Address(10)});
    const auto counts = responder_->Stop();
    ASSERT_EQ(result.messages.size(), 2U) << result.raw;
    EXPECT_EQ(result.messages[1], std::string(kOffLinkBefore) + "3" + kOffLinkAfter + "|Talvik|64");
    result.messages.pop_back();
    ExpectCompleted(result, 4);
    for (const char* text : {"127.0.0.1", "localhost", "127.1.2.3"}) {
        ExpectRow(result, text, "");
        EXPECT_EQ(result.Row(text)->outcome, "not-asked:loopback") << text;
    }
    ExpectRow(result, Address(10), Mac(10));
    EXPECT_EQ(counts.requestSequence,
              std::vector<std::string>(counts.requestSequence.size(), Address(10)));
    EXPECT_EQ(result.Value("progress_text"), "4/4 · 1 台在线 · 3 个未探测");
}

// An interface that is down before the scan takes its routes with it, but its targets are on
// its segment: the box names the interface and counts them, as for a link lost mid-scan, and
// no off-link notice follows.
TEST_P(LabScan, InterfaceDownBeforeTheScanIsNamed) {
    ASSERT_NO_FATAL_FAILURE(Start(Hosts(Octets(2, 5))));
    ASSERT_EQ(std::system(InLab("ip -n {s} link set {a} down").c_str()), 0);
    const auto result = Scan(Range(1, 14));
    ExpectEndedWith(result, kLinkLostBefore + lab_->Name() + "a" + kLinkLostAfter + "14" +
                                kNotAskedCount + "\\n" + kNotAskedTail);
    EXPECT_EQ(result.Number("found"), 0) << result.raw;
    for (const BenchRow& row : result.rows) {
        EXPECT_EQ(row.outcome, "not-asked:link-down") << row.text;
    }
    EXPECT_EQ(result.Value("progress_text"), "14/14 · 0 台在线 · 14 个未探测");
}

// A link that goes down inside a long late window (2.5 s at network condition 200), from
// 1.4 s to 2.0 s, loses the answer of a host that replies 1.5 s late: its row is not asked,
// not silent, and the box names the link instead of "扫描完成!".
TEST_P(LabScan, LinkLostInsideTheLateWindowIsNoticed) {
    ASSERT_NO_FATAL_FAILURE(Start(Hosts({3}) + ", " + Hosts({5}, "\"delay_ms\": 1500")));
    BenchResult result;
    {
        const Later down(1400, InLab("ip -n {s} link set {a} down"));
        const Later up(2000, InLab("ip -n {s} link set {a} up"));
        result = Scan(Range(2, 6, {"--network-condition", "200"}));
    }
    ASSERT_EQ(result.messages.size(), 1U) << result.raw;
    const std::string named = kLinkLostBefore + lab_->Name() + "a" + kLinkLostAfter;
    EXPECT_EQ(result.messages[0].rfind(named, 0), 0U) << result.raw;
    ExpectRow(result, Address(3), Mac(3));
    const BenchRow* late = result.Row(Address(5));
    ASSERT_NE(late, nullptr);
    // Asked again once the link was back it may still be found; never silent.
    EXPECT_TRUE(late->outcome == "not-asked:link-down" || late->mac == Mac(5)) << result.raw;
    EXPECT_NE(late->outcome, "silent");
}

// Stop or close in the middle of a /24: no completion notice, the window back to idle, no row
// or progress change afterwards; closing is over well within one probe's wait.
TEST_P(LabScan, StopOrCloseInTheMiddleOfASlash24) {
    ASSERT_NO_FATAL_FAILURE(Start(Hosts(Octets(100, 109), "\"delay_ms\": 120")));
    for (const std::string event : {"stop", "close"}) {
        SCOPED_TRACE(event);
        const auto result = Scan(Range(
            1, 254, {"--workers", "50", "--" + event + "-after-ms", "250", "--settle-ms", "1500"}));
        EXPECT_EQ(result.exitCode, 0) << result.raw;
        EXPECT_EQ(result.Value(event == "stop" ? "stopped" : "closed"), "1") << result.raw;
        EXPECT_TRUE(result.messages.empty()) << result.raw;
        EXPECT_EQ(result.Value("running_after"), "0");
        EXPECT_EQ(result.Number("writes_after_" + event), 0);
        const long atEvent = result.Number("progress_at_" + event);
        EXPECT_GE(atEvent, 0);
        EXPECT_LT(atEvent, 254) << "the scan had ended before " << event;
        EXPECT_EQ(result.Value("progress"), std::to_string(atEvent) + "/254");
        const auto written = std::count_if(result.rows.begin(), result.rows.end(),
                                           [](const BenchRow& row) { return !row.status.empty(); });
        EXPECT_LE(written, atEvent);
        if (event == "close") {
            EXPECT_LT(std::strtod(result.Value("close_ms").c_str(), nullptr), 1000.0)
                << "closing waited for probes to run out\n"
                << result.raw;
            EXPECT_FALSE(result.Value("close_ms").empty());
        }
    }
}

// With a tenth of requests and of replies lost, the retries still find nearly every host, and
// what is found carries the right MAC.
TEST_P(LabScan, RetriesOutlastModerateLoss) {
    ASSERT_NO_FATAL_FAILURE(
        Start(Hosts(Octets(2, 21), "\"request_loss\": 0.1, \"reply_loss\": 0.1"), false, {}, 7));
    const auto result = Scan(Range(2, 31));
    ExpectCompleted(result, 30);
    int found = 0;
    for (int octet = 2; octet <= 31; ++octet) {
        const BenchRow* row = result.Row(Address(octet));
        ASSERT_NE(row, nullptr) << Address(octet);
        if (!row->status.empty()) {
            ExpectRow(result, Address(octet), octet <= 21 ? Mac(octet) : "");
            ++found;
        }
    }
    // Three exchanges per host: missing more than two of twenty is out of all proportion.
    EXPECT_GE(found, 18);
}

// A name the lab's hosts file knows is probed at its address, a name nobody knows is never
// probed and ends with empty cells, and a row repeating an address finds its host again.
TEST_P(LabScan, NamesAreResolvedAtScanStart) {
    ASSERT_NO_FATAL_FAILURE(Start(Hosts({10}, "\"icmp_unreachable\": true"), false,
                                  {"lab-host-a=" + Address(10), "lab-host-b=" + Address(11)}));
    const auto result = Scan({"--target", "lab-host-a", "--target", "lab-host-b", "--target",
                              "no-such-host.invalid", "--target", Address(12), "--target",
                              Address(10), "--workers", "1"});
    const auto counts = responder_->Stop();
    ExpectCompleted(result, 5);
    ExpectRow(result, "lab-host-a", Mac(10));
    ExpectRow(result, "lab-host-b", "");
    ExpectRow(result, "no-such-host.invalid", "");
    ExpectRow(result, Address(12), "");
    ExpectRow(result, Address(10), Mac(10));
    EXPECT_EQ(result.Number("found"), 2);
    EXPECT_FALSE(counts.requestSequence.empty());
    for (const auto& target : counts.requestSequence) {
        EXPECT_TRUE(target == Address(10) || target == Address(11) || target == Address(12))
            << target;
    }
}

// With a worker limit of 1 the targets are probed strictly one after another in table order:
// every host answers only after 100 ms, so overlapping probes would show on the link as
// interleaved requests and in a scan far shorter than the hosts' delays add up to.
TEST_P(LabScan, WorkerLimitOneProbesInTableOrder) {
    ASSERT_NO_FATAL_FAILURE(Start(Hosts({2, 3, 4, 5, 7, 8, 9}, "\"delay_ms\": 100")));
    const auto result = Scan(Range(2, 9, {"--workers", "1"}));
    const auto counts = responder_->Stop();
    ExpectCompleted(result, 8);
    EXPECT_EQ(result.Number("found"), 7);
    // A target's own requests go within its worker's 100 ms; what follows are the asks while it
    // lingers, which go between the next targets' requests.
    std::map<std::string, double> firstAt;
    std::vector<std::string> sequence;
    for (const auto& request : counts.requests) {
        if (request.ms - firstAt.try_emplace(request.target, request.ms).first->second <= 150) {
            sequence.push_back(request.target);
        }
    }
    EXPECT_GE(std::strtod(result.Value("wall_ms").c_str(), nullptr), 700.0);

    std::vector<std::string> tableOrder, firsts, runs;
    for (int octet : Octets(2, 9)) {
        tableOrder.push_back(Address(octet));
    }
    for (const auto& target : sequence) {
        if (std::find(firsts.begin(), firsts.end(), target) == firsts.end()) {
            firsts.push_back(target);
        }
        if (runs.empty() || runs.back() != target) {
            runs.push_back(target);
        }
    }
    EXPECT_EQ(firsts, tableOrder);
    // The kernel's own repeats for the silent host may outlive the neighbour-table sender's
    // wait, so only our own retries are held to ending with their probe.
    if (GetParam() != SenderKind::Neighbour) {
        EXPECT_EQ(runs, tableOrder) << "requests of different targets interleaved";
    }
}

// Hosts that answer long after their worker gave up are found, as long as the late window
// (set by the network condition) lasts; the scan completes only once it has passed.
TEST_P(LabScan, LateHostsAreFoundWithinTheLateWindow) {
    ASSERT_NO_FATAL_FAILURE(Start(Hosts({10}) + ", " + Hosts({2, 59}, "\"delay_ms\": 300") + ", " +
                                  Hosts({3, 60}, "\"delay_ms\": 450") + ", " +
                                  Hosts({70}, "\"delay_ms\": 800")));
    const auto result = Scan(Range(1, 60));
    ExpectCompleted(result, 60);
    ExpectRows(result, 60, [](int octet) {
        return octet == 10 || octet == 2 || octet == 59 || octet == 3 || octet == 60;
    });
    EXPECT_GE(std::strtod(result.Value("wall_ms").c_str(), nullptr), 500.0);
    // 800 ms is beyond the start value's window, not beyond the poorest network's.
    const auto slow = Scan(Range(68, 72, {"--network-condition", "100"}));
    ExpectCompleted(slow, 5);
    ExpectRow(slow, Address(70), Mac(70));
    EXPECT_GE(std::strtod(slow.Value("wall_ms").c_str(), nullptr), 5000.0);
}

// Stop in the late window, with the bar already full, ends the scan at once: no completion
// notice, and the answer that comes afterwards never shows.
TEST_P(LabScan, LateAnswerAfterStopNeverShows) {
    ASSERT_NO_FATAL_FAILURE(Start(Hosts({5}, "\"delay_ms\": 500")));
    const auto result = Scan(Range(1, 10, {"--stop-after-ms", "300", "--settle-ms", "3000"}));
    EXPECT_EQ(result.Value("stopped"), "1") << result.raw;
    EXPECT_EQ(result.Number("writes_after_stop"), 0);
    EXPECT_EQ(result.Value("progress_at_stop"), "10");  // stopped inside the late window
    EXPECT_TRUE(result.messages.empty()) << result.raw;
    EXPECT_EQ(result.Value("running_after"), "0");
    ExpectRow(result, Address(5), "");
}

// While late answers are awaited no more targets are asked than the worker limit allows: in
// the requests the hosts saw, no more targets are between their first and last request at once.
TEST_P(LabScan, TargetsAskedAtOnceStayWithinTheWorkerLimit) {
    if (GetParam() == SenderKind::Neighbour) {
        GTEST_SKIP() << "the kernel repeats its own requests for given-up targets";
    }
    ASSERT_NO_FATAL_FAILURE(Start(Hosts({2, 40}, "\"delay_ms\": 300") + ", " +
                                  Hosts({3, 80}, "\"delay_ms\": 450") + ", " +
                                  Hosts(Octets(20, 29))));
    for (const int limit : {1, 50}) {
        SCOPED_TRACE(limit);
        const int last = limit == 1 ? 30 : 120;
        const auto result = Scan(Range(2, last, {"--workers", std::to_string(limit)}));
        const auto counts = responder_->Stop();
        ExpectCompleted(result, last - 1);
        ASSERT_NO_FATAL_FAILURE(Replay());
        for (int octet : {2, 3, 20, 29}) {
            ExpectRow(result, Address(octet), Mac(octet));
        }
        // A target's first requests go within its worker's 100 ms; the asks after them, while
        // it lingers, keep to the pace of the same number of workers, a frame each per 100 ms.
        std::map<std::string, double> firstAt;
        std::vector<std::string> sequence;
        std::vector<double> extra;
        for (const auto& request : counts.requests) {
            const double first = firstAt.try_emplace(request.target, request.ms).first->second;
            if (request.ms - first <= 150) {
                sequence.push_back(request.target);
            } else {
                extra.push_back(request.ms);
            }
        }
        for (std::size_t i = 0, j = 0; i < extra.size(); ++i) {
            while (extra[i] - extra[j] >= 1000) {
                ++j;
            }
            ASSERT_LE(i - j + 1, static_cast<std::size_t>(10 * limit + 1)) << "extra asks";
        }
        std::map<std::string, std::pair<std::size_t, std::size_t>> spans;
        for (std::size_t i = 0; i < sequence.size(); ++i) {
            auto [span, fresh] = spans.try_emplace(sequence[i], i, i);
            span->second.second = i;
        }
        int most = 0;
        for (std::size_t i = 0; i < sequence.size(); ++i) {
            const auto open = std::count_if(spans.begin(), spans.end(), [i](const auto& span) {
                return span.second.first <= i && i <= span.second.second;
            });
            most = std::max(most, static_cast<int>(open));
        }
        EXPECT_GT(most, 0);
        EXPECT_LE(most, limit);
    }
}

// Hosts that drop stray datagrams are found again by a scan right after the first, and an
// address listed twice is found in both rows, one probe after the other or at once; a reply
// that carries the scanner's own MAC in another address's name is never an answer.
TEST_P(LabScan, RescansAndRepeatedAddressesFindTheHostsAgain) {
    ASSERT_NO_FATAL_FAILURE(Start(Hosts(Octets(10, 19)) + ", {\"ip\": \"" + Address(50) +
                                  "\", \"mac\": \"" + kOwnMac + "\"}"));
    std::vector<std::string> targets;
    for (const int octet : {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 10, 50}) {
        targets.insert(targets.end(), {"--target", Address(octet)});
    }
    for (const std::string limit : {"1", "50"}) {
        SCOPED_TRACE(limit);
        std::vector<std::string> args = targets;
        args.insert(args.end(), {"--workers", limit, "--scans", "2"});
        const auto result = Scan(args);
        ASSERT_EQ(result.earlier.size(), 1U) << result.raw;
        for (const BenchResult* scan : {&result.earlier[0], &result}) {
            ExpectCompleted(*scan, 12);
            EXPECT_EQ(scan->Number("found"), 11) << scan->raw;
            ExpectRow(*scan, Address(50), "");
            EXPECT_EQ(std::count_if(scan->rows.begin(), scan->rows.end(),
                                    [&](const BenchRow& row) {
                                        return row.text == Address(10) && row.mac == Mac(10);
                                    }),
                      2);
        }
    }
}

// A /25 on a NOARP interface inside the lab's /24: the kernel sends to its targets there, so
// they are not asked at all (not on the Ethernet link either), and the scanner's own address
// on it answers with that interface's MAC.
TEST_P(LabScan, TargetsTheKernelRoutesOverNoArpAreNotAsked) {
    ASSERT_NO_FATAL_FAILURE(Start(Hosts(Octets(120, 140))));
    ASSERT_EQ(std::system(
                  InLab("ip -n {s} link add tvknoarp address 02:54:56:00:00:99 type veth peer name "
                        "tvknoarpp && ip -n {s} link set tvknoarpp up && "
                        "ip -n {s} link set tvknoarp arp off up && "
                        "ip -n {s} addr add 203.0.113.129/25 dev tvknoarp")
                      .c_str()),
              0);
    auto result = Scan(Range(120, 140));
    const auto sequence = responder_->Stop().requestSequence;
    for (const auto& target : sequence) {
        EXPECT_LT(std::atoi(target.c_str() + Address(0).size() - 1), 128) << target;
    }
    for (int octet = 120; octet <= 140; ++octet) {
        ExpectRow(result, Address(octet),
                  octet < 128    ? Mac(octet)
                  : octet == 129 ? "02-54-56-00-00-99"
                                 : "");
    }
    ASSERT_EQ(result.messages.size(), 2U) << result.raw;
    EXPECT_EQ(result.messages[1],
              std::string(kOffLinkBefore) + "12" + kOffLinkAfter + "|Talvik|64");
}

// The scanning interface set down, deleted, or losing carrier 0.3 s into a /24 with 40 live
// hosts: no "扫描完成!", one box that names the interface and how many targets were not asked,
// and the hosts found before keep their rows.
TEST_P(LabScan, LinkLostMidScanIsReportedAndEarlierFindsStay) {
    for (const char* command :
         {"ip -n {s} link set {a} down", "ip -n {s} link del {a}", "ip -n {g} link set {b} down"}) {
        SCOPED_TRACE(command);
        ASSERT_NO_FATAL_FAILURE(Start(Hosts(Spread(), "\"delay_ms\": 40")));
        const std::string name = lab_->Name();
        BenchResult result;
        {
            const Later event(300, InLab(command));
            result = Scan(Range(1, 254));
        }
        ASSERT_EQ(result.messages.size(), 1U) << result.raw;
        const std::string& box = result.messages[0];
        const std::string named = kLinkLostBefore + name + "a" + kLinkLostAfter;
        EXPECT_EQ(box.rfind(named, 0), 0U) << box;
        EXPECT_NE(box.find(kNotAskedTail), std::string::npos) << box;
        const long notAsked = std::strtol(box.c_str() + named.size(), nullptr, 10);
        EXPECT_GT(notAsked, 0) << box;
        EXPECT_EQ(result.Value("progress"), "254/254");
        const auto notAskedRows =
            std::count_if(result.rows.begin(), result.rows.end(),
                          [](const BenchRow& row) { return row.outcome == "not-asked:link-down"; });
        EXPECT_EQ(notAskedRows, notAsked) << result.raw;
        int found = 0;
        for (const BenchRow& row : result.rows) {
            if (!row.status.empty()) {
                ++found;
                const int octet = std::atoi(row.text.c_str() + Address(0).size() - 1);
                EXPECT_EQ(row.mac, octet == 1 ? kOwnMac : Mac(octet)) << row.text;
            }
        }
        EXPECT_GT(found, 1) << "the hosts found before the loss are gone\n" << result.raw;
        EXPECT_LE(found + notAsked, 254L);
    }
}

// What only the fallback can meet, since it opens sockets for every probe.
// Dozing devices hear a broadcast only while awake. At the poorest network condition a silent
// target is asked again through its whole window, so one awake half of the time is found; a
// device the kernel already knows is asked by its own MAC, which it always hears; one that only
// speaks on its own shows as alive; and Stop or closing the window ends the asking at once.
class LabDozing : public LabScan {};

TEST_P(LabDozing, DozingHostsAreAskedThroughTheWindowAndByTheirOwnMac) {
    std::string hosts = Hosts({20});
    for (const int octet : {30, 31, 32, 33}) {
        hosts += ", " + Hosts({octet},
                              "\"doze_cycle_ms\": 500, \"doze_wake_ms\": 250, "
                              "\"doze_phase_ms\": " +
                                  std::to_string(octet * 97 % 500));
    }
    // Behind an access point that holds broadcasts to its beacons, awake for one in three.
    hosts += ", " + Hosts({34},
                          "\"doze_cycle_ms\": 307.2, \"doze_beacon_ms\": 102.4, "
                          "\"doze_phase_ms\": 150");
    // Never awake for a broadcast; the kernel has it in its table from before.
    hosts += ", " + Hosts({40}, "\"doze_cycle_ms\": 1000, \"doze_wake_ms\": 0");
    // Answers nothing, but announces itself now and then.
    hosts += ", " + Hosts({50}, "\"silent\": true, \"gratuitous_every_ms\": 300");
    ASSERT_NO_FATAL_FAILURE(Start(hosts));
    std::string mac40 = Mac(40);
    std::replace(mac40.begin(), mac40.end(), '-', ':');
    ASSERT_EQ(std::system(InLab("ip -n {s} neigh replace " + Address(40) + " lladdr " + mac40 +
                                " nud stale dev {a}")
                              .c_str()),
              0);
    const auto result = Scan(Range(2, 60, {"--network-condition", "100"}));
    const auto counts = responder_->Stop();
    ExpectCompleted(result, 59);
    for (const int octet : {20, 30, 31, 32, 33, 34, 40, 50}) {
        ExpectRow(result, Address(octet), Mac(octet));
    }
    ExpectRow(result, Address(41), "");
    int direct = 0;
    double first = -1, last = 0;
    for (const auto& request : counts.requests) {
        if (request.unicast) {
            ++direct;
            EXPECT_EQ(request.target, Address(40)) << "asked a MAC nobody had";
        }
        if (request.target == Address(41)) {
            first = first < 0 ? request.ms : first;
            last = request.ms;
        }
    }
    EXPECT_GE(direct, 1);
    // An empty address is asked on through the window, never after it.
    EXPECT_GT(last - first, 3000);
    EXPECT_LT(last - first, 5100);
}

TEST_P(LabDozing, StopOrCloseInALongWindowEndsTheAsking) {
    ASSERT_NO_FATAL_FAILURE(Start(Hosts({20})));
    for (const std::string event : {"stop", "close"}) {
        SCOPED_TRACE(event);
        const auto result = Scan(Range(2, 60,
                                       {"--network-condition", "100", "--" + event + "-after-ms",
                                        "1500", "--settle-ms", "1500"}));
        const auto counts = responder_->Stop();
        ASSERT_NO_FATAL_FAILURE(Replay());
        EXPECT_EQ(result.Value(event == "stop" ? "stopped" : "closed"), "1") << result.raw;
        EXPECT_TRUE(result.messages.empty()) << result.raw;
        EXPECT_EQ(result.Number("writes_after_" + event), 0);
        if (event == "close") {
            EXPECT_LT(std::strtod(result.Value("close_ms").c_str(), nullptr), 1000.0) << result.raw;
        }
        ASSERT_FALSE(counts.requests.empty());
        const double start = counts.requests.front().ms;
        // The whole scan ran 1.5 s; allow a loaded machine most of a second more.
        EXPECT_LT(counts.requests.back().ms - start, 1500 + 900) << "asked on after " << event;
        EXPECT_LE(std::strtod(result.Value("wall_ms").c_str(), nullptr), 1500 + 1500 + 1000);
    }
}

class LabFallbackFaults : public LabScan {};

// A local firewall that refuses the fallback's datagrams is reported, the rows stay empty and
// no "扫描完成!" is shown; descriptors too few for every worker at once are waited for, and
// every host is found.
TEST_P(LabFallbackFaults, RefusedSendsAreReportedAndShortDescriptorsWaitedFor) {
    ASSERT_NO_FATAL_FAILURE(Start(Hosts(Octets(10, 13))));
    const auto refused = Scan(Range(2, 20), {"strace", "-f", "-qq", "-o", "/dev/null", "-e",
                                             "trace=connect", "-e", "inject=connect:error=EPERM"});
    ExpectEndedWith(refused,
                    std::string(kNotAskedRefused) + "19" + kNotAskedCount + "\\n" + kNotAskedTail);
    EXPECT_EQ(refused.Number("found"), 0) << refused.raw;
    EXPECT_EQ(refused.Value("progress"), "19/19");
    EXPECT_EQ(refused.Value("progress_text"), "19/19 · 0 台在线 · 19 个未探测");
    const BenchRow* refusedRow = refused.Row(Address(10));
    ASSERT_NE(refusedRow, nullptr) << refused.raw;
    EXPECT_EQ(refusedRow->outcome, "not-asked:refused");

    const auto shortOfDescriptors =
        Scan(Range(2, 40, {"--workers", "50"}), {"prlimit", "--nofile=40"});
    ExpectCompleted(shortOfDescriptors, 39);
    for (int octet = 10; octet <= 13; ++octet) {
        ExpectRow(shortOfDescriptors, Address(octet), Mac(octet));
    }
}

// A host that left just after a scan found it: the kernel still holds it as reachable and does
// not ask it again, so the fallback's answer is the kernel's memory, and the row says how old.
TEST_P(LabFallbackFaults, AHostThatLeftIsMarkedAsTheKernelsMemory) {
    ASSERT_NO_FATAL_FAILURE(Start(Hosts({10, 11})));
    const auto first = Scan(Range(10, 11));
    ExpectCompleted(first, 2);
    EXPECT_EQ(first.Row(Address(10))->outcome, "answered") << first.raw;
    responder_.reset();
    hosts_ = Hosts({11});
    ASSERT_NO_FATAL_FAILURE(Replay());
    const auto second = Scan(Range(10, 11));
    const BenchRow* left = second.Row(Address(10));
    ASSERT_NE(left, nullptr) << second.raw;
    EXPECT_EQ(left->status, "running") << second.raw;
    EXPECT_EQ(left->outcome.rfind("answered:confirmed-before-", 0), 0U) << second.raw;
    EXPECT_EQ(second.Row(Address(11))->outcome.rfind("answered", 0), 0U) << second.raw;
}

// What only the helper can meet: it dies, stalls or cannot start its threads.
class LabHelperFaults : public LabScan {};

// Killed or stopped in the middle of a /24 with 40 live hosts: the helper is started again,
// what it had in flight is asked again, so every host is found; the scan says what happened
// instead of "扫描完成!" and ends within its time; the dead helper is reaped at once; the next
// scan is an ordinary one.
TEST_P(LabHelperFaults, KilledOrStoppedHelperIsReplacedAndTheScanSaysSo) {
    const std::vector<int> live = Spread();
    ASSERT_NO_FATAL_FAILURE(Start(Hosts(live, "\"delay_ms\": 40")));
    for (const std::string signal : {"kill", "stop"}) {
        SCOPED_TRACE(signal);
        const auto result =
            Scan(Range(1, 254,
                       {"--scans", "2", "--helper-signal", signal, "--helper-signal-after-ms",
                        signal == "kill" ? "350" : "100"}));
        ASSERT_EQ(result.earlier.size(), 1U) << result.raw;
        const BenchResult& hit = result.earlier[0];
        ExpectEndedWith(hit, kHelperRestarted);
        EXPECT_LT(std::strtod(hit.Value("wall_ms").c_str(), nullptr), 8000.0);
        for (const int octet : live) {
            ExpectRow(hit, Address(octet), Mac(octet));
        }
        EXPECT_EQ(hit.Number("found"), static_cast<long>(live.size()) + 1);  // and our own
        ExpectCompleted(result, 254);
        EXPECT_EQ(result.Number("found"), static_cast<long>(live.size()) + 1);
        EXPECT_EQ(result.Number("zombies"), 0) << result.raw;
        EXPECT_EQ(result.Number("children"), 1) << "one helper, the restarted one";
    }
}

// Killed or stopped inside the late window (200 ms into a scan of 40 targets whose probes have
// all ended), or stopped while probes are in flight (50 ms): what it was still listening for
// is asked again through its replacement, each with a late window from that new request, so
// the hosts answering 300 or 450 ms late and a conflict's second MAC are all found; the box
// belongs to this scan, and the next scan completes plainly.
TEST_P(LabHelperFaults, HelperLostInsideTheLateWindowLosesNoLateHost) {
    const std::vector<int> prompt = Octets(2, 21);
    const std::vector<int> late = {22, 23, 24, 25, 26};
    ASSERT_NO_FATAL_FAILURE(
        Start(Hosts(prompt) + ", " + Hosts({22, 23, 24}, "\"delay_ms\": 300") + ", " +
              Hosts({25, 26}, "\"delay_ms\": 450") + ", " + Hosts({30}, "\"duplicates\": 1") +
              ", " + Hosts({31}, "\"reply_from\": \"" + Address(30) + "\", \"delay_ms\": 50")));
    for (const auto& [signal, at] : std::vector<std::pair<std::string, std::string>>{
             {"kill", "200"}, {"stop", "200"}, {"stop", "50"}}) {
        SCOPED_TRACE(signal + " at " + at);
        const auto result = Scan(Range(
            1, 40, {"--scans", "2", "--helper-signal", signal, "--helper-signal-after-ms", at}));
        ASSERT_EQ(result.earlier.size(), 1U) << result.raw;
        const BenchResult& hit = result.earlier[0];
        ExpectEndedWith(hit, kHelperRestarted);
        for (const int octet : prompt) {
            ExpectRow(hit, Address(octet), Mac(octet));
        }
        for (const int octet : late) {
            ExpectRow(hit, Address(octet), Mac(octet));
        }
        ExpectRow(hit, Address(30), Mac(30));
        EXPECT_EQ(hit.Row(Address(30))->otherMacs, std::vector<std::string>{Mac(31)}) << hit.raw;
        ExpectCompleted(result, 40);
        EXPECT_EQ(result.Number("found"), 27);  // and our own
        EXPECT_EQ(result.Number("zombies"), 0) << result.raw;
        EXPECT_EQ(result.Number("children"), 1) << "one helper, the restarted one";
    }
}

// A helper killed twice in one scan gives way to the fallback for the rest of it, but each
// later scan tries the helper again: they complete plainly at the helper's pace, with it.
TEST_P(LabHelperFaults, EachScanTriesTheHelperAgainAfterItsRestartLimit) {
    ASSERT_NO_FATAL_FAILURE(Start(Hosts(Octets(10, 19))));
    const auto result =
        Scan(Range(1, 30,
                   {"--scans", "3", "--helper-signal", "kill", "--helper-signal-after-ms", "50",
                    "--helper-signal-after-ms", "400"}));
    ASSERT_EQ(result.earlier.size(), 2U) << result.raw;
    const BenchResult& hit = result.earlier[0];
    ExpectEndedWith(hit, kHelperReplaced);
    for (const BenchResult* later : {&result.earlier[1], &result}) {
        ExpectCompleted(*later, 30);
        EXPECT_EQ(later->Number("found"), 11) << later->raw;
        // The fallback would listen for 2.1 s at least.
        EXPECT_LT(std::strtod(later->Value("wall_ms").c_str(), nullptr), 1800.0) << later->raw;
    }
    EXPECT_EQ(result.Number("children"), 1) << "the helper serves again";
}

// A helper that cannot start its threads (a low process limit) does not greet as ready: the
// fallback asks instead, finds the hosts, and the user hears once why it is slow.
TEST_P(LabHelperFaults, HelperUnderALowProcessLimitGivesWayToTheFallback) {
    ASSERT_NO_FATAL_FAILURE(Start(Hosts(Octets(10, 19))));
    // Room for the bench's own threads, not for the helper's.
    const auto result = Scan(Range(1, 30, {"--sender", "auto", "--scans", "2", "--workers", "8"}),
                             {"prlimit", "--nproc=40"});
    ASSERT_EQ(result.earlier.size(), 1U) << result.raw;
    const BenchResult& first = result.earlier[0];
    EXPECT_EQ(first.Value("sender"), "neighbour") << result.raw;
    ASSERT_EQ(first.messages.size(), 2U) << result.raw;
    EXPECT_EQ(first.messages[0], std::string(kScanComplete) + "|Talvik|0");
    // It has its capability: the notice names it and gives no setcap advice that would not help.
    EXPECT_NE(first.messages[1].find("talvik-arp 未能启动。"), std::string::npos)
        << first.messages[1];
    EXPECT_EQ(first.messages[1].find("setcap"), std::string::npos) << first.messages[1];
    for (int octet = 10; octet <= 19; ++octet) {
        ExpectRow(first, Address(octet), Mac(octet));
        ExpectRow(result, Address(octet), Mac(octet));
    }
    ExpectCompleted(result, 30);  // told once per run
}

const auto kKindName = [](const auto& kind) { return std::string(SenderName(kind.param)); };
INSTANTIATE_TEST_SUITE_P(Fallback, LabFallbackFaults, ::testing::Values(SenderKind::Neighbour),
                         kKindName);
INSTANTIATE_TEST_SUITE_P(Helper, LabHelperFaults, ::testing::Values(SenderKind::Helper), kKindName);
INSTANTIATE_TEST_SUITE_P(Senders, LabDozing,
                         ::testing::Values(SenderKind::Packet, SenderKind::Helper), kKindName);
INSTANTIATE_TEST_SUITE_P(Senders, LabScan,
                         ::testing::Values(SenderKind::Packet, SenderKind::Helper,
                                           SenderKind::Neighbour),
                         kKindName);

}  // namespace
}  // namespace talvik::test
