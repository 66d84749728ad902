// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "names/HostNames.h"

namespace talvik::test {
namespace {

using Names = std::map<std::uint32_t, std::string>;

// Names from a table; while shut, every lookup waits to be opened (or stopped).
class ScriptedNames final : public IHostNames {
public:
    ScriptedNames(Names names, bool shut = false) : names_(std::move(names)), shut_(shut) {}

    std::optional<std::string> NameOf(std::uint32_t address, std::stop_token stop) override {
        std::unique_lock lock(mutex);
        asked.push_back(address);
        mostBusy = std::max(mostBusy, ++busy);
        changed.notify_all();
        changed.wait(lock, stop, [this] { return !shut_; });
        --busy;
        const auto it = names_.find(address);
        return it == names_.end() ? std::nullopt : std::optional(it->second);
    }
    void Open() {
        const std::lock_guard lock(mutex);
        shut_ = false;
        changed.notify_all();
    }
    void WaitUntilBusy(int count) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return busy == count; });
    }

    std::mutex mutex;
    std::condition_variable_any changed;
    std::vector<std::uint32_t> asked;
    int busy = 0;
    int mostBusy = 0;

private:
    Names names_;
    bool shut_;
};

TEST(HostNames, TheFirstSourceWithANameWins) {
    auto reverse = std::make_shared<ScriptedNames>(Names{{1, "one.example"}});
    auto multicast = std::make_shared<ScriptedNames>(Names{{1, "one.local"}, {2, "two.local"}});
    FirstHostName names({reverse, multicast});
    EXPECT_EQ(names.NameOf(1, {}), "one.example");
    EXPECT_EQ(names.NameOf(2, {}), "two.local");
    EXPECT_EQ(names.NameOf(3, {}), std::nullopt);
    EXPECT_EQ(multicast->asked, (std::vector<std::uint32_t>{2, 3}));
    // Only the hosts file is asked: no query leaves the machine.
    EXPECT_EQ(ReverseLookupNames().NameOf(0x7f000001, {}), "localhost");
}

// What a host calls itself must not forge tooltip lines or reorder them.
TEST(HostNames, NamesFromTheNetworkCannotBreakOrReorderLines) {
    const std::string longest(253, 'a');
    const struct {
        std::string name;
        std::optional<std::string> shown;
    } cases[] = {
        {"printer.local", "printer.local"},
        {"打印机.local", "打印机.local"},
        {"evil\u2028厂商：Apple, Inc.", "evil 厂商：Apple, Inc."},
        {"evil\u2029x", "evil x"},
        {"evil\u0085x", "evil x"},  // NEL
        {"evil\n\r\tx\x7f", "evil   x "},
        {"\u202Egnp.exe", "gnp.exe"},
        {"a\u202A\u202B\u202C\u202Db\u2066\u2067\u2068\u2069c\u200E\u200F\u061Cd", "abcd"},
        {"bad\xff\xc0\x80utf8\xe6\x89", "badutf8"},  // stray, overlong and cut sequences
        {"\u2028\u202E", std::nullopt},
        {"", std::nullopt},
        {longest + "b", longest},
        {std::string(252, 'a') + "机", std::string(252, 'a')},  // never half a character
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SafeHostName(c.name), c.shown) << c.name;
    }
    auto forged = std::make_shared<ScriptedNames>(Names{{1, "\u202E"}, {2, "x\u2028y"}});
    auto next = std::make_shared<ScriptedNames>(Names{{1, "one.local"}});
    FirstHostName names({forged, next});
    EXPECT_EQ(names.NameOf(1, {}), "one.local");
    EXPECT_EQ(names.NameOf(2, {}), "x y");
}

