// SPDX-License-Identifier: GPL-3.0-or-later
// Large runs: the pace in virtual time, the repeat rule as a table, and the sweep over a segment
// that answers as ARP does (RFC 826: a who-has for a live host's address brings a reply from that
// host's MAC to the asker), with loss, late and dozing hosts.

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#include "scan/Sweep.h"
#include "scan/SweepPace.h"
#include "scan/SweepRepeats.h"

namespace talvik::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Mac = std::array<std::uint8_t, 6>;

// The most frames any window of one second (or `span`) holds.
std::size_t BusiestSecond(std::vector<std::chrono::nanoseconds> times,
                          std::chrono::nanoseconds span = std::chrono::seconds(1)) {
    std::sort(times.begin(), times.end());
    std::size_t most = 0;
    for (std::size_t first = 0, last = 0; first < times.size(); ++first) {
        while (last < times.size() && times[last] < times[first] + span) {
            ++last;
        }
        most = std::max(most, last - first);
    }
    return most;
}

TEST(FramePace, NoSecondAboveTheRateAndTheRateUsedWhateverTheSenderSleeps) {
    for (const int rate : {1, 7, 100, 500, 2000}) {
        for (const int seed : {1, 2}) {
            FramePace pace(rate);
            std::mt19937 random(seed);
            std::uniform_int_distribution<int> late(0, 3000);  // wake-ups up to 3 ms late
            std::vector<std::chrono::nanoseconds> sent;
            std::chrono::nanoseconds now{0};
            // First asks, then a pause while answers are awaited, then repeats and probes.
            const int frames = std::max(rate * 6, 20);
            for (int i = 0; i < frames; ++i) {
                if (i == frames / 2) {
                    now += 700ms;
                }
                // A sender that has to sleep wakes late; one that need not sends at once.
                if (const auto next = pace.Next(now); next > now) {
                    now = next + std::chrono::microseconds(late(random));
                }
                ASSERT_GE(now, pace.Next(now));
                pace.Sent(now);
                sent.push_back(now);
                now += 20us;  // the send itself
            }
            // Also where the link delivers some frames a few milliseconds late.
            EXPECT_LE(BusiestSecond(sent, 1004ms), static_cast<std::size_t>(rate)) << rate;
            // Not far under it either: the busy halves run within a frame a second of the rate.
            const auto busy = sent[frames / 2 - 1] - sent.front();
            const double used = (frames / 2 - 1) / std::chrono::duration<double>(busy).count();
            EXPECT_GE(used, 0.95 * std::max(rate - 1, 1)) << rate << " seed " << seed;
        }
    }
    // A sender whose timer wakes a fraction of a millisecond late, as most do, keeps the rate
    // within a frame or so a second, not a few.
    FramePace pace(500);
    std::chrono::nanoseconds now{0};
    for (int i = 0; i < 5000; ++i) {
        now = std::max(now, pace.Next(now) + 300us);
        pace.Sent(now);
    }
    EXPECT_LE(now, 10100ms);
}

TEST(SweepRepeats, LossSeenGivesRepeats) {
    // Probes lost of asked; found and asked in the neighbourhood; found and asked in the run;
    // how many asks a silent address there gets.
    struct Row {
        std::uint32_t probes, lost, found, asked, runFound, runAsked;
        int asks;
    };
    for (const auto& row : {
             Row{64, 0, 50, 254, 600, 65534, 1},  // clean wire, busy /24
             Row{64, 0, 0, 254, 600, 65534, 1},   // clean wire, empty /24
             Row{20, 0, 200, 254, 200, 254, 3},   // few probes, all back: a full /24 is worth it
             Row{64, 12, 40, 254, 160, 4094, 3},  // 10 % each way, busy /24
             Row{64, 12, 0, 254, 160, 4094, 2},   // 10 % each way, empty /24: a lone host
             Row{20, 4, 0, 254, 5, 4094, 2},      // five lone hosts probed four times each
             Row{20, 1, 0, 254, 5, 4094, 1},      // one lost of 20 tells nothing yet
             Row{64, 2, 0, 254, 600, 65534, 1},   // two lost of 64: a busy host, not the wire
             Row{64, 3, 50, 254, 600, 65534, 2},  // 5 % lost, busy /24
             Row{64, 32, 40, 254, 160, 4094, 6},  // half lost: as many asks as are allowed
             Row{0, 0, 0, 254, 0, 4094, 1},       // nothing answered: nothing to repeat
         }) {
        const LossProbes probes{row.probes, row.probes - row.lost};
        const double density =
            NeighbourhoodDensity(row.found, row.asked, row.runFound, row.runAsked);
        int asks = 1;
        while (AskAgain(probes, density, asks)) {
            ++asks;
        }
        EXPECT_EQ(asks, row.asks) << row.probes << "/" << row.lost << " " << row.found;
    }
}

