// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>

#include "platform/HostNames.h"

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

}  // namespace
}  // namespace talvik::test
