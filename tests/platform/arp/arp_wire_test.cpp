// SPDX-License-Identifier: GPL-3.0-or-later
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "arp/ArpFrame.h"
#include "arp/ArpSchedule.h"
#include "arp/HelperProtocol.h"
#include "arp/KnownMacs.h"
#include "netlink/LinkInterfaces.h"
#include "netlink/NeighbourTable.h"

namespace talvik::test {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
constexpr MacAddress kOurMac = {0x02, 0x00, 0x5e, 0x10, 0x20, 0x30};
constexpr MacAddress kHostMac = {0x00, 0x0c, 0x29, 0x3a, 0x4b, 0x5c};
constexpr std::uint32_t kOurIp = 0xCB007101;   // 203.0.113.1
constexpr std::uint32_t kHostIp = 0xCB00710A;  // 203.0.113.10
const std::vector<std::uint8_t> kBroadcast(6, 0xff);

TEST(ArpFrame, RequestIsTheBroadcastWhoHasOnTheWire) {
    const ArpFrame expected = {
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff,                       // broadcast
        0x02, 0x00, 0x5e, 0x10, 0x20, 0x30,                       // our MAC
        0x08, 0x06,                                               // ARP
        0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01,           // Ethernet, IPv4, 6, 4, request
        0x02, 0x00, 0x5e, 0x10, 0x20, 0x30, 203,  0,    113, 1,   // sender
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 203,  0,    113, 10,  // target, MAC unknown
    };
    EXPECT_EQ(BuildArpRequest(kOurMac, kOurIp, kHostIp), expected);
}

TEST(ArpFrame, OnlyTheTargetsReplyToUsGivesItsMac) {
    // A reply from 203.0.113.10 (00:0c:29:3a:4b:5c) to 203.0.113.1 (02:00:5e:10:20:30), as the
    // wire carries it, padded to the Ethernet minimum.
    std::vector<std::uint8_t> reply = {
        0x02, 0x00, 0x5e, 0x10, 0x20, 0x30,                   // to us
        0x00, 0x0c, 0x29, 0x3a, 0x4b, 0x5c,                   // from the host
        0x08, 0x06,                                           // ARP
        0x00, 0x01, 0x08, 0x00, 0x06, 0x04,                   // Ethernet, IPv4, 6, 4
        0x00, 0x02,                                           // reply
        0x00, 0x0c, 0x29, 0x3a, 0x4b, 0x5c, 203, 0, 113, 10,  // sender
        0x02, 0x00, 0x5e, 0x10, 0x20, 0x30, 203, 0, 113, 1,   // target
    };
    reply.resize(60, 0);
    struct Case {
        const char* what;
        std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> edits;
        std::size_t size = 60;
        bool answers = false;
    };
    // clang-format off
    const Case cases[] = {
        {"padded", {}, 60, true}, {"unpadded", {}, kArpFrameSize, true},
        {"Ethernet broadcast", {{0, kBroadcast}}, 60, true},
        {"empty", {}, 0}, {"Ethernet header only", {}, 14}, {"one byte short", {}, 41},
        {"IPv4 ethertype", {{13, {0x00}}}}, {"hardware type 6", {{15, {0x06}}}},
        {"protocol IPv6", {{16, {0x86}}}}, {"hardware length 8", {{18, {0x08}}}},
        {"protocol length 16", {{19, {16}}}}, {"a request", {{21, {0x01}}}},
        {"opcode 0", {{21, {0x00}}}}, {"RARP reply", {{21, {0x04}}}},
        {"opcode high byte", {{20, {0x01}}}}, {"from another address", {{31, {11}}}},
        {"to another address", {{41, {2}}}}, {"to another MAC", {{37, {0x31}}}},
        {"Ethernet frame to someone else", {{5, {0x31}}}},
        {"multicast sender MAC", {{22, {0x01}}}},
        {"zero sender MAC", {{22, std::vector<std::uint8_t>(6, 0)}}},
        {"our own frame looped back", {{6, {kOurMac.begin(), kOurMac.end()}}}},
        // The host announcing itself answers no question of ours.
        {"gratuitous", {{0, kBroadcast}, {32, kBroadcast}, {38, {203, 0, 113, 10}}}}};
    // clang-format on
    for (const Case& c : cases) {
        auto frame = reply;
        for (const auto& [offset, bytes] : c.edits) {
            std::copy(bytes.begin(), bytes.end(), frame.begin() + offset);
        }
        frame.resize(c.size);
        const auto packet = ParseArpPacket(frame);
        EXPECT_FALSE(packet && c.size < kArpFrameSize) << c.what;
        const auto mac =
            packet ? MatchArpReply(*packet, ArpQuestion{kOurMac, kOurIp, kHostIp}) : std::nullopt;
        EXPECT_EQ(mac, c.answers ? std::optional(kHostMac) : std::nullopt) << c.what;
    }
}

TEST(ArpFrame, UnicastRequestGoesToTheKnownMacAlone) {
    const ArpFrame expected = {
        0x00, 0x0c, 0x29, 0x3a, 0x4b, 0x5c,                       // the MAC last seen there
        0x02, 0x00, 0x5e, 0x10, 0x20, 0x30,                       // our MAC
        0x08, 0x06,                                               // ARP
        0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01,           // Ethernet, IPv4, 6, 4, request
        0x02, 0x00, 0x5e, 0x10, 0x20, 0x30, 203,  0,    113, 1,   // sender
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 203,  0,    113, 10,  // target, MAC asked for
    };
    EXPECT_EQ(BuildUnicastArpRequest(kOurMac, kOurIp, kHostIp, kHostMac), expected);
}

TEST(ArpFrame, OnlyTheTargetSpeakingForItselfShowsItAlive) {
    // 203.0.113.10 asking, by broadcast, who has 203.0.113.254 (its gateway).
    std::vector<std::uint8_t> request = {
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff,                        // broadcast
        0x00, 0x0c, 0x29, 0x3a, 0x4b, 0x5c,                        // from the host
        0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04,            // ARP, Ethernet, IPv4, 6, 4
        0x00, 0x01,                                                // request
        0x00, 0x0c, 0x29, 0x3a, 0x4b, 0x5c, 203,  0,    113, 10,   // sender
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 203,  0,    113, 254,  // target
    };
    request.resize(60, 0);
    const std::vector<std::uint8_t> hostIp = {203, 0, 113, 10};
    struct Case {
        const char* what;
        std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> edits;
        bool alive = false;
    };
    // clang-format off
    const Case cases[] = {
        {"asks for its gateway", {}, true},
        {"asks for us", {{41, {1}}}, true},
        {"announces itself", {{38, hostIp}}, true},
        {"announces itself by a reply", {{21, {0x02}}, {38, hostIp}}, true},
        {"unicast to us", {{0, {kOurMac.begin(), kOurMac.end()}}}, true},
        {"a reply to someone else", {{21, {0x02}}}},
        {"RFC 5227 probe from 0.0.0.0", {{28, {0, 0, 0, 0}}, {38, hostIp}}},
        {"another address", {{31, {11}}}},
        {"our own MAC as sender", {{22, {kOurMac.begin(), kOurMac.end()}}}},
        {"our own frame looped back", {{6, {kOurMac.begin(), kOurMac.end()}}}},
        {"multicast sender MAC", {{22, {0x01}}}},
        {"multicast Ethernet source", {{6, {0x01}}}},
        {"zero sender MAC", {{22, std::vector<std::uint8_t>(6, 0)}}},
        {"opcode 3", {{21, {0x03}}}}};
    // clang-format on
    for (const Case& c : cases) {
        auto frame = request;
        for (const auto& [offset, bytes] : c.edits) {
            std::copy(bytes.begin(), bytes.end(), frame.begin() + offset);
        }
        const auto packet = ParseArpPacket(frame);
        ASSERT_TRUE(packet) << c.what;
        EXPECT_EQ(MatchUnsolicitedArp(*packet, ArpQuestion{kOurMac, kOurIp, kHostIp}),
                  c.alive ? std::optional(kHostMac) : std::nullopt)
            << c.what;
        // Not a target of the scan, or no address at all: nothing.
        EXPECT_FALSE(MatchUnsolicitedArp(*packet, ArpQuestion{kOurMac, kOurIp, kHostIp + 100}));
        EXPECT_FALSE(MatchUnsolicitedArp(*packet, ArpQuestion{kOurMac, kOurIp, 0}));
    }
}

constexpr std::uint32_t Ip(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

LinkInterface Link(const char* name, std::uint8_t macTail, std::uint32_t address, int prefix) {
    return LinkInterface{name, macTail, MacAddress{0x02, 0, 0, 0, 0, macTail}, address, prefix};
}

TEST(ChooseLink, MostSpecificConnectedSubnetOwnAddressOrNothing) {
    std::vector<LinkInterface> links = {
        Link("wide", 1, Ip(203, 0, 112, 1), 23),    Link("narrow", 2, Ip(203, 0, 113, 129), 26),
        Link("same", 3, Ip(203, 0, 113, 130), 26),  Link("p2p", 4, Ip(198, 51, 100, 0), 31),
        Link("single", 5, Ip(198, 51, 100, 9), 32), Link("half", 6, Ip(198, 51, 100, 130), 25),
    };
    using enum LinkVerdict;
    struct Case {
        std::uint32_t target;
        LinkVerdict verdict;
        const char* link;
    };
    const Case cases[] = {
        {Ip(203, 0, 113, 10), OnLink, "wide"},      {Ip(198, 51, 100, 254), OnLink, "half"},
        {Ip(198, 51, 100, 1), OnLink, "p2p"},       {Ip(203, 0, 112, 1), OwnAddress, "wide"},
        {Ip(203, 0, 113, 130), OwnAddress, "same"}, {Ip(198, 51, 100, 9), OwnAddress, "single"},
    };
    for (int order = 0; order < 2; ++order) {
        for (const Case& c : cases) {
            const LinkChoice choice = ChooseLink(links, c.target);
            EXPECT_EQ(choice.verdict, c.verdict) << std::hex << c.target;
            EXPECT_EQ(choice.link.name, c.link) << std::hex << c.target;
            EXPECT_EQ(choice.link.mac[5], choice.link.index) << choice.link.name;
        }
        // Of two equally specific subnets, the first listed wins.
        EXPECT_EQ(ChooseLink(links, Ip(203, 0, 113, 140)).link.name, order ? "same" : "narrow");
        // Beside a /32, outside a /25, network and broadcast addresses, elsewhere, no host's.
        for (std::uint32_t target :
             {Ip(198, 51, 100, 10), Ip(198, 51, 100, 127), Ip(198, 51, 100, 128),
              Ip(198, 51, 100, 255), Ip(203, 0, 112, 0), Ip(203, 0, 113, 255), Ip(192, 0, 2, 10),
              0u, 0xFFFFFFFFu, Ip(127, 0, 0, 1), Ip(224, 0, 0, 1), Ip(240, 0, 0, 1)}) {
            EXPECT_EQ(ChooseLink(links, target).verdict, NotOnLink) << std::hex << target;
        }
        std::reverse(links.begin(), links.end());
    }
    EXPECT_EQ(ChooseLink({}, Ip(203, 0, 113, 10)).verdict, LinkVerdict::NotOnLink);
}

TEST(ArpSchedule, TextIsReadStrictly) {
    const auto one = ArpSchedule::FromText("0/1000");
    ASSERT_TRUE(one);
    EXPECT_EQ(one->sends, std::vector<milliseconds>{milliseconds(0)});
    EXPECT_EQ(one->giveUp, milliseconds(1000));
    EXPECT_TRUE(ArpSchedule::FromText("0,1,2,3,4,5,6,7/250"));

    for (const char* bad :
         {"", "/", "0", "0/", "/250", "5/250", "0,0/250", "0,80,40/250", "0,250/250", "0,-5/250",
          "0, 75/250", "0,75/250 ", "0,,75/250", "0/250/1", "0/10001", "0x10/250",
          "0,1,2,3,4,5,6,7,8/250", "0,99999999999999999999/250"}) {
        EXPECT_FALSE(ArpSchedule::FromText(bad)) << '"' << bad << '"';
    }
}

TEST(SendPacer, LetsABurstGoThenSpacesFramesOut) {
    SendPacer pacer(1000, 4);  // one frame a millisecond, four at once
    const SendPacer::Clock::time_point t0 = SendPacer::Clock::now();
    // An idle spell refills the burst, but never beyond it.
    for (const auto now : {t0, t0 + milliseconds(100)}) {
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(pacer.Reserve(now), now) << i;
        }
        EXPECT_EQ(pacer.Reserve(now), now + milliseconds(1));
        EXPECT_EQ(pacer.Reserve(now), now + milliseconds(2));
    }
}

TEST(LingerPlan, GapsGrowJitteredWithinBoundsAndStopBeforeTheWindow) {
    const LingerPlan plan;  // 30 ms, growing by 15 %, up to 700 ms, jittered by 15 %
    struct Case {
        std::uint32_t n;
        long low, high;
    };
    const Case cases[] = {{0, 26, 34},    {1, 30, 40},    {10, 103, 139},
                          {20, 418, 564}, {40, 595, 805}, {4000, 595, 805}};
    std::set<long> seen;
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        for (const Case& c : cases) {
            const long gap = LingerGap(plan, c.n, seed).count();
            EXPECT_GE(gap, c.low) << c.n << ' ' << seed;
            EXPECT_LE(gap, c.high) << c.n << ' ' << seed;
        }
        seen.insert(LingerGap(plan, 40, seed).count());
        // Past the slowest gap a 5 s window still holds a steady ask.
        const auto offsets = LingerOffsets(plan, 100ms, 5000ms, seed);
        ASSERT_GE(offsets.size(), 8u);
        EXPECT_LT(offsets.back(), 5000ms);
        EXPECT_GT(offsets.front(), 100ms);
        EXPECT_TRUE(std::is_sorted(offsets.begin(), offsets.end()));
    }
    // The jitter spreads: a target's asks do not all sit in the same phase of a cycle.
    EXPECT_GT(seen.size(), 100u);
    EXPECT_EQ(LingerGap(LingerPlan{100ms, 100ms, 150, 0}, 9, 1), 100ms);
    EXPECT_TRUE(LingerOffsets(plan, 100ms, 120ms, 1).empty());
    EXPECT_TRUE(LingerOffsets(plan, 600ms, 500ms, 1).empty());
}

