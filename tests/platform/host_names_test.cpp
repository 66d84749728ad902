#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

#include "platform/HostNames.h"

namespace talvik {
namespace {

using namespace std::chrono_literals;

// Names from a table; while the gate is shut every lookup waits for it (or for stop).
class ScriptedNames final : public IHostNames {
public:
    explicit ScriptedNames(std::map<std::uint32_t, std::string> names, bool shut = false)
        : names_(std::move(names)), shut_(shut) {}

    std::optional<std::string> NameOf(std::uint32_t address, std::stop_token stop) override {
        std::unique_lock lock(mutex_);
        asked.push_back(address);
        busy_ = busy_ + 1;
        mostBusy = std::max(mostBusy, busy_);
        changed_.notify_all();
        changed_.wait(lock, stop, [this] { return !shut_; });
        --busy_;
        const auto it = names_.find(address);
        return it == names_.end() ? std::nullopt : std::optional(it->second);
    }
    void Open() {
        const std::lock_guard lock(mutex_);
        shut_ = false;
        changed_.notify_all();
    }
    void WaitBusy(int count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return busy_ >= count; });
    }

    std::vector<std::uint32_t> asked;
    int mostBusy = 0;

private:
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::map<std::uint32_t, std::string> names_;
    bool shut_;
    int busy_ = 0;
};

// What the lookups reported, in order.
struct Reports {
    std::mutex mutex;
    std::condition_variable done;
    std::vector<std::pair<std::uint32_t, std::string>> got;
    HostNameLookups::Done Sink() {
        return [this](std::uint32_t address, std::optional<std::string> name) {
            const std::lock_guard lock(mutex);
            got.emplace_back(address, name.value_or("-"));
            done.notify_all();
        };
    }
    auto WaitFor(std::size_t count) {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(done.wait_for(lock, 10s, [&] { return got.size() >= count; }));
        std::sort(got.begin(), got.end());
        return got;
    }
};

TEST(HostNames, TheFirstSourceWithANameWins) {
    auto reverse =
        std::make_shared<ScriptedNames>(std::map<std::uint32_t, std::string>{{1, "one.example"}});
    auto multicast = std::make_shared<ScriptedNames>(
        std::map<std::uint32_t, std::string>{{1, "one.local"}, {2, "two.local"}});
    FirstHostName names({reverse, multicast});
    EXPECT_EQ(names.NameOf(1, {}), "one.example");
    EXPECT_EQ(names.NameOf(2, {}), "two.local");
    EXPECT_EQ(names.NameOf(3, {}), std::nullopt);
    EXPECT_EQ(multicast->asked, (std::vector<std::uint32_t>{2, 3}));
}

TEST(HostNames, ReverseLookupNamesLoopbackFromTheHostsFile) {
    ReverseLookupNames names;
    EXPECT_EQ(names.NameOf(0x7f000001, {}), "localhost");
    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_EQ(names.NameOf(0x7f000001, stopped.get_token()), std::nullopt);
}

TEST(HostNames, LookupsRunAFewAtATimeAndReportEachAddressOnce) {
    auto names = std::make_shared<ScriptedNames>(
        std::map<std::uint32_t, std::string>{{2, "two"}, {5, "five"}}, true);
    Reports reports;
    HostNameLookups lookups(names, 2, reports.Sink());
    for (const std::uint32_t address : {1, 2, 3, 3, 4, 5, 5}) {
        lookups.Ask(address);
    }
    names->WaitBusy(2);
    names->Open();
    const std::vector<std::pair<std::uint32_t, std::string>> expected = {
        {1, "-"}, {2, "two"}, {3, "-"}, {4, "-"}, {5, "five"}};
    EXPECT_EQ(reports.WaitFor(5), expected);
    EXPECT_EQ(names->mostBusy, 2);
}

TEST(HostNames, CancelAndDestructionDropWaitingLookups) {
    auto names = std::make_shared<ScriptedNames>(std::map<std::uint32_t, std::string>{}, true);
    Reports reports;
    {
        HostNameLookups lookups(names, 1, reports.Sink());
        lookups.Ask(1);
        names->WaitBusy(1);
        lookups.Ask(2);
        lookups.Cancel();
        lookups.Ask(3);
        // Leaving the scope stops the running lookup and drops 3 without waiting for the gate.
    }
    EXPECT_EQ(names->asked, (std::vector<std::uint32_t>{1}));
    EXPECT_TRUE(reports.got.empty());
}

}  // namespace
}  // namespace talvik