// One Ethernet segment as an ARP asker sees it.
class FakeSegment final : public IArpWire {
public:
    struct Host {
        Mac mac{};
        std::chrono::milliseconds delay{0};
        bool dozing = false;  // hears broadcasts never, frames to its MAC always
    };
    // `from`: the address requests are told from where the interface has more than `own`.
    FakeSegment(std::uint32_t own, double lossEachWay, int seed, std::uint32_t from = 0)
        : own_(own), from_(from != 0 ? from : own), loss_(lossEachWay), random_(seed) {}
    void Add(std::uint32_t address, Host host) { hosts_.emplace(address, host); }
    void FailAsksAfter(std::size_t asks, int error) { failAfter_ = asks, askError_ = error; }
    void FailHearAfter(std::size_t asks, int error) { hearAfter_ = asks, hearError_ = error; }

    std::string Interface() const override { return "lab0"; }
    std::uint32_t OwnAddress() const override { return own_; }
    Mac OwnMac() const override { return {2, 0x54, 0x56, 0, 0, 1}; }
    int Ask(std::uint32_t target, const Mac* to) override {
        const std::lock_guard lock(mutex_);
        if (asks_.size() >= failAfter_) {
            return askError_;
        }
        const auto now = Clock::now();
        asks_.push_back({now, target, to != nullptr});
        askThreads_.insert(std::this_thread::get_id());
        const auto [first, last] = hosts_.equal_range(target);
        for (auto host = first; host != last; ++host) {
            const bool hears = to != nullptr ? *to == host->second.mac : !host->second.dozing;
            if (!hears || Dropped() || Dropped()) {
                continue;
            }
            // The reply goes to the address and MAC the request came from.
            const auto& mac = host->second.mac;
            pending_.push_back({now + host->second.delay, 2, mac, mac, target, OwnMac(), from_});
        }
        ready_.notify_all();
        return 0;
    }
    int Hear(std::vector<HeardArp>& frames, std::chrono::milliseconds timeout) override {
        std::unique_lock lock(mutex_);
        const auto until = Clock::now() + timeout;
        for (;;) {
            if (asks_.size() >= hearAfter_) {
                return hearError_;
            }
            const auto now = Clock::now();
            const auto due = std::partition(pending_.begin(), pending_.end(),
                                            [&](const HeardArp& f) { return f.when > now; });
            frames.insert(frames.end(), due, pending_.end());
            pending_.erase(due, pending_.end());
            if (!frames.empty() || now >= until || woken_) {
                woken_ = false;
                return 0;
            }
            auto next = until;
            for (const auto& frame : pending_) {
                next = std::min(next, frame.when);
            }
            ready_.wait_until(lock, next);
        }
    }
    void Wake() override {
        const std::lock_guard lock(mutex_);
        woken_ = true;
        ready_.notify_all();
    }

    struct Asked {
        Clock::time_point when;
        std::uint32_t target;
        bool unicast;
    };
    std::vector<Asked> Asks() {
        const std::lock_guard lock(mutex_);
        return asks_;
    }
    std::size_t AskThreads() {
        const std::lock_guard lock(mutex_);
        return askThreads_.size();
    }

private:
    bool Dropped() { return std::uniform_real_distribution<>(0, 1)(random_) < loss_; }

