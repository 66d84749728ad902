// Scans through the real senders in a network lab: the packet socket as root, the privileged
// helper and the kernel-neighbour fallback as nobody. Needs root to build the lab; without it
// the cases skip, unless CI=true, where they fail.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/lab/LabHarness.h"

namespace talvik::lab {
namespace {

constexpr const char* kSubnet = "203.0.113.";
constexpr const char* kScannerMac = "02-54-56-00-00-01";

bool InCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::strcmp(ci, "true") == 0;
}

std::string Address(int octet) {
    return kSubnet + std::to_string(octet);
}

// Every host of the lab has MAC 02:1a:00:00:00:<octet>, so its row is easy to check.
std::string MacText(int octet) {
    char text[18];
    std::snprintf(text, sizeof text, "02-1a-00-00-00-%02x", octet);
    return text;
}

std::string HostJson(int octet, const std::string& extra = "") {
    std::string mac = MacText(octet);
    for (char& c : mac) {
        if (c == '-') {
            c = ':';
        }
    }
    return "{\"ip\": \"" + Address(octet) + "\", \"mac\": \"" + mac + "\"" +
           (extra.empty() ? "" : ", " + extra) + "}";
}

std::string HostsJson(int first, int count, const std::string& extra = "") {
    std::string json;
    for (int i = 0; i < count; ++i) {
        json += (json.empty() ? "" : ", ") + HostJson(first + i, extra);
    }
    return json;
}

class LabScan : public ::testing::TestWithParam<SenderKind> {
protected:
    void SetUp() override {
        std::string why;
        bool available = LabAvailable(why);
        if (available && GetParam() == SenderKind::Helper && !HelperAvailable()) {
            available = false;
            why = "talvik-arp was not built or cannot hold cap_net_raw here";
        }
        if (!available) {
            if (InCi()) {
                FAIL() << "the network lab cannot run under CI: " << why;
            }
            GTEST_SKIP() << why;
        }
    }

    std::unique_ptr<Lab> MakeLab(bool gateway, const std::vector<std::string>& names = {}) {
        auto lab = std::make_unique<Lab>(SenderName(GetParam()), gateway, names);
        EXPECT_TRUE(lab->Up()) << "could not build lab " << lab->Name();
        return lab;
    }