TEST(LingerAsker, HoldsTheLinkTo500FramesASecondHoweverManyTargetsLinger) {
    struct Case {
        int targets;
        milliseconds window;
        std::chrono::microseconds late{0};  // how late the sender wakes, as on a busy machine
    };
    for (const Case c : {Case{255, 5000ms}, Case{1, 5000ms}, Case{255, 500ms}, Case{40, 2000ms},
                         Case{255, 5000ms, 300us}}) {
        LingerAsker asker;
        const Clock::time_point t0{};
        std::map<std::uint64_t, Clock::time_point> until;
        std::map<std::uint64_t, std::vector<Clock::time_point>> asked;
        // Targets start lingering in waves, as a worker pool of 50 hands them over.
        for (int i = 0; i < c.targets; ++i) {
            const Clock::time_point first = t0 + milliseconds(100 * (i / 50));
            until[static_cast<std::uint64_t>(i)] = first + c.window;
            asker.Add(static_cast<std::uint64_t>(i), first + 100ms, first + c.window,
                      static_cast<std::uint64_t>(i) * 7919);
        }
        std::vector<Clock::time_point> frames;
        Clock::time_point now = t0;
        while (const auto wake = asker.NextWake(now)) {
            ASSERT_GE(*wake, now);
            now = *wake + c.late;
            for (const LingerAsker::Ask& ask : asker.Take(now)) {
                EXPECT_LT(now, until[ask.key]) << "asked after its window";
                EXPECT_EQ(ask.n, asked[ask.key].size());
                asked[ask.key].push_back(now);
                frames.push_back(now);
            }
        }
        EXPECT_EQ(asker.Size(), 0u);
        for (std::size_t i = 0, j = 0; i < frames.size(); ++i) {
            while (frames[i] - frames[j] >= 1s) {
                ++j;
            }
            ASSERT_LE(i - j + 1, 500u) << c.targets << " targets, frame " << i;
        }
        // While all of a /24 lingers the pace is used, late wakes or not.
        if (c.targets == 255 && c.window == 5000ms) {
            EXPECT_GE(std::count_if(frames.begin(), frames.end(),
                                    [&](auto at) { return at >= t0 + 1s && at < t0 + 4s; }),
                      1450)
                << c.late.count() << " us late";
        }
        // Every target gets its asks, and each gap is at least the plan's.
        if (c.window >= 2s) {
            ASSERT_EQ(asked.size(), static_cast<std::size_t>(c.targets));
        }
        for (const auto& [key, times] : asked) {
            for (std::size_t n = 1; n < times.size(); ++n) {
                EXPECT_GE(times[n] - times[n - 1],
                          LingerGap(LingerPlan{}, static_cast<std::uint32_t>(n), key * 7919));
            }
        }
        if (c.window == 5000ms) {
            EXPECT_GE(asked.begin()->second.size(), c.targets == 1 ? 8u : 5u);
        }
    }
    // A /24 at a 5 s window, 233 of its targets silent: the asks of each cover much of a dozing
    // device's cycle (awake 30 of 500 ms, or 20 of 1000 ms) at whatever phase it sleeps, where
    // evenly spread asks that drift with the pace cover far less; and they reach a device behind
    // an access point that holds broadcasts to its beacons (102.4 ms) and that wakes for one
    // beacon in 10, where asks that stay close together come before too few beacons.
    {
        LingerAsker asker;
        const Clock::time_point t0{};
        std::map<std::uint64_t, std::vector<Clock::time_point>> asked;
        for (std::uint64_t i = 0; i < 233; ++i) {
            const Clock::time_point first = t0 + std::chrono::microseconds(1370 * i);
            asked[i] = {first, first + 30ms, first + 90ms};
            asker.Add(i, first + 100ms, first + 5s, i * 7919);
        }
        Clock::time_point now = t0;
        while (const auto wake = asker.NextWake(now)) {
            now = *wake;
            for (const LingerAsker::Ask& ask : asker.Take(now)) {
                asked[ask.key].push_back(now);
            }
        }
        double reached = 0;
        for (const auto& [key, times] : asked) {
            for (int phase = 0; phase < 1024; phase += 8) {
                // The beacon after the ask is one the device wakes for.
                const auto woken = [&](Clock::time_point at) {
                    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(at - t0);
                    return ((us.count() + phase * 1000) / 102400 + 1) % 10 == 0;
                };
                if (std::any_of(times.begin(), times.end(), woken)) {
                    reached += 1.0 / 128 / static_cast<double>(asked.size());
                }
            }
        }
        EXPECT_GE(reached, 0.75);
        for (const auto& [cycle, awake, least] : {std::tuple{500, 30, 0.6}, {1000, 20, 0.24}}) {
            double covered = 0;
            for (const auto& [key, times] : asked) {
                std::vector<bool> heard(static_cast<std::size_t>(cycle));
                for (const Clock::time_point at : times) {
                    const auto ms = std::chrono::duration_cast<milliseconds>(at - t0).count();
                    for (int d = 0; d < awake; ++d) {
                        heard[static_cast<std::size_t>((ms + d) % cycle)] = true;
                    }
                }
                covered += static_cast<double>(std::count(heard.begin(), heard.end(), true)) /
                           cycle / static_cast<double>(asked.size());
            }
            EXPECT_GE(covered, least) << cycle << " ms";
        }
    }
    // A scan at a low worker limit keeps its own slower pace beside a full one.
    {
        LingerAsker asker;
        const Clock::time_point t0{};
        for (std::uint64_t key = 0; key < 20; ++key) {
            asker.Add(key, t0, t0 + 5s, key, key < 10 ? 1 : 2, key < 10 ? 10 : 500);
        }
        std::map<bool, std::vector<Clock::time_point>> byGroup;
        for (auto now = t0; now < t0 + 6s; now += 1ms) {
            for (const auto& ask : asker.Take(now)) {
                byGroup[ask.key < 10].push_back(now);
            }
        }
        const auto& slow = byGroup[true];
        for (std::size_t i = 1; i < slow.size(); ++i) {
            EXPECT_GE(slow[i] - slow[i - 1], 100ms);
        }
        EXPECT_GE(slow.size(), 40u);
        EXPECT_GT(byGroup[false].size(), slow.size());
    }
    // A target that answered is asked no more; one added again starts over.
    LingerAsker asker;
    const Clock::time_point t0{};
    asker.Add(1, t0, t0 + 5s, 1);
    asker.Add(2, t0, t0 + 5s, 2);
    asker.Remove(1);
    int asks = 0;
    for (auto now = t0; now < t0 + 6s; now += 10ms) {
        for (const auto& ask : asker.Take(now)) {
            EXPECT_EQ(ask.key, 2u);
            ++asks;
        }
    }
    EXPECT_GE(asks, 8);
}