    std::uint32_t own_, from_;
    double loss_;
    std::mt19937 random_;
    std::multimap<std::uint32_t, Host> hosts_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<HeardArp> pending_;
    std::vector<Asked> asks_;
    std::set<std::thread::id> askThreads_;
    std::size_t failAfter_ = SIZE_MAX, hearAfter_ = SIZE_MAX;
    int askError_ = 0, hearError_ = 0;
    bool woken_ = false;
};

Mac HostMac(std::uint32_t address, std::uint8_t tag = 0) {
    return {0x02,
            0x10,
            tag,
            static_cast<std::uint8_t>(address >> 16),
            static_cast<std::uint8_t>(address >> 8),
            static_cast<std::uint8_t>(address)};
}

// A prefix's targets, row i for address first + i.
std::vector<SweepTarget> Targets(std::uint32_t first, std::uint32_t count) {
    std::vector<SweepTarget> targets;
    for (std::uint32_t i = 0; i < count; ++i) {
        targets.push_back({first + i, i});
    }
    return targets;
}

struct Seen {
    std::mutex mutex;
    std::map<std::size_t, std::vector<Mac>> answered;
    std::map<std::size_t, NotAskedReason> notAsked;
    std::size_t progressCalls = 0;
    SweepEvents Events() {
        return {[this](std::size_t row, const Mac& mac) {
                    const std::lock_guard lock(mutex);
                    answered[row].push_back(mac);
                },
                [this](std::size_t row, NotAskedReason why) {
                    const std::lock_guard lock(mutex);
                    notAsked.emplace(row, why);
                },
                [this](std::size_t, std::size_t, std::chrono::milliseconds) {
                    const std::lock_guard lock(mutex);
                    ++progressCalls;
                }};
    }
};

std::size_t BusiestSecond(const std::vector<FakeSegment::Asked>& asks) {
    std::vector<std::chrono::nanoseconds> times;
    for (const auto& ask : asks) {
        times.push_back(ask.when.time_since_epoch());
    }
    return BusiestSecond(times);
}

std::size_t Threads() {
    std::size_t count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        closedir(dir);
    }
    return count;
}

// The most threads the process ran while it lived, sampled every 5 ms.
class PeakThreads final {
public:
    explicit PeakThreads(std::size_t& peak)
        : sampler_([&peak](std::stop_token stop) {
              while (!stop.stop_requested()) {
                  peak = std::max(peak, Threads());
                  std::this_thread::sleep_for(5ms);
              }
          }) {}

private:
    std::jthread sampler_;
};

constexpr std::uint32_t kNet = 0xC6120000u;  // 198.18.0.0

TEST(RunSweep, AClean20OnOnePassWithLateConflictingAndDozingHostsAllFound) {
    // The interface's first address is another subnet's, as where one link carries two.
    FakeSegment wire(0xCB007101u, 0.0, 1, kNet + 0x0F01);
    std::set<std::size_t> live;
    // 100 hosts in three /24s, ten of them 300 ms late; one address claimed twice.
    for (std::uint32_t i = 0; i < 100; ++i) {
        const std::uint32_t row = (i % 3) * 256 + 10 + i;
        wire.Add(kNet + 1 + row, {HostMac(kNet + 1 + row), i < 10 ? 300ms : 0ms, false});
        live.insert(row);
    }
    wire.Add(kNet + 1 + 12, {HostMac(kNet + 1 + 12, 8), 0ms, false});
    wire.Add(kNet + 1 + 12, {HostMac(kNet + 1 + 12, 9), 0ms, false});
    live.insert(12);
    const std::uint32_t dozing = 3000;  // heard only by its MAC, as the store knows it
    wire.Add(kNet + 1 + dozing, {HostMac(kNet + 1 + dozing), 0ms, true});
    live.insert(dozing);
    SweepLink link{
        &wire, Targets(kNet + 1, 4094), {{kNet + 1 + dozing, HostMac(kNet + 1 + dozing)}}};
    Seen seen;
    std::size_t threadsSmall = 0, threadsLarge = 0;
    {
        FakeSegment small(kNet + 0x0F01, 0.0, 1);
        SweepLink one{&small, Targets(kNet + 1, 254), {}};
        PeakThreads peak(threadsSmall);
        RunSweep({&one, 1}, {8000, 100ms}, {}, {});
    }
    {
        PeakThreads peak(threadsLarge);
        RunSweep({&link, 1}, {8000, 500ms}, seen.Events(), {});
    }

    std::set<std::size_t> found;
    for (const auto& [row, macs] : seen.answered) {
        found.insert(row);
    }
    EXPECT_EQ(found, live);
    EXPECT_EQ(seen.answered[12].size(), 2u);
    EXPECT_TRUE(seen.notAsked.empty());
    EXPECT_GT(seen.progressCalls, 0u);
    const auto asks = wire.Asks();
    EXPECT_LE(BusiestSecond(asks), 8000u);
    // One pass: every address once, plus the dozing device by its MAC and a few probes.
    std::map<std::uint32_t, int> broadcasts;
    for (const auto& ask : asks) {
        broadcasts[ask.target] += ask.unicast ? 0 : 1;
    }
    EXPECT_EQ(broadcasts.size(), 4094u);
    EXPECT_LE(asks.size(), 4094u + 1 + 64);
    for (const auto& [target, count] : broadcasts) {
        EXPECT_LE(count, 1) << target - kNet;
    }
    EXPECT_EQ(wire.AskThreads(), 1u);
    EXPECT_EQ(threadsLarge, threadsSmall);  // a /20 costs the threads of a /24
}