// A source that keeps silent (Avahi for a host without mDNS waits out its whole timeout) must
// not use up the time of the ones after it: the next is asked beside it, and after the chain's
// patience the name found so far is taken. A preferred source that answers in time still wins.
TEST(HostNames, SlowSourcesDoNotAddUp) {
    using namespace std::chrono_literals;
    auto silent = std::make_shared<ScriptedNames>(Names{{2, "two.local"}}, true);
    auto netbios = std::make_shared<ScriptedNames>(Names{{1, "TALVIKNB"}, {2, "TWO"}});
    // Opens the silent source in any case, so that a chain that waits for it fails, not hangs.
    std::jthread opener([silent](std::stop_token stop) {
        for (int i = 0; i < 300 && !stop.stop_requested(); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        silent->Open();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FirstHostName({silent, netbios}).NameOf(1, {}), "TALVIKNB");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    opener.request_stop();
    opener.join();
    EXPECT_EQ(FirstHostName({silent, netbios}, 0ms).NameOf(2, {}), "two.local");
}

TEST(HostNames, LookupsRunAFewAtATimeAndReportEachAddressOnce) {
    struct {
        std::mutex mutex;
        std::condition_variable changed;
    } reports;
    Names got;
    auto names = std::make_shared<ScriptedNames>(Names{{2, "two"}, {5, "five"}}, true);
    HostNameLookups lookups(names, 2, [&](std::uint32_t address, std::optional<std::string> name) {
        const std::lock_guard lock(reports.mutex);
        got.emplace(address, name.value_or("-"));
        reports.changed.notify_all();
    });
    for (const std::uint32_t address : {1, 2, 3, 3, 4, 5, 5}) {
        lookups.Ask(address);
    }
    names->WaitUntilBusy(2);
    names->Open();
    std::unique_lock lock(reports.mutex);
    reports.changed.wait(lock, [&] { return got.size() == 5; });
    EXPECT_EQ(got, (Names{{1, "-"}, {2, "two"}, {3, "-"}, {4, "-"}, {5, "five"}}));
    EXPECT_EQ(names->mostBusy, 2);
    EXPECT_EQ(names->asked.size(), 5u);
}

TEST(HostNames, CancelAndDestructionDropWaitingLookups) {
    auto names = std::make_shared<ScriptedNames>(Names{}, true);
    int reported = 0;
    {
        HostNameLookups lookups(names, 1, [&](auto, auto) { ++reported; });
        lookups.Ask(1);
        names->WaitUntilBusy(1);
        lookups.Ask(2);
        lookups.Cancel();
        lookups.Ask(3);
    }  // stops the running lookup and drops 3, without opening the gate
    EXPECT_EQ(names->asked, (std::vector<std::uint32_t>{1}));
    EXPECT_EQ(reported, 0);
}

// A reverse lookup that hangs and ignores every stop, as getnameinfo does, must not hold the
// window's close; its thread finishes on its own later and reports nothing.
TEST(HostNames, DestructionDoesNotWaitForAHungLookup) {
    struct Hung final : IHostNames {
        std::optional<std::string> NameOf(std::uint32_t, std::stop_token) override {
            entered = true;
            while (!open) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return "late.test";
        }
        std::atomic<bool> entered{false}, open{false};
    };
    auto hung = std::make_shared<Hung>();
    auto reported = std::make_shared<std::atomic<int>>(0);
    // Opens the gate in any case, so that a destructor that waits fails instead of hanging.
    std::jthread opener([hung](std::stop_token stop) {
        for (int i = 0; i < 300 && !stop.stop_requested(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        hung->open = true;
    });
    std::chrono::steady_clock::time_point closing;
    {
        HostNameLookups lookups(hung, 1, [reported](auto, auto) { ++*reported; });
        lookups.Ask(1);
        while (!hung->entered) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        closing = std::chrono::steady_clock::now();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::milliseconds(500));
    opener.request_stop();
    opener.join();
    // The lookup thread lets go of the source once it is done.
    for (int i = 0; i < 2000 && hung.use_count() > 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(hung.use_count(), 1);
    EXPECT_EQ(*reported, 0);
}

}  // namespace
}  // namespace talvik::test