TEST(KnownMacs, KeepsTheLatestUnicastMacPerAddressWithinItsBound) {
    KnownMacs known;
    known.Remember(kHostIp, kOurMac);
    known.Remember(kHostIp, kHostMac);                                // the device changed its MAC
    known.Remember(kHostIp + 1, MacAddress{0x01, 0, 0x5e, 0, 0, 1});  // multicast
    known.Remember(0, kHostMac);
    EXPECT_EQ(known.Find(kHostIp), kHostMac);
    EXPECT_FALSE(known.Find(kHostIp + 1));
    EXPECT_FALSE(known.Find(0));
    for (std::uint32_t i = 0; i < KnownMacs::kCapacity; ++i) {
        known.Remember(0x0A000000 + i, kHostMac);
    }
    EXPECT_EQ(known.Size(), KnownMacs::kCapacity);
    EXPECT_FALSE(known.Find(kHostIp)) << "the oldest goes first";
    EXPECT_TRUE(known.Find(0x0A000000 + KnownMacs::kCapacity - 1));
}

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

// The route request is what `ip route get` sends; the kernel's answer names the way; a target
// is asked only where the kernel sends to it directly on an interface that carries ARP.
TEST(ChooseRoute, TheKernelsWayDecidesWhereATargetIsAsked) {
    const std::vector<std::uint8_t> request = BuildRouteRequest(Ip(203, 0, 113, 7), 9);
    const std::vector<std::uint8_t> expected = {
        36, 0,  0, 0, 26,  0, 1,   0, 9, 0, 0, 0, 0, 0, 0, 0,  // length, RTM_GETROUTE, request, seq
        2,  32, 0, 0, 0,   0, 0,   0, 0, 0, 0, 0,              // AF_INET, a /32, the rest zero
        8,  0,  1, 0, 203, 0, 113, 7};                         // RTA_DST 203.0.113.7
    EXPECT_EQ(request, expected);

    const auto reply = [](std::uint8_t type, int oif, bool gateway, std::uint32_t source) {
        std::vector<std::uint8_t> bytes(NLMSG_SPACE(sizeof(rtmsg)));
        const auto add = [&](std::uint16_t kind, std::uint32_t value) {
            const rtattr attribute{static_cast<unsigned short>(RTA_LENGTH(4)), kind};
            const auto at = bytes.size();
            bytes.resize(at + RTA_SPACE(4));
            std::memcpy(bytes.data() + at, &attribute, sizeof attribute);
            std::memcpy(bytes.data() + at + RTA_LENGTH(0), &value, 4);
        };
        add(RTA_OIF, static_cast<std::uint32_t>(oif));
        add(RTA_PREFSRC, htonl(source));
        if (gateway) {
            add(RTA_GATEWAY, htonl(Ip(203, 0, 113, 254)));
        }
        nlmsghdr header{};
        header.nlmsg_len = static_cast<std::uint32_t>(bytes.size());
        header.nlmsg_type = RTM_NEWROUTE;
        rtmsg info{};
        info.rtm_family = AF_INET;
        info.rtm_type = type;
        std::memcpy(bytes.data(), &header, sizeof header);
        std::memcpy(bytes.data() + NLMSG_HDRLEN, &info, sizeof info);
        return ParseRouteReply(bytes);
    };
    const auto direct = reply(RTN_UNICAST, 2, false, Ip(203, 0, 113, 1));
    ASSERT_TRUE(direct);
    EXPECT_EQ(direct->outputIndex, 2);
    EXPECT_EQ(direct->source, Ip(203, 0, 113, 1));
    EXPECT_FALSE(direct->viaGateway);
    EXPECT_TRUE(reply(RTN_UNICAST, 2, true, Ip(203, 0, 113, 1))->viaGateway);
    EXPECT_FALSE(ParseRouteReply(std::vector<std::uint8_t>(10)));

    // An Ethernet /24 beside a NOARP /25 inside it, as the kernel routes them.
    std::vector<LinkInterface> links = {Link("eth", 2, Ip(198, 51, 100, 1), 24),
                                        Link("noarp", 3, Ip(198, 51, 100, 129), 25)};
    links[1].canArp = false;
    using enum LinkVerdict;
    const auto viaNoArp = reply(RTN_UNICAST, 3, false, Ip(198, 51, 100, 129));
    const auto viaEth = reply(RTN_UNICAST, 2, false, Ip(198, 51, 100, 1));
    EXPECT_EQ(ChooseRoute(links, Ip(198, 51, 100, 7), viaEth).verdict, OnLink);
    EXPECT_EQ(ChooseRoute(links, Ip(198, 51, 100, 200), viaNoArp).verdict, NotOnLink);
    EXPECT_EQ(ChooseRoute(links, Ip(198, 51, 100, 129), std::nullopt).link.name, "noarp");
    EXPECT_EQ(ChooseRoute(links, Ip(198, 51, 100, 129), std::nullopt).verdict, OwnAddress);
    EXPECT_EQ(
        ChooseRoute(links, Ip(198, 51, 100, 7), reply(RTN_UNICAST, 2, true, Ip(198, 51, 100, 1)))
            .verdict,
        NotOnLink);
    EXPECT_EQ(ChooseRoute(links, Ip(198, 51, 100, 255),
                          reply(RTN_BROADCAST, 2, false, Ip(198, 51, 100, 1)))
                  .verdict,
              NotOnLink);
    EXPECT_EQ(ChooseRoute(links, Ip(10, 0, 0, 1), std::nullopt).verdict, NotOnLink);
}

