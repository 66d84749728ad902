#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>
#include <vector>

#include "NetnsPair.h"
#include "platform/NeighbourArpSender.h"
#include "platform/NeighbourTable.h"

namespace talvik {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::kHostIp;
using testing::kHostMac;
using testing::NetnsPair;

// An RTM_NEWNEIGH for 203.0.113.10 on interface 7 as the kernel lays it out (little-endian
// host): header, ndmsg, then NDA_DST, NDA_LLADDR and NDA_CACHEINFO.
std::vector<std::uint8_t> KernelMessage(std::uint8_t state, std::uint32_t confirmedTicks) {
    std::vector<std::uint8_t> m = {
        0,
        0,
        0,
        0,
        RTM_NEWNEIGH,
        0,
        0,
        0,  // length (below), type, flags
        1,
        0,
        0,
        0,
        0,
        0,
        0,
        0,  // sequence, port
        AF_INET,
        0,
        0,
        0,
        7,
        0,
        0,
        0,  // family, pad, ifindex 7
        state,
        0,
        0,
        0,  // state, flags, type
        8,
        0,
        NDA_DST,
        0,
        203,
        0,
        113,
        10,
        10,
        0,
        NDA_LLADDR,
        0,
        0x00,
        0x0c,
        0x29,
        0x3a,
        0x4b,
        0x5c,
        0,
        0,
        20,
        0,
        NDA_CACHEINFO,
        0,
    };
    for (std::uint32_t value : {confirmedTicks, 0u, 0u, 1u}) {
        for (int i = 0; i < 4; ++i) {
            m.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }
    m[0] = static_cast<std::uint8_t>(m.size());
    return m;
}

TEST(NeighbourTable, KernelMessagesAreReadAndBrokenOnesRefused) {
    const auto entry = ParseNeighbourMessage(KernelMessage(NUD_REACHABLE, 25), 100);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->ifindex, 7);
    EXPECT_EQ(entry->address, 0xCB00710Au);
    EXPECT_EQ(entry->state, NUD_REACHABLE);
    EXPECT_EQ(entry->mac, (MacAddress{0x00, 0x0c, 0x29, 0x3a, 0x4b, 0x5c}));
    EXPECT_EQ(entry->confirmedAgo, 250ms);

    auto truncated = KernelMessage(NUD_REACHABLE, 25);
    truncated.resize(40);
    EXPECT_FALSE(ParseNeighbourMessage(truncated, 100));
    auto overlong = KernelMessage(NUD_REACHABLE, 25);
    overlong[0] = 200;
    EXPECT_FALSE(ParseNeighbourMessage(overlong, 100));
    auto badAttribute = KernelMessage(NUD_REACHABLE, 25);
    badAttribute[28] = 60;  // NDA_DST claims to run past the message
    EXPECT_FALSE(ParseNeighbourMessage(badAttribute, 100));
    auto ipv6 = KernelMessage(NUD_REACHABLE, 25);
    ipv6[16] = AF_INET6;
    EXPECT_FALSE(ParseNeighbourMessage(ipv6, 100));
}

TEST(NeighbourTable, OnlyAConfirmationAfterTheTriggerCounts) {
    const Clock::time_point t = Clock::now();
    const auto sighting = [](std::uint16_t state, std::optional<std::chrono::milliseconds> ago,
                             Clock::time_point at) {
        NeighbourEntry entry;
        entry.state = state;
        entry.mac = MacAddress{0x00, 0x0c, 0x29, 0x3a, 0x4b, 0x5c};
        entry.confirmedAgo = ago;
        return NeighbourSighting{entry, at};
    };
    const NeighbourSighting none{std::nullopt, t - 1ms};

    // Fresh entry answered 5 ms after the trigger.
    EXPECT_TRUE(ConfirmedSince(none, t, sighting(NUD_REACHABLE, 0ms, t + 5ms), 20ms));
    // Confirmed long before; unchanged since.
    const NeighbourSighting old = sighting(NUD_REACHABLE, 10s, t - 1ms);
    EXPECT_FALSE(ConfirmedSince(old, t, sighting(NUD_REACHABLE, 10s + 200ms, t + 200ms), 20ms));
    EXPECT_FALSE(ConfirmedSince(none, t, sighting(NUD_STALE, 60s, t + 200ms), 20ms));
    // Confirmed again after the trigger: counts even in the state the kernel moved it to.
    EXPECT_TRUE(ConfirmedSince(old, t, sighting(NUD_REACHABLE, 100ms, t + 200ms), 20ms));
    EXPECT_TRUE(ConfirmedSince(old, t, sighting(NUD_STALE, 100ms, t + 200ms), 20ms));
    // Confirmed just before we looked, within the kernel's rounding: it is the old one.
    const NeighbourSighting recent = sighting(NUD_REACHABLE, 0ms, t - 1ms);
    EXPECT_FALSE(ConfirmedSince(recent, t, sighting(NUD_REACHABLE, 10ms, t + 10ms), 20ms));
    // States that are no confirmation, or no MAC to report.
    for (std::uint16_t state : {NUD_INCOMPLETE, NUD_FAILED, NUD_PERMANENT, NUD_NOARP, NUD_NONE}) {
        EXPECT_FALSE(ConfirmedSince(none, t, sighting(state, 0ms, t + 5ms), 20ms)) << state;
    }
    NeighbourSighting noMac = sighting(NUD_REACHABLE, 0ms, t + 5ms);
    noMac.entry->mac = MacAddress{};
    EXPECT_FALSE(ConfirmedSince(none, t, noMac, 20ms));
    EXPECT_FALSE(ConfirmedSince(none, t, sighting(NUD_REACHABLE, std::nullopt, t + 5ms), 20ms));

    EXPECT_TRUE(AwaitsReprobe(sighting(NUD_STALE, 60s, t).entry));
    EXPECT_FALSE(AwaitsReprobe(sighting(NUD_REACHABLE, 1s, t).entry));
    EXPECT_FALSE(AwaitsReprobe(std::nullopt));
}

class NeighbourArpSenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::IsRoot()) {
            GTEST_SKIP() << "needs root to make network namespaces";
        }
        lab_ = std::make_unique<NetnsPair>();
        ASSERT_TRUE(lab_->Ok());
    }
    std::uint32_t Ask(std::uint32_t target, MacAddress* mac = nullptr,
                      NeighbourArpSender::Options options = {}) {
        std::uint32_t status = ~0u;
        EXPECT_TRUE(lab_->InScanner([&] {
            NeighbourArpSender sender(options);
            std::uint8_t buffer[6] = {};
            std::uint32_t length = 6;
            status = sender.SendARP(target, buffer, &length, {});
            if (mac) {
                std::copy_n(buffer, 6, mac->begin());
            }
        }));
        return status;
    }
    std::unique_ptr<NetnsPair> lab_;
};