    static void ExpectCompleted(const BenchResult& result, int targets) {
        EXPECT_EQ(result.exitCode, 0) << result.raw;
        EXPECT_EQ(result.Value("completed"), "1");
        EXPECT_EQ(result.Value("progress"),
                  std::to_string(targets) + "/" + std::to_string(targets));
        ASSERT_EQ(result.messages.size(), 1u) << result.raw;
        EXPECT_EQ(result.messages[0], "扫描完成!|Talvik|0");
        EXPECT_EQ(result.Value("running_after"), "0");
    }
};

// Live hosts come back with their own MACs and nothing else is marked: not the silent ones,
// not a host that answers in another address's name, not one that only announces itself.
TEST_P(LabScan, FindsExactlyTheHostsThatAnswer) {
    auto lab = MakeLab(false);
    ASSERT_TRUE(lab->Up());
    const std::string hosts = "[" + HostsJson(10, 20) + ", " + HostJson(40, "\"delay_ms\": 120") +
                              ", " + HostJson(41, "\"duplicates\": 2") + ", " +
                              HostJson(42, "\"reply_from\": \"198.51.100.42\"") + ", " +
                              HostJson(43, "\"silent\": true, \"gratuitous_every_ms\": 40") + "]";
    Responder responder(*lab, hosts);
    ASSERT_TRUE(responder.Running());

    const auto result = RunBench(*lab, GetParam(), {"--first", Address(1), "--last", Address(60)});
    ExpectCompleted(result, 60);
    ASSERT_EQ(result.rows.size(), 60u) << result.raw;

    for (int octet = 1; octet <= 60; ++octet) {
        SCOPED_TRACE(Address(octet));
        const auto& row = result.rows.at(Address(octet));
        const bool live = (octet >= 10 && octet < 30) || octet == 40 || octet == 41;
        if (octet == 1) {
            // Our own address answers with the interface's own MAC.
            EXPECT_EQ(row.status, "running");
            EXPECT_EQ(row.mac, kScannerMac);
        } else if (live) {
            EXPECT_EQ(row.status, "running");
            EXPECT_EQ(row.mac, MacText(octet));
        } else {
            EXPECT_EQ(row.status, "");
            EXPECT_EQ(row.mac, "");
        }
    }
    EXPECT_EQ(result.Number("found"), 23);
}

// A target off the lab's subnet is never probed: not one frame reaches the link, even with a
// default route through a gateway that answers.
TEST_P(LabScan, OffLinkTargetsSendNothing) {
    auto lab = MakeLab(true);
    ASSERT_TRUE(lab->Up());
    Responder responder(*lab, "[" + HostJson(254) + "]");
    ASSERT_TRUE(responder.Running());

    const auto result =
        RunBench(*lab, GetParam(), {"--first", "198.51.100.1", "--last", "198.51.100.12"});
    const auto counts = responder.Stop();

    ExpectCompleted(result, 12);
    EXPECT_EQ(result.rows.size(), 12u) << result.raw;
    for (const auto& [address, row] : result.rows) {
        EXPECT_EQ(row.status, "") << address;
        EXPECT_EQ(row.mac, "") << address;
    }
    EXPECT_EQ(counts.framesIn, 0) << "frames reached the lab link";
}

// Stop in the middle of a /24 of silent hosts: no completion notice, the window back to idle,
// and no row or progress change once Stop has returned.
TEST_P(LabScan, StopInTheMiddleOfASlash24) {
    auto lab = MakeLab(false);
    ASSERT_TRUE(lab->Up());
    Responder responder(*lab, "[" + HostJson(200) + "]");
    ASSERT_TRUE(responder.Running());

    const auto result = RunBench(*lab, GetParam(),
                                 {"--first", Address(1), "--last", Address(254), "--workers", "50",
                                  "--stop-after-ms", "250", "--settle-ms", "2000"});
    EXPECT_EQ(result.exitCode, 0) << result.raw;
    EXPECT_EQ(result.Value("stopped"), "1");
    EXPECT_TRUE(result.messages.empty()) << result.raw;
    EXPECT_EQ(result.Value("running_after"), "0");
    EXPECT_EQ(result.Number("writes_after_stop"), 0);
    const long atStop = result.Number("progress_at_stop");
    EXPECT_GE(atStop, 0);
    EXPECT_LT(atStop, 254) << "the scan had ended before Stop";
    EXPECT_EQ(result.Value("progress"), std::to_string(atStop) + "/254");
    // Rows the stopped scan never wrote stay empty.
    long written = 0;
    for (const auto& [address, row] : result.rows) {
        written += row.status.empty() ? 0 : 1;
    }
    EXPECT_LE(written, atStop);
}

// Closing the window in the middle of a scan: the engine is gone well within one probe's wait
// (every sender wakes its waits at once), and nothing reaches the list or a message box after.
TEST_P(LabScan, CloseInTheMiddleOfAScan) {
    auto lab = MakeLab(false);
    ASSERT_TRUE(lab->Up());
    Responder responder(*lab, "[" + HostsJson(100, 10, "\"delay_ms\": 120") + "]");
    ASSERT_TRUE(responder.Running());

    const auto result = RunBench(*lab, GetParam(),
                                 {"--first", Address(1), "--last", Address(254), "--close-after-ms",
                                  "300", "--settle-ms", "1500"});
    EXPECT_EQ(result.exitCode, 0) << result.raw;
    EXPECT_EQ(result.Value("closed"), "1");
    EXPECT_TRUE(result.messages.empty()) << result.raw;
    EXPECT_EQ(result.Number("writes_after_close"), 0);
    EXPECT_LT(result.Number("progress_at_close"), 254);
    const std::string closeMs = result.Value("close_ms");
    ASSERT_FALSE(closeMs.empty()) << result.raw;
    EXPECT_LT(std::stod(closeMs), 1000.0) << "closing waited for probes to run out";
}

// With a tenth of requests and of replies lost, the retries still find nearly every host, and
// what is found carries the right MAC.
TEST_P(LabScan, RetriesOutlastModerateLoss) {
    auto lab = MakeLab(false);
    ASSERT_TRUE(lab->Up());
    Responder responder(
        *lab, "[" + HostsJson(2, 20, "\"request_loss\": 0.1, \"reply_loss\": 0.1") + "]", 7);
    ASSERT_TRUE(responder.Running());

    const auto result = RunBench(*lab, GetParam(), {"--first", Address(2), "--last", Address(31)});
    ExpectCompleted(result, 30);
    ASSERT_EQ(result.rows.size(), 30u) << result.raw;
    int found = 0;
    for (int octet = 2; octet <= 31; ++octet) {
        const auto& row = result.rows.at(Address(octet));
        if (row.status.empty()) {
            EXPECT_EQ(row.mac, "") << Address(octet);
            continue;
        }
        ASSERT_LT(octet, 22) << "a silent address was marked: " << Address(octet);
        EXPECT_EQ(row.mac, MacText(octet));
        ++found;
    }
    // Three exchanges per host: missing more than two of twenty is out of all proportion.
    EXPECT_GE(found, 18);
}

// Rows may hold host names: a name the lab's hosts file knows is probed at its address, a name
// nobody knows is never probed and ends with empty cells, like a silent host.
TEST_P(LabScan, NamesAreResolvedAtScanStart) {
    auto lab = MakeLab(false, {"lab-host-a=" + Address(10), "lab-host-b=" + Address(11)});
    ASSERT_TRUE(lab->Up());
    Responder responder(*lab, "[" + HostJson(10) + "]");
    ASSERT_TRUE(responder.Running());

    const auto result = RunBench(*lab, GetParam(),
                                 {"--target", "lab-host-a", "--target", "lab-host-b", "--target",
                                  "no-such-host.invalid", "--target", Address(12)});
    const auto counts = responder.Stop();
    ExpectCompleted(result, 4);
    ASSERT_EQ(result.rows.size(), 4u) << result.raw;
    EXPECT_EQ(result.rows.at("lab-host-a").status, "running");
    EXPECT_EQ(result.rows.at("lab-host-a").mac, MacText(10));
    for (const char* quiet : {"lab-host-b", "no-such-host.invalid"}) {
        EXPECT_EQ(result.rows.at(quiet).status, "") << quiet;
        EXPECT_EQ(result.rows.at(quiet).mac, "") << quiet;
    }
    EXPECT_EQ(result.rows.at(Address(12)).mac, "");
    EXPECT_EQ(result.Number("found"), 1);
    // Only lab addresses were asked for: the unknown name sent nothing.
    for (const auto& target : counts.requestSequence) {
        EXPECT_TRUE(target == Address(10) || target == Address(11) || target == Address(12))
            << target;
    }
}

// A second scan right after the first finds the same hosts with the same MACs, although the
// kernel now holds fresh entries for all of them, and so does a row that repeats an address
// within one scan. These hosts answer a stray datagram with an ICMP error, as hosts without a
// firewall do.
TEST_P(LabScan, RescanFindsTheSameHosts) {
    auto lab = MakeLab(false);
    ASSERT_TRUE(lab->Up());
    Responder responder(*lab, "[" + HostsJson(2, 5, "\"icmp_unreachable\": true") + "]");
    ASSERT_TRUE(responder.Running());

    const std::vector<std::string> args{"--first", Address(1), "--last", Address(8)};
    const auto first = RunBench(*lab, GetParam(), args);
    const auto second = RunBench(*lab, GetParam(), args);
    ExpectCompleted(first, 8);
    ExpectCompleted(second, 8);
    EXPECT_EQ(first.Number("found"), 6) << first.raw;
    for (int octet = 1; octet <= 8; ++octet) {
        const std::string address = Address(octet);
        ASSERT_TRUE(first.rows.count(address) && second.rows.count(address)) << address;
        EXPECT_EQ(second.rows.at(address).status, first.rows.at(address).status) << address;
        EXPECT_EQ(second.rows.at(address).mac, first.rows.at(address).mac) << address;
    }

    const auto repeated = RunBench(
        *lab, GetParam(),
        {"--target", Address(3), "--target", Address(7), "--target", Address(3), "--workers", "1"});
    ExpectCompleted(repeated, 3);
    ASSERT_EQ(repeated.rowsInOrder.size(), 3u) << repeated.raw;
    EXPECT_EQ(repeated.rowsInOrder[0].mac, MacText(3));
    EXPECT_EQ(repeated.rowsInOrder[1].mac, "");
    EXPECT_EQ(repeated.rowsInOrder[2].mac, MacText(3)) << "the repeated row lost its host";
}

// With a worker limit of 1 the targets are probed strictly one after another in table order:
// every host answers only after 100 ms, so overlapping probes would show on the link as
// interleaved requests and in a scan far shorter than the hosts' delays add up to.
TEST_P(LabScan, WorkerLimitOneProbesInTableOrder) {
    auto lab = MakeLab(false);
    ASSERT_TRUE(lab->Up());
    std::string hosts;
    for (int octet = 2; octet <= 9; ++octet) {
        if (octet != 6) {
            hosts += (hosts.empty() ? "" : ", ") + HostJson(octet, "\"delay_ms\": 100");
        }
    }
    Responder responder(*lab, "[" + hosts + "]");
    ASSERT_TRUE(responder.Running());

    const auto result =
        RunBench(*lab, GetParam(), {"--first", Address(2), "--last", Address(9), "--workers", "1"});
    const auto counts = responder.Stop();
    ExpectCompleted(result, 8);
    EXPECT_EQ(result.Number("found"), 7);
    EXPECT_GE(std::stod(result.Value("wall_ms").empty() ? "0" : result.Value("wall_ms")), 700.0);

    // The first request of each target, in the order they reached the link.
    std::vector<std::string> firsts;
    for (const auto& target : counts.requestSequence) {
        if (std::find(firsts.begin(), firsts.end(), target) == firsts.end()) {
            firsts.push_back(target);
        }
    }
    std::vector<std::string> tableOrder;
    for (int octet = 2; octet <= 9; ++octet) {
        tableOrder.push_back(Address(octet));
    }
    EXPECT_EQ(firsts, tableOrder);
    if (GetParam() != SenderKind::Neighbour) {
        // Our own retries end with the probe; the kernel's own repeats for the silent host may
        // outlive the neighbour-table sender's wait, so only ours are held to this.
        std::vector<std::string> runs;
        for (const auto& target : counts.requestSequence) {
            if (runs.empty() || runs.back() != target) {
                runs.push_back(target);
            }
        }
        EXPECT_EQ(runs, tableOrder) << "requests of different targets interleaved";
    }
}

INSTANTIATE_TEST_SUITE_P(Senders, LabScan,
                         ::testing::Values(SenderKind::Packet, SenderKind::Helper,
                                           SenderKind::Neighbour),
                         [](const auto& info) { return std::string(SenderName(info.param)); });

}  // namespace
}  // namespace talvik::lab