// Link changes from the kernel, as they come over the event socket: several messages in one
// read, other message types passed over, a message cut short ends the read.
TEST(LinkEvents, ChangesAreReadFromKernelMessages) {
    const auto message = [](std::uint16_t type, int index, unsigned flags) {
        std::vector<std::uint8_t> bytes(NLMSG_SPACE(sizeof(ifinfomsg)));
        nlmsghdr header{};
        header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
        header.nlmsg_type = type;
        ifinfomsg info{};
        info.ifi_index = index;
        info.ifi_flags = flags;
        std::memcpy(bytes.data(), &header, sizeof header);
        std::memcpy(bytes.data() + NLMSG_HDRLEN, &info, sizeof info);
        return bytes;
    };
    constexpr unsigned kUp = 0x1, kLowerUp = 0x10000;
    std::vector<std::uint8_t> buffer;
    for (const auto& part : {message(RTM_NEWLINK, 3, kUp | kLowerUp), message(RTM_NEWADDR, 3, 0),
                             message(RTM_NEWLINK, 3, kUp), message(RTM_DELLINK, 4, kUp | kLowerUp),
                             message(RTM_NEWLINK, 5, kLowerUp)}) {
        buffer.insert(buffer.end(), part.begin(), part.end());
    }
    const auto events = ParseLinkEvents(buffer);
    ASSERT_EQ(events.size(), 4U);
    const std::pair<int, bool> expected[] = {{3, true}, {3, false}, {4, false}, {5, false}};
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].index, expected[i].first) << i;
        EXPECT_EQ(events[i].Usable(), expected[i].second) << i;
    }
    EXPECT_TRUE(events[2].removed);
    buffer.resize(buffer.size() - 4);
    EXPECT_EQ(ParseLinkEvents(buffer).size(), 3U);
    EXPECT_TRUE(ParseLinkEvents({}).empty());
}

