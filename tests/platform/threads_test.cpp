#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <memory>
#include <thread>

#include "platform/PosixThreads.h"

namespace talvik {
namespace {

using namespace std::chrono_literals;

// A thread that ends when its gate opens.
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

TEST(PosixThreads, HandleIsSignalledOnceTheProcedureReturned) {
    PosixThreads threads;
    Gated gated;
    ThreadHandle handle = threads.BeginThread(gated.Procedure());
    ASSERT_TRUE(handle);
    EXPECT_EQ(threads.WaitForMultipleObjects(1, &handle, true, 0), kWaitTimeout);
    EXPECT_EQ(threads.WaitForMultipleObjects(1, &handle, false, 20), kWaitTimeout);
    gated.gate.set_value();
    EXPECT_EQ(threads.WaitForMultipleObjects(1, &handle, true, kInfinite), kWaitObject0);
    // And stays so.
    EXPECT_EQ(threads.WaitForMultipleObjects(1, &handle, true, 0), kWaitObject0);
}

TEST(PosixThreads, WaitForAnyNamesTheLowestEndedAndWaitAllNeedsAll) {
    PosixThreads threads;
    Gated first, second, third;
    ThreadHandle handles[3] = {threads.BeginThread(first.Procedure()),
                               threads.BeginThread(second.Procedure()),
                               threads.BeginThread(third.Procedure())};
    third.gate.set_value();
    EXPECT_EQ(threads.WaitForMultipleObjects(3, handles, false, 5000), kWaitObject0 + 2);
    second.gate.set_value();
    ASSERT_EQ(threads.WaitForMultipleObjects(1, &handles[1], true, 5000), kWaitObject0);
    EXPECT_EQ(threads.WaitForMultipleObjects(3, handles, false, 0), kWaitObject0 + 1);
    EXPECT_EQ(threads.WaitForMultipleObjects(3, handles, true, 20), kWaitTimeout);
    first.gate.set_value();
    EXPECT_EQ(threads.WaitForMultipleObjects(3, handles, true, kInfinite), kWaitObject0);
}

TEST(PosixThreads, ManyThreadsEndingAtOnceWakeAWaitForAll) {
    PosixThreads threads;
    Gated gated;
    std::vector<ThreadHandle> handles;
    for (int i = 0; i < 64; ++i) {
        handles.push_back(threads.BeginThread(gated.Procedure()));
        ASSERT_TRUE(handles.back());
    }
    gated.gate.set_value();
    EXPECT_EQ(threads.WaitForMultipleObjects(64, handles.data(), true, 10000), kWaitObject0);
}

TEST(PosixThreads, BadWaitsFailWithInvalidParameterPerThread) {
    PosixThreads threads;
    ThreadHandle ended = threads.BeginThread([] { return 0u; });
    ASSERT_TRUE(ended);
    std::vector<ThreadHandle> many(65, ended);
    ThreadHandle withEmpty[2] = {ended, nullptr};

    EXPECT_EQ(threads.WaitForMultipleObjects(0, many.data(), true, 0), kWaitFailed);
    EXPECT_EQ(threads.GetLastError(), kErrorInvalidParameter);
    EXPECT_EQ(threads.WaitForMultipleObjects(65, many.data(), true, 0), kWaitFailed);
    EXPECT_EQ(threads.WaitForMultipleObjects(2, withEmpty, false, 0), kWaitFailed);
    EXPECT_EQ(threads.WaitForMultipleObjects(1, nullptr, false, 0), kWaitFailed);
    EXPECT_EQ(threads.GetLastError(), kErrorInvalidParameter);

    // The error belongs to the thread that failed.
    std::uint32_t otherError = 1;
    std::thread other([&] { otherError = threads.GetLastError(); });
    other.join();
    EXPECT_EQ(otherError, kNoError);
    EXPECT_EQ(threads.WaitForMultipleObjects(64, many.data(), true, kInfinite), kWaitObject0);
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
    for (int i = 0; i < 1000 && !*finished; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(*finished);

    // Of a thread that has ended.
    ThreadHandle ended = threads.BeginThread([] { return 0u; });
    ASSERT_EQ(threads.WaitForMultipleObjects(1, &ended, true, kInfinite), kWaitObject0);
    ended.reset();

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
    for (int i = 0; i < 1000 && !*done; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(*done);
}

TEST(PosixThreads, ExceptionInAProcedureStillSignals) {
    PosixThreads threads;
    ThreadHandle handle = threads.BeginThread([]() -> unsigned { throw std::runtime_error("x"); });
    ASSERT_TRUE(handle);
    EXPECT_EQ(threads.WaitForMultipleObjects(1, &handle, true, 10000), kWaitObject0);
    EXPECT_FALSE(threads.BeginThread(nullptr));
}

}  // namespace
}  // namespace talvik
