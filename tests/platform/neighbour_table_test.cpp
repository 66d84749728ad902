#include <gtest/gtest.h>

#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <vector>

#include "platform/NeighbourTable.h"

namespace talvik {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr MacAddress kMac = {0x00, 0x0c, 0x29, 0x3a, 0x4b, 0x5c};

// An RTM_NEWNEIGH for 203.0.113.10 on interface 7 as the kernel lays it out (little-endian
// host): header, ndmsg, then NDA_DST, NDA_LLADDR and NDA_CACHEINFO, confirmed 25 ticks ago.
std::vector<std::uint8_t> KernelMessage() {
    // clang-format off
    std::vector<std::uint8_t> m = {
        0, 0, 0, 0, RTM_NEWNEIGH, 0, 0, 0,  1, 0, 0, 0, 0, 0, 0, 0,  // length (below) .. port
        AF_INET, 0, 0, 0, 7, 0, 0, 0, NUD_REACHABLE, 0, 0, 0,         // family, ifindex, state
        8, 0, NDA_DST, 0, 203, 0, 113, 10,
        10, 0, NDA_LLADDR, 0, 0x00, 0x0c, 0x29, 0x3a, 0x4b, 0x5c, 0, 0,
        20, 0, NDA_CACHEINFO, 0, 25, 0, 0, 0,  0, 0, 0, 0,  0, 0, 0, 0,  1, 0, 0, 0};
    // clang-format on
    m[0] = static_cast<std::uint8_t>(m.size());
    return m;
}

TEST(NeighbourTable, KernelMessagesAreReadAndBrokenOnesRefused) {
    const auto entry = ParseNeighbourMessage(KernelMessage(), 100);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->ifindex, 7);
    EXPECT_EQ(entry->address, 0xCB00710Au);
    EXPECT_EQ(entry->state, NUD_REACHABLE);
    EXPECT_EQ(entry->mac, kMac);
    EXPECT_EQ(entry->confirmedAgo, 250ms);

    struct Case {
        const char* what;
        std::size_t offset;  // or, past the end, the size to cut it to
        std::uint8_t value;
    };
    for (const Case& c : {Case{"truncated", 40, 0}, Case{"overlong", 0, 200},
                          Case{"attribute past the end", 28, 60}, Case{"IPv6", 16, AF_INET6}}) {
        auto message = KernelMessage();
        if (c.value == 0) {
            message.resize(c.offset);
        } else {
            message[c.offset] = c.value;
        }
        EXPECT_FALSE(ParseNeighbourMessage(message, 100)) << c.what;
    }
}

TEST(NeighbourTable, OnlyAConfirmationAfterTheTriggerCounts) {
    const Clock::time_point t = Clock::now();
    const auto seen = [](std::uint16_t state, std::optional<std::chrono::milliseconds> ago,
                         Clock::time_point at, MacAddress mac = kMac) {
        return NeighbourSighting{NeighbourEntry{7, 0xCB00710A, state, mac, ago}, at};
    };
    const NeighbourSighting none{std::nullopt, t - 1ms};
    const NeighbourSighting old = seen(NUD_REACHABLE, 10s, t - 1ms);
    struct Case {
        const char* what;
        NeighbourSighting before, now;
        bool counts;
    };
    const Case cases[] = {
        {"answered after the trigger", none, seen(NUD_REACHABLE, 0ms, t + 5ms), true},
        {"old and unchanged", old, seen(NUD_REACHABLE, 10s + 200ms, t + 200ms), false},
        {"stale since long before", none, seen(NUD_STALE, 60s, t + 200ms), false},
        {"confirmed again", old, seen(NUD_REACHABLE, 100ms, t + 200ms), true},
        {"confirmed again, now stale", old, seen(NUD_STALE, 100ms, t + 200ms), true},
        {"just before the trigger, within rounding", seen(NUD_REACHABLE, 0ms, t - 1ms),
         seen(NUD_REACHABLE, 10ms, t + 10ms), false},
        {"zero MAC", none, seen(NUD_REACHABLE, 0ms, t + 5ms, MacAddress{}), false},
        {"no confirmation time", none, seen(NUD_REACHABLE, std::nullopt, t + 5ms), false},
    };
    for (const Case& c : cases) {
        const auto mac = ConfirmedSince(c.before, t, c.now, 20ms);
        EXPECT_EQ(mac, c.counts ? std::optional(kMac) : std::nullopt) << c.what;
    }
    for (std::uint16_t state : {NUD_INCOMPLETE, NUD_FAILED, NUD_PERMANENT, NUD_NOARP, NUD_NONE}) {
        EXPECT_FALSE(ConfirmedSince(none, t, seen(state, 0ms, t + 5ms), 20ms)) << state;
    }
    EXPECT_TRUE(AwaitsReprobe(seen(NUD_STALE, 60s, t).entry));
    EXPECT_FALSE(AwaitsReprobe(seen(NUD_REACHABLE, 1s, t).entry));
    EXPECT_FALSE(AwaitsReprobe(std::nullopt));
}

}  // namespace
}  // namespace talvik