TEST(NeighbourTable, KernelMessagesAreReadAndBrokenOnesRefused) {
    const auto entry = ParseNeighbourMessage(KernelMessage(), 100);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->ifindex, 7);
    EXPECT_EQ(entry->address, 0xCB00710Au);
    EXPECT_EQ(entry->state, NUD_REACHABLE);
    EXPECT_EQ(entry->mac, kHostMac);
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
                         Clock::time_point at, MacAddress mac = kHostMac) {
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
        EXPECT_EQ(mac, c.counts ? std::optional(kHostMac) : std::nullopt) << c.what;
    }
    for (const std::uint16_t state : std::initializer_list<std::uint16_t>{
             NUD_INCOMPLETE, NUD_FAILED, NUD_PERMANENT, NUD_NOARP, NUD_NONE}) {
        EXPECT_FALSE(ConfirmedSince(none, t, seen(state, 0ms, t + 5ms), 20ms)) << state;
    }
    EXPECT_TRUE(AwaitsReprobe(seen(NUD_STALE, 60s, t).entry));
    EXPECT_FALSE(AwaitsReprobe(seen(NUD_REACHABLE, 1s, t).entry));
    EXPECT_FALSE(AwaitsReprobe(std::nullopt));
    // What the kernel confirmed within its reachable time is an answer without asking again;
    // only failed, incomplete or long-stale entries are not.
    const std::pair<NeighbourSighting, bool> recent[] = {
        {seen(NUD_REACHABLE, 20s, t), true},  {seen(NUD_STALE, 29s, t), true},
        {seen(NUD_DELAY, 5s, t), true},       {seen(NUD_PROBE, 1s, t), true},
        {seen(NUD_STALE, 31s, t), false},     {seen(NUD_STALE, std::nullopt, t), false},
        {seen(NUD_FAILED, 0ms, t), false},    {seen(NUD_INCOMPLETE, 0ms, t), false},
        {seen(NUD_PERMANENT, 0ms, t), false}, {seen(NUD_REACHABLE, 0ms, t, {}), false},
    };
    for (const auto& [sighting, counts] : recent) {
        EXPECT_EQ(RecentlyConfirmed(sighting.entry, 30s), counts) << sighting.entry->state;
    }
    EXPECT_FALSE(RecentlyConfirmed(std::nullopt, 30s));
}

}  // namespace
}  // namespace talvik::test
