// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

#include "names/GetaddrinfoResolver.h"
#include "os/PosixThreads.h"

namespace talvik::test {
namespace {

using namespace std::chrono_literals;

// Procedures that return once their gate opens.
struct Gated {
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    std::function<unsigned()> Procedure() {
        return [opened = opened] {
            opened.wait();
            return 0u;
        };
    }
};

TEST(PosixThreads, WaitForAnyNamesTheLowestEndedAndWaitAllNeedsAll) {
    PosixThreads threads;
    Gated first, second, third;
    ThreadHandle handles[3] = {threads.BeginThread(first.Procedure()),
                               threads.BeginThread(second.Procedure()),
                               threads.BeginThread(third.Procedure())};
    EXPECT_EQ(threads.WaitForMultipleObjects(3, handles, false, 0), kWaitTimeout);
    EXPECT_EQ(threads.WaitForMultipleObjects(3, handles, false, 20), kWaitTimeout);
    third.gate.set_value();
    EXPECT_EQ(threads.WaitForMultipleObjects(3, handles, false, 5000), kWaitObject0 + 2);
    second.gate.set_value();
    ASSERT_EQ(threads.WaitForMultipleObjects(1, &handles[1], true, 5000), kWaitObject0);
    EXPECT_EQ(threads.WaitForMultipleObjects(3, handles, false, 0), kWaitObject0 + 1);
    EXPECT_EQ(threads.WaitForMultipleObjects(3, handles, true, 20), kWaitTimeout);
    first.gate.set_value();
    EXPECT_EQ(threads.WaitForMultipleObjects(3, handles, true, kInfinite), kWaitObject0);
    EXPECT_EQ(threads.WaitForMultipleObjects(3, handles, true, 0), kWaitObject0);  // and stay so
}

TEST(PosixThreads, SixtyFourEndingAtOnceWakeAWaitForAllAndBadWaitsFail) {
    PosixThreads threads;
    Gated gated;
    std::vector<ThreadHandle> handles;
    for (int i = 0; i < 64; ++i) {
        handles.push_back(threads.BeginThread(gated.Procedure()));
        ASSERT_TRUE(handles.back());
    }
    gated.gate.set_value();
    EXPECT_EQ(threads.WaitForMultipleObjects(64, handles.data(), true, 10000), kWaitObject0);

    handles.push_back(handles.front());
    ThreadHandle withEmpty[2] = {handles[0], nullptr};
    const std::pair<std::uint32_t, const ThreadHandle*> bad[] = {
        {65, handles.data()}, {0, handles.data()}, {2, withEmpty}, {1, nullptr}};
    for (const auto& [count, table] : bad) {
        EXPECT_EQ(threads.WaitForMultipleObjects(count, table, false, 0), kWaitFailed) << count;
        EXPECT_EQ(threads.GetLastError(), kErrorInvalidParameter) << count;
    }
    std::uint32_t otherError = 1;
    std::thread([&] { otherError = threads.GetLastError(); }).join();
    EXPECT_EQ(otherError, kNoError) << "the error belongs to the thread that failed";
    EXPECT_FALSE(threads.BeginThread(nullptr));
}

TEST(PosixThreads, AThrowingProcedureOrADroppedHandleNeverEndsTheProcess) {
    PosixThreads threads;
    ThreadHandle threw = threads.BeginThread([]() -> unsigned { throw std::runtime_error("x"); });
    EXPECT_EQ(threads.WaitForMultipleObjects(1, &threw, true, 10000), kWaitObject0);

    // Dropped while running, and by the thread itself, holding the last reference. What it
    // shares with the test is shared, so nothing dangles while it finishes.
    Gated gated;
    auto slot = std::make_shared<ThreadHandle>();
    auto stored = std::make_shared<std::latch>(1);
    auto done = std::make_shared<std::atomic<int>>(0);
    threads.BeginThread([opened = gated.opened, done] {
        opened.wait();
        return static_cast<unsigned>(++*done);
    });
    *slot = threads.BeginThread([slot, stored, done]() mutable {
        stored->wait();
        slot->reset();
        slot.reset();
        return static_cast<unsigned>(++*done);
    });
    ASSERT_TRUE(*slot);
    slot.reset();
    stored->count_down();
    gated.gate.set_value();
    for (int i = 0; i < 1000 && *done < 2; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(*done, 2);
}

TEST(GetaddrinfoResolver, LocalhostResolvesAndNoNameElseDoes) {
    GetaddrinfoResolver resolver;
    EXPECT_EQ(resolver.Resolve("localhost"), 0x7F000001u);
    EXPECT_EQ(resolver.Resolve("127.0.0.1"), 0x7F000001u);
    EXPECT_FALSE(resolver.Resolve(""));
    EXPECT_FALSE(resolver.Resolve(std::string("localhost\0.invalid", 18)));

    // In an empty network namespace of its own, so no query leaves this machine.
    std::optional<std::uint32_t> result = 1;
    bool isolated = false;
    std::thread([&] {
        if ((isolated = ::unshare(CLONE_NEWNET) == 0)) {
            result = GetaddrinfoResolver().Resolve("talvik-test.invalid");
        }
    }).join();
    if (!isolated) {
        GTEST_SKIP() << "no network namespace for an isolated lookup";
    }
    EXPECT_FALSE(result);
}

}  // namespace
}  // namespace talvik::test
