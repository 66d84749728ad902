// SPDX-License-Identifier: GPL-3.0-or-later
// Figures for the engine alone, over scripted ports: what the dispatcher, the workers and the
// write-back cost, how close the pool comes to its ideal, and how fast Stop and close end a
// scan. Run: scan_bench [rounds]
//
// The ARP stand-in answers after a fixed delay, so the network does not enter the figures.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/support/EngineRig.h"

namespace talvik::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::array<std::uint8_t, 6> kMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Scan all over `targets` rows until the completion box; nan when it did not complete.
double TimeScan(int targets, int limit, std::chrono::milliseconds delay) {
    EngineRig rig(limit);
    rig.AddRange(kNet198, 0, targets - 1);
    rig.arp->SetDefault(Answers(kMac, delay));
    const auto start = Clock::now();
    rig.engine->OnScanAll();
    if (!rig.WaitForBox() || rig.pos != targets) {
        return -1;
    }
    return Ms(Clock::now() - start);
}

void Overhead(int rounds) {
    std::printf("\nEngine cost per target (answers at once, 255 targets)\n");
    std::printf("%-8s %12s %16s\n", "limit", "scan ms", "us per target");
    for (int limit : {1, 8, 64}) {
        std::vector<double> times;
        for (int i = 0; i < rounds; ++i) {
            times.push_back(TimeScan(255, limit, 0ms));
        }
        const double ms = Median(times);
        std::printf("%-8d %12.1f %16.1f\n", limit, ms, ms * 1000.0 / 255);
    }
}

void Pool(int rounds) {
    constexpr auto kDelay = 100ms;
    std::printf("\nPool against its ideal (255 targets, each answering after 100 ms)\n");
    std::printf("%-8s %12s %12s %10s\n", "limit", "scan ms", "ideal ms", "ratio");
    for (int limit : {8, 50, 64}) {
        std::vector<double> times;
        for (int i = 0; i < std::max(1, rounds / 2); ++i) {
            times.push_back(TimeScan(255, limit, kDelay));
        }
        const double ms = Median(times);
        const double ideal = ((255 + limit - 1) / limit) * static_cast<double>(kDelay.count());
        std::printf("%-8d %12.1f %12.1f %10.3f\n", limit, ms, ideal, ms / ideal);
    }
}

void Ending(int rounds) {
    std::printf("\nEnding a full pool of 64 held probes (255 targets)\n");
    std::vector<double> stops, closes;
    for (int i = 0; i < rounds; ++i) {
        {
            EngineRig rig(64);
            rig.AddRange(kNet198, 0, 254);
            rig.arp->SetDefault(Held(kMac));
            rig.engine->OnScanAll();
            rig.arp->WaitForActive(64);
            const auto start = Clock::now();
            rig.engine->OnStopScan();
            const double returned = Ms(Clock::now() - start);
            rig.arp->WaitForIdle();
            stops.push_back(std::max(returned, Ms(Clock::now() - start)));
        }
        {
            EngineRig rig(64);
            rig.AddRange(kNet198, 0, 254);
            rig.arp->SetDefault(Held(kMac));
            rig.engine->OnScanAll();
            rig.arp->WaitForActive(64);
            const auto start = Clock::now();
            rig.engine.reset();
            closes.push_back(Ms(Clock::now() - start));
        }
    }
    std::printf("%-44s %8.2f ms\n", "Stop until every probe has ended (median)", Median(stops));
    std::printf("%-44s %8.2f ms\n", "close (engine destroyed, threads gone)", Median(closes));
}

void Lookups(int rounds) {
    std::printf("\nName lookups (40 names, the resolver answering after 50 ms)\n");
    std::vector<double> times, done;
    for (int i = 0; i < std::max(1, rounds / 2); ++i) {
        EngineRig rig(64);
        for (int n = 0; n < 40; ++n) {
            rig.Add("host" + std::to_string(n) + ".test");
        }
        rig.resolver->held = true;
        const auto start = Clock::now();
        rig.engine->OnScanAll();
        const double returned = Ms(Clock::now() - start);
        std::thread releaser([&] {
            std::this_thread::sleep_for(50ms);
            rig.resolver->held = false;
        });
        rig.WaitForBox();
        done.push_back(Ms(Clock::now() - start));
        releaser.join();
        times.push_back(returned);
    }
    std::printf("%-44s %8.3f ms\n", "scan start returns after (median)", Median(times));
    std::printf("%-44s %8.1f ms\n", "scan complete after (median)", Median(done));
}

}  // namespace
}  // namespace talvik::test

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::printf("talvik engine figures, %d rounds, median shown\n", rounds);
    talvik::test::Overhead(rounds);
    talvik::test::Pool(rounds);
    talvik::test::Ending(rounds);
    talvik::test::Lookups(rounds);
    return 0;
}
