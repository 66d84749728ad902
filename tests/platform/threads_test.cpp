#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <memory>
#include <stdexcept>
#include <thread>

#include "platform/PosixThreads.h"

namespace talvik {
namespace {

using namespace std::chrono_literals;

// A procedure that returns once its gate opens.
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

bool Eventually(const std::atomic<bool>& flag) {
    for (int i = 0; i < 1000 && !flag; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    return flag;
}

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
    // And they stay signalled.
    EXPECT_EQ(threads.WaitForMultipleObjects(3, handles, true, 0), kWaitObject0);
}

TEST(PosixThreads, SixtyFourEndingAtOnceWakeAWaitForAllAndMoreAreRefused) {
    PosixThreads threads;
    Gated gated;
    std::vector<ThreadHandle> handles;
    for (int i = 0; i < 64; ++i) {
        handles.push_back(threads.BeginThread(gated.Procedure()));
        ASSERT_TRUE(handles.back());
    }
    handles.push_back(handles.front());
    EXPECT_EQ(threads.WaitForMultipleObjects(65, handles.data(), true, 0), kWaitFailed);
    EXPECT_EQ(threads.GetLastError(), kErrorInvalidParameter);
    gated.gate.set_value();
    EXPECT_EQ(threads.WaitForMultipleObjects(64, handles.data(), true, 10000), kWaitObject0);
}

TEST(PosixThreads, BadWaitsFailWithInvalidParameterPerThread) {
    PosixThreads threads;
    ThreadHandle ended = threads.BeginThread([]() -> unsigned { throw std::runtime_error("x"); });
    ASSERT_TRUE(ended);
    EXPECT_EQ(threads.WaitForMultipleObjects(1, &ended, true, 10000), kWaitObject0)
        << "a procedure that threw was never signalled";
    ThreadHandle withEmpty[2] = {ended, nullptr};
    for (const auto& [count, handles] :
         {std::pair<std::uint32_t, const ThreadHandle*>{0, &ended}, {2, withEmpty}, {1, nullptr}}) {
        EXPECT_EQ(threads.WaitForMultipleObjects(count, handles, false, 0), kWaitFailed) << count;
        EXPECT_EQ(threads.GetLastError(), kErrorInvalidParameter) << count;
    }
    std::uint32_t otherError = 1;
    std::thread([&] { otherError = threads.GetLastError(); }).join();
    EXPECT_EQ(otherError, kNoError) << "the error belongs to the thread that failed";
    EXPECT_FALSE(threads.BeginThread(nullptr));
}

TEST(PosixThreads, DroppingHandlesNeverEndsTheProcess) {
    PosixThreads threads;
    // Of a thread still running: it finishes on its own.
    Gated gated;
    auto finished = std::make_shared<std::atomic<bool>>(false);
    threads.BeginThread([opened = gated.opened, finished] {
        opened.wait();
        *finished = true;
        return 0u;
    });
    gated.gate.set_value();
    EXPECT_TRUE(Eventually(*finished));

    // By the thread itself, holding the last reference. What it shares with the test is
    // shared, so nothing dangles while it finishes after the test has seen it done.
    auto slot = std::make_shared<ThreadHandle>();
    auto stored = std::make_shared<std::latch>(1);
    auto done = std::make_shared<std::atomic<bool>>(false);
    *slot = threads.BeginThread([slot, stored, done]() mutable {
        stored->wait();
        slot->reset();
        slot.reset();
        *done = true;
        return 0u;
    });
    ASSERT_TRUE(*slot);
    slot.reset();
    stored->count_down();
    EXPECT_TRUE(Eventually(*done));
}

}  // namespace
}  // namespace talvik
