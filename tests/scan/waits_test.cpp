#include <gtest/gtest.h>

#include <vector>

#include "scan/ScanEngine.h"

namespace talvik {
namespace {

// Records the length of each wait and answers from a script.
class RecordingWaits final : public IThreads {
public:
    std::vector<std::uint32_t> results;  // one per call; kWaitObject0 once they run out
    std::vector<std::uint32_t> lengths;
    std::vector<const ThreadHandle*> firsts;
    std::uint32_t lastError = kNoError;

    ThreadHandle BeginThread(std::function<unsigned()>) override { return nullptr; }
    std::uint32_t WaitForMultipleObjects(std::uint32_t count, const ThreadHandle* handles, bool,
                                         std::uint32_t) override {
        lengths.push_back(count);
        firsts.push_back(handles);
        const std::size_t call = lengths.size() - 1;
        return call < results.size() ? results[call] : kWaitObject0;
    }
    std::uint32_t GetLastError() override { return lastError; }
};

TEST(WaitInChunks, NoHandlesMeansNoWait) {
    RecordingWaits waits;
    EXPECT_EQ(WaitInChunks(waits, 0, nullptr, true, kInfinite), kNoError);
    EXPECT_TRUE(waits.lengths.empty());
}

TEST(WaitInChunks, SlicesIntoSixtyFours) {
    std::vector<ThreadHandle> handles(130);
    RecordingWaits waits;
    EXPECT_EQ(WaitInChunks(waits, 130, handles.data(), true, kInfinite), kNoError);
    EXPECT_EQ(waits.lengths, (std::vector<std::uint32_t>{64, 64, 2}));
    EXPECT_EQ(waits.firsts,
              (std::vector<const ThreadHandle*>{&handles[0], &handles[64], &handles[128]}));

    RecordingWaits exact;
    EXPECT_EQ(WaitInChunks(exact, 64, handles.data(), true, kInfinite), kNoError);
    EXPECT_EQ(exact.lengths, std::vector<std::uint32_t>{64});
}

TEST(WaitInChunks, StopsEarlyOnlyOnTimeout) {
    std::vector<ThreadHandle> handles(200);
    RecordingWaits timedOut;
    timedOut.results = {kWaitObject0, kWaitTimeout};
    EXPECT_EQ(WaitInChunks(timedOut, 200, handles.data(), true, 10), kErrorTimeout);
    EXPECT_EQ(timedOut.lengths.size(), 2u);

    // A failure in the middle does not stop the waits; only the last call decides.
    RecordingWaits failedEarly;
    failedEarly.results = {kWaitFailed, kWaitObject0 + 3, kWaitObject0};
    failedEarly.lastError = kErrorInvalidParameter;
    EXPECT_EQ(WaitInChunks(failedEarly, 200, handles.data(), false, kInfinite), kNoError);
    EXPECT_EQ(failedEarly.lengths, (std::vector<std::uint32_t>{64, 64, 64, 8}));
}

TEST(WaitInChunks, FailedLastWaitGivesTheSystemError) {
    std::vector<ThreadHandle> handles(70);
    RecordingWaits waits;
    waits.results = {kWaitObject0, kWaitFailed};
    waits.lastError = kErrorInvalidParameter;
    EXPECT_EQ(WaitInChunks(waits, 70, handles.data(), true, kInfinite), kErrorInvalidParameter);
}

}  // namespace
}  // namespace talvik
