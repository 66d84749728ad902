// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "store/DeviceStore.h"
#include "store/WatchEvents.h"

namespace talvik::store {
namespace {

constexpr std::uint32_t kNet = 0xCB007100;  // 203.0.113.0
constexpr Millis kT0 = 1'800'000'000'000;
// Universal MACs end in the given byte; private ones start with 02.
std::string U(int n) {
    char text[18];
    std::snprintf(text, sizeof text, "00-1b-21-00-00-%.2x", n);
    return text;
}
std::string P(int n) {
    char text[18];
    std::snprintf(text, sizeof text, "02-7a-00-00-00-%.2x", n);
    return text;
}
Claim At(int octet, std::string mac, std::string name = {}) {
    return {kNet + static_cast<std::uint32_t>(octet), std::move(mac), std::move(name)};
}

// An event as "kind .octet mac [was mac] [private] [name]"; a note as "note many|bound mac".
std::vector<std::string> Said(const WatchOutcome& out) {
    std::vector<std::string> lines;
    for (const WatchEvent& e : out.events) {
        std::string line = std::string(WatchEventName(e.kind)) + " ." +
                           std::to_string(e.address - kNet) + " " + e.mac;
        line += e.previousMac.empty() ? "" : " was " + e.previousMac;
        line += e.isPrivate ? " private" : "";
        line += e.name.empty() ? "" : " " + e.name;
        lines.push_back(line);
    }
    for (const WatchNoteAt& n : out.notes) {
        lines.push_back(std::string("note ") + (n.note == WatchNote::Bound ? "bound " : "many ") +
                        n.mac);
    }
    return lines;
}

struct Step {
    char what;  // 'b' baseline scan, 's' scan, 'h' heard (each claim one frame)
    int second;
    std::vector<Claim> claims;
    std::vector<std::string> said;
};

struct Sequence {
    const char* name;
    std::vector<Step> steps;
    std::size_t maxDevices = 4096;
};

TEST(WatchRules, SequencesOfFramesAndScans) {
    std::vector<Claim> proxied;  // the gateway's router answering for .20 to .69
    for (int i = 20; i < 70; ++i) {
        proxied.push_back(At(i, U(1)));
    }
    std::vector<Claim> held = {At(1, U(1))};  // the router, and .20 to .69 each its own host
    for (int i = 20; i < 70; ++i) {
        held.push_back(At(i, U(i)));
    }
    const Sequence sequences[] = {
        {"new, gone after two silent scans, back",
         {{'b', 0, {At(10, U(10)), At(11, U(11))}, {}},
          {'h', 5, {At(12, U(12))}, {"new .12 " + U(12)}},
          {'s', 60, {At(10, U(10)), At(11, ""), At(12, U(12))}, {}},
          {'s', 120, {At(10, U(10)), At(11, ""), At(12, U(12))}, {"gone .11 " + U(11)}},
          {'s', 180, {At(10, U(10)), At(11, ""), At(12, U(12))}, {}},
          {'h', 200, {At(11, U(11))}, {"back .11 " + U(11)}},
          {'h', 201, {At(11, U(11))}, {}}}},
        {"a frame between two silent scans keeps it",
         {{'b', 0, {At(10, U(10))}, {}},
          {'s', 60, {At(10, "")}, {}},
          {'h', 90, {At(10, U(10))}, {}},
          {'s', 120, {At(10, "")}, {}},
          {'s', 180, {At(10, "")}, {"gone .10 " + U(10)}}}},
        {"nothing before the baseline, quiet learning",
         {{'h', 0, {At(30, U(30))}, {}},
          {'b', 1, {At(10, U(10))}, {}},
          {'h', 2, {At(30, U(30)), At(10, U(10))}, {}}}},
        {"changed MAC, and an address whose holder left is new",
         {{'b', 0, {At(10, U(10)), At(11, U(11))}, {}},
          {'h', 60, {At(10, U(40))}, {"mac-changed .10 " + U(40) + " was " + U(10)}},
          {'s', 120, {At(10, U(40)), At(11, "")}, {}},
          {'s', 180, {At(10, U(40)), At(11, "")}, {"gone .11 " + U(11)}},
          {'h', 190, {At(11, U(41))}, {"new .11 " + U(41) + " was " + U(11)}}}},
        {"two MACs at once: one conflict, said once",
         {{'b', 0, {At(10, U(10))}, {}},
          {'h', 30, {At(10, U(10))}, {}},
          {'h', 31, {At(10, U(50))}, {"conflict .10 " + U(50) + " was " + U(10)}},
          {'h', 32, {At(10, U(10)), At(10, U(50)), At(10, U(10))}, {}},
          {'s',
           40,
           {At(11, U(11)), At(11, U(51))},
           {"new .11 " + U(11), "conflict .11 " + U(51) + " was " + U(11)}}}},
        {"the gateway claimed by another MAC, once per claimant",
         {{'b', 0, {At(1, U(1)), At(10, U(10))}, {}},
          {'h', 10, {At(1, U(66))}, {"gateway-changed .1 " + U(66) + " was " + U(1)}},
          {'h', 11, {At(1, U(66)), At(1, U(1)), At(1, U(66))}, {}},
          {'h', 12, {At(1, U(10))}, {"gateway-changed .1 " + U(10) + " was " + U(1)}}}},
        {"the router answering for fifty addresses",
         {{'b', 0, held, {}},
          {'h', 60, {At(1, U(1))}, {}},
          {'h', 61, proxied, {"note many " + U(1)}},
          {'s', 120, proxied, {}},
          {'s', 180, proxied, {}}}},
        {"another MAC answering for many: recognised after its second address",
         {{'b', 0, held, {}},
          {'h',
           60,
           {At(20, U(99)), At(21, U(99))},
           {"mac-changed .20 " + U(99) + " was " + U(20),
            "mac-changed .21 " + U(99) + " was " + U(21)}},
          {'h', 61, {At(22, U(99)), At(23, U(99)), At(24, U(99))}, {"note many " + U(99)}}}},
        {"private MACs: the same name answering is a changed MAC",
         {{'b', 0, {At(30, P(1), "phone"), At(31, P(2), "tablet")}, {}},
          {'h',
           60,
           {At(40, P(3), "phone")},
           {"mac-changed .40 " + P(3) + " was " + P(1) + " private phone"}},
          {'h',
           90,
           {At(31, P(4), "tablet")},
           {"mac-changed .31 " + P(4) + " was " + P(2) + " private tablet"}},
          {'h', 95, {At(41, P(5), "laptop")}, {"new .41 " + P(5) + " private laptop"}},
          {'h', 96, {At(42, U(5), "phone")}, {"new .42 " + U(5) + " phone"}}}},
        {"frames from outside the network or from no address",
         {{'b', 0, {At(10, U(10))}, {}},
          {'h',
           1,
           {Claim{0, U(20), ""}, Claim{0xC6336401, U(21), ""}, At(0, U(22)), At(255, U(23)),
            At(12, "not a mac")},
           {}}}},
    };
    for (const Sequence& sequence : sequences) {
        SCOPED_TRACE(sequence.name);
        WatchState state({kNet, 24, kNet + 1, "", sequence.maxDevices});
        for (std::size_t i = 0; i < sequence.steps.size(); ++i) {
            const Step& step = sequence.steps[i];
            SCOPED_TRACE(i);
            const Millis when = kT0 + step.second * 1000;
            std::vector<std::string> said;
            if (step.what == 'h') {
                for (const Claim& claim : step.claims) {
                    auto lines = Said(state.Heard(claim, when));
                    said.insert(said.end(), lines.begin(), lines.end());
                }
            } else if (step.what == 'b') {
                state.Baseline(step.claims, when);
            } else {
                said = Said(state.Scanned(step.claims, when));
            }
            EXPECT_EQ(said, step.said);
        }
    }
}

TEST(WatchRules, AFloodPastTheBoundKeepsTheRealHostsAndTheirChanges) {
    WatchState state({kNet, 24, kNet + 1, "", 8});
    const std::vector<Claim> real = {At(10, U(10)), At(11, U(11))};
    state.Baseline(real, kT0);
    std::vector<std::string> said;
    for (int i = 0; i < 2000; ++i) {
        const auto lines = Said(state.Heard(At(100 + i % 100, P(0x80 + i % 100)), kT0 + i));
        said.insert(said.end(), lines.begin(), lines.end());
        ASSERT_LE(state.DeviceCount(), 8u);
    }
    EXPECT_EQ(std::count(said.begin(), said.end(), "note bound " + P(0x86)), 1);
    EXPECT_EQ(std::count_if(said.begin(), said.end(),
                            [](const std::string& s) { return s.starts_with("note"); }),
              1);
    EXPECT_EQ(Said(state.Heard(At(10, U(77)), kT0 + 60000)),
              std::vector<std::string>{"mac-changed .10 " + U(77) + " was " + U(10)});
    EXPECT_EQ(Said(state.Heard(At(11, U(11)), kT0 + 60001)), std::vector<std::string>{});
}

TEST(WatchRules, BaselineFromTheStore) {
    WatchState state({kNet, 24, kNet + 1, "00-1b-21-00-00-01"});
    std::vector<Device> known = {{U(10), kNet + 10, "", "nas", "我的NAS", 0, 0, true, true},
                                 {U(11), kNet + 11, "", "printer", "", 0, 0, false, true}};
    state.Baseline(known, kT0);
    EXPECT_EQ(Said(state.Heard(At(10, U(10)), kT0 + 1000)), std::vector<std::string>{});
    EXPECT_EQ(Said(state.Heard(At(11, U(11)), kT0 + 2000)),
              std::vector<std::string>{"back .11 " + U(11) + " printer"});
    EXPECT_EQ(Said(state.Heard(At(1, U(12)), kT0 + 3000)),
              std::vector<std::string>{"gateway-changed .1 " + U(12) + " was " + U(1)});
    EXPECT_EQ(Said(state.Heard(At(10, U(13)), kT0 + 60000)),
              std::vector<std::string>{"mac-changed .10 " + U(13) + " was " + U(10)});
}

TEST(WatchStore, HeardClaimsMoveDevicesAndEventsAreKeptBounded) {
    char folder[] = "/tmp/talvik-watch-store-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    auto opened = DeviceStore::Create(std::string(folder) + "/devices.sqlite3");
    ASSERT_TRUE(opened.store) << DescribeProblem(opened.status);
    auto& store = opened.store;
    const NetworkId home{"203.0.113.0/24", "00-1b-21-00-00-01"};
    const NetworkId other{"203.0.113.0/24", "00-1b-21-00-00-99"};
    constexpr Seconds kT = 1'800'000'000;
    const auto At = [](int octet) { return kNet + static_cast<std::uint32_t>(octet); };
    const ScanRow rows[] = {{At(10), U(10), "", "nas"}, {At(11), "", "", ""}};
    ASSERT_TRUE(store->RecordScan(home, rows, kT).status.Ok());
    const DeviceStore::HeardClaim heard[] = {
        {At(12), U(10), kT + 5}, {At(11), U(11), kT + 6}, {At(13), U(10), kT + 1}};
    std::vector<DeviceStore::KeptEvent> events;
    for (int i = 0; i < DeviceStore::kKeepEvents + 5; ++i) {
        events.push_back({kT + i, "new", At(11), U(11), ""});
    }
    events.back() = {kT + DeviceStore::kKeepEvents + 9, "mac-changed", At(12), U(10), U(3)};
    ASSERT_TRUE(store->RecordWatch(home, heard, events).Ok());

    const NetworkDevices known = store->Devices(home);
    ASSERT_TRUE(known.status.Ok());
    ASSERT_EQ(known.devices.size(), 2U);
    for (const Device& device : known.devices) {
        if (device.mac == U(10)) {
            // The later claim wins, whatever order they came in; the name stays.
            EXPECT_EQ(device.address, At(12));
            EXPECT_EQ(device.lastSeen, kT + 5);
            EXPECT_EQ(device.hostName, "nas");
        } else {
            EXPECT_EQ(device.mac, U(11));
            EXPECT_EQ(device.firstSeen, kT + 6);
        }
    }
    const auto kept = store->WatchEvents(home, DeviceStore::kKeepEvents * 2);
    ASSERT_EQ(kept.size(), static_cast<std::size_t>(DeviceStore::kKeepEvents));
    EXPECT_EQ(kept.front(), events.back());
    EXPECT_EQ(kept.back().when, kT + 5);
    EXPECT_TRUE(store->WatchEvents(other, 10).empty());
    // A scan after it sees what the watch heard: .11 answered with U(11) last.
    const ScanRow again[] = {{At(11), "", "", ""}};
    const auto write = store->Compare(home, again, kT + 60);
    ASSERT_EQ(write.changes.size(), 1U);
    ASSERT_TRUE(write.changes[0].lastOnline);
    EXPECT_EQ(write.changes[0].lastOnline->mac, U(11));
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace talvik::store