TEST_F(NeighbourArpSenderTest, FindsHostsAgainAndLosesThemWhenTheyGo) {
    MacAddress mac{};
    EXPECT_EQ(Ask(kHostIp, &mac), kNoError);
    EXPECT_EQ(mac, kHostMac);
    // Its entry is reachable now, so the kernel will not ask again: the host's own answer to
    // our datagram must carry the second scan.
    mac = {};
    EXPECT_EQ(Ask(kHostIp, &mac), kNoError);
    EXPECT_EQ(mac, kHostMac);

    ASSERT_TRUE(lab_->OnHost("ip addr del 203.0.113.10/24 dev " + lab_->Host()));
    EXPECT_EQ(Ask(kHostIp), kErrorBadNetName) << "a reachable entry outlived its host";
    EXPECT_EQ(Ask(0xCB007163), kErrorBadNetName);  // nobody at 203.0.113.99
    EXPECT_EQ(Ask(0xC6336405), kErrorBadNetName);  // off-link

    MacAddress own{};
    EXPECT_EQ(Ask(testing::kScannerIp, &own), kNoError);
    EXPECT_EQ(own, testing::kScannerMac);
}

TEST_F(NeighbourArpSenderTest, EntriesLeftInTheTableNeverCount) {
    NeighbourArpSender::Options quick;
    quick.reprobeGiveUp = 1500ms;
    const std::string dev = lab_->Scanner();
    struct Case {
        const char* ip;
        const char* nud;
    };
    for (const Case& c : {Case{"203.0.113.50", "stale"}, Case{"203.0.113.51", "reachable"},
                          Case{"203.0.113.52", "permanent"}, Case{"203.0.113.53", "noarp"}}) {
        ASSERT_TRUE(lab_->OnScanner(std::string("ip neigh replace ") + c.ip +
                                    " lladdr 02:7a:00:00:00:99 nud " + c.nud + " dev " + dev));
        in_addr address{};
        ::inet_pton(AF_INET, c.ip, &address);
        EXPECT_EQ(Ask(ntohl(address.s_addr), nullptr, quick), kErrorBadNetName) << c.nud;
    }
}

TEST_F(NeighbourArpSenderTest, StopWakesTheWait) {
    NeighbourArpSender::Options slow;
    slow.giveUp = 8s;
    std::stop_source stop;
    std::uint32_t status = ~0u;
    std::jthread stopper([&] {
        std::this_thread::sleep_for(100ms);
        stop.request_stop();
    });
    const auto before = Clock::now();
    ASSERT_TRUE(lab_->InScanner([&] {
        NeighbourArpSender sender(slow);
        std::uint8_t mac[6];
        std::uint32_t length = 6;
        status = sender.SendARP(0xCB007163, mac, &length, stop.get_token());
    }));
    EXPECT_EQ(status, kErrorCancelled);
    EXPECT_LT(Clock::now() - before, 2s);
}

}  // namespace
}  // namespace talvik