// Sanitizers keep shadow memory beside every byte: a peak says nothing there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kPlainBuild = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kPlainBuild = false;
#else
constexpr bool kPlainBuild = true;
#endif
#else
constexpr bool kPlainBuild = true;
#endif

// The process's peak resident memory so far, in kB.
long PeakKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

TEST(RunSweep, ASixteenWithAThousandHostsCostsAFewBytesATarget) {
    FakeSegment wire(kNet + 0xFFFE, 0.0, 3);
    for (std::uint32_t i = 0; i < 1000; ++i) {
        const std::uint32_t address = kNet + (i % 40) * 1531 + 1 + i / 40;
        wire.Add(address, {HostMac(address), 0ms, false});
    }
    SweepLink link{&wire, Targets(kNet + 1, 65534), {}};
    std::size_t found = 0;
    const long before = PeakKb();
    RunSweep({&link, 1}, {200000, 50ms}, {[&](std::size_t, const Mac&) { ++found; }, {}, {}}, {});
    EXPECT_EQ(found, 1000u);
    // The targets themselves (16 bytes each) and the fake's log of asks (32 each) aside, a few
    // bytes a target: well under the 64 MB a /16 may cost.
    if (kPlainBuild) {
        EXPECT_LT(PeakKb() - before, 8 * 1024);
    }
}

TEST(RunSweep, ALossyLinkAsksEverySilentAddressTwiceAndBusyNeighbourhoodsMore) {
    FakeSegment wire(kNet + 0x0F01, 0.1, 7);
    std::uint32_t live = 0;
    // 160 hosts in four busy /24s of a /20, and a lone host in each of four otherwise empty ones.
    const std::set<std::uint32_t> busy{1, 5, 6, 12};
    for (std::uint32_t block : busy) {
        for (std::uint32_t i = 0; i < 40; ++i, ++live) {
            const std::uint32_t address = kNet + block * 256 + 3 + i * 6;
            wire.Add(address, {HostMac(address), 0ms, false});
        }
    }
    for (std::uint32_t block : {2u, 8u, 10u, 14u}) {
        wire.Add(kNet + block * 256 + 77, {HostMac(kNet + block * 256 + 77), 0ms, false});
        ++live;
    }
    SweepLink link{&wire, Targets(kNet + 1, 4094), {}};
    Seen seen;
    RunSweep({&link, 1}, {10000, 20ms}, seen.Events(), {});
    // Two asks of everything leave 3.6 % of the hosts unfound (0.19 squared), 5.9 here.
    EXPECT_GE(seen.answered.size(), live - 12);
    // No louder than two asks of every address, the probes aside.
    EXPECT_LE(wire.Asks().size(), 2u * 4094 + 64);
    std::map<std::uint32_t, int> broadcasts;
    std::size_t probes = 0;
    for (const auto& ask : wire.Asks()) {
        broadcasts[ask.target] += ask.unicast ? 0 : 1;
        probes += ask.unicast ? 1 : 0;
    }
    // The probes went during the long first pass, and the first ones lost ended them.
    EXPECT_LE(probes, 16u);
    for (std::uint32_t row = 0; row < 4094; ++row) {
        if (seen.answered.contains(row)) {
            continue;
        }
        // A lone host anywhere is missed only where both of two asks are lost; a third, where
        // the bound leaves room for one, goes only where hosts gather.
        const int most = busy.contains((row + 1) / 256) ? 3 : 2;
        EXPECT_GE(broadcasts[kNet + 1 + row], 2) << row;
        EXPECT_LE(broadcasts[kNet + 1 + row], most) << row;
    }
}

TEST(RunSweep, FramesThatCannotLeaveOrBeHeardMakeRowsNotAskedNeverSilent) {
    for (const auto& [failAsk, error, why] : {std::tuple{true, ENETDOWN, NotAskedReason::LinkDown},
                                              {true, EPERM, NotAskedReason::Refused},
                                              {false, EPIPE, NotAskedReason::HelperLost},
                                              {false, ENODEV, NotAskedReason::LinkDown}}) {
        FakeSegment wire(kNet + 1, 0.0, 1);
        wire.Add(kNet + 2, {HostMac(kNet + 2), 0ms, false});
        (failAsk ? wire.FailAsksAfter(300, error) : wire.FailHearAfter(300, error));
        SweepLink link{&wire, Targets(kNet + 2, 1000), {}};
        Seen seen;
        const auto started = Clock::now();
        RunSweep({&link, 1}, {5000, 200ms}, seen.Events(), {});
        EXPECT_LT(Clock::now() - started, 2s);
        EXPECT_EQ(seen.answered.size(), 1u) << error;
        std::set<std::uint32_t> asked;
        for (const auto& ask : wire.Asks()) {
            asked.insert(ask.target);
        }
        // What left before a send failed was asked; before hearing failed, it had no time.
        for (std::uint32_t row = 0; row < 1000; ++row) {
            const bool told = seen.answered.count(row) + seen.notAsked.count(row) == 1;
            EXPECT_TRUE(told || (failAsk && asked.count(kNet + 2 + row) == 1)) << row;
        }
        EXPECT_GE(seen.notAsked.size(), 600u) << error;
        for (const auto& [row, reason] : seen.notAsked) {
            EXPECT_EQ(reason, why) << error;
        }
    }
}

TEST(RunSweep, TwoLinksEachAtItsOwnPaceAndAStopEndsBothPromptly) {
    FakeSegment first(kNet + 1, 0.0, 1), second(kNet + 0x10001, 0.0, 2);
    first.Add(kNet + 7, {HostMac(kNet + 7), 0ms, false});
    second.Add(kNet + 0x10007, {HostMac(kNet + 0x10007), 0ms, false});
    std::vector<SweepLink> links{{&first, Targets(kNet + 2, 1022), {}},
                                 {&second, Targets(kNet + 0x10002, 1022), {}}};
    for (auto& target : links[1].targets) {
        target.row += 1022;
    }
    Seen seen;
    const auto started = Clock::now();
    RunSweep(links, {1000, 200ms}, seen.Events(), {});
    const auto took = Clock::now() - started;
    EXPECT_EQ(seen.answered.size(), 2u);
    EXPECT_LT(took, 2000ms);  // side by side: one link's time (1.3 s), not two
    EXPECT_LE(BusiestSecond(first.Asks()), 1000u);
    EXPECT_LE(BusiestSecond(second.Asks()), 1000u);

    std::stop_source stop;
    std::jthread stopper([&] {
        std::this_thread::sleep_for(300ms);
        stop.request_stop();
    });
    const auto stopped = Clock::now();
    RunSweep(links, {100, 200ms}, seen.Events(), stop.get_token());
    EXPECT_LT(Clock::now() - stopped, 600ms);
}

}  // namespace
}  // namespace talvik::test
