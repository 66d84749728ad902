// SPDX-License-Identifier: GPL-3.0-or-later
// Dotted-decimal text, the ARP probe's MAC text, the sliced waits and the wire's ear.

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <tuple>

#include "scan/Address.h"
#include "scan/ScanEngine.h"
#include "scan/ScanRun.h"
#include "scan/WireEar.h"
#include "tests/support/FakeWires.h"
#include "tests/support/ScriptedArpSender.h"

namespace talvik::test {
namespace {

TEST(DottedDecimal, ReadsAndWritesPlainDecimalOnly) {
    for (const auto& [text, address] : {std::pair{"192.168.1.1", 0xC0A80101u},
                                        {"0.0.0.0", 0u},
                                        {"203.0.113.254", 0xCB0071FEu},
                                        {"255.255.255.254", 0xFFFFFFFEu}}) {
        EXPECT_EQ(ParseDottedDecimal(text), address) << text;
        EXPECT_EQ(FormatDottedDecimal(address), text);
    }
    // Everything else goes to the name lookup, the all-ones unresolved marker included.
    for (const char* text : {"", "localhost", "192.168.1", "192.168.1.1.", "192.168.1.256",
                             "1.2.3.4 ", " 1.2.3.4", "1..2.3", "1.2.3.1000", "192.168.001.010",
                             "0x7f.0.0.1", "-1.2.3.4", "host.203.0.113.1", "255.255.255.255"}) {
        EXPECT_FALSE(ParseDottedDecimal(text)) << text;
    }
}

TEST(ArpProbe, WritesTheLowerCaseMacOnlyOnAnAnswerIntoMoreThan18Bytes) {
    ScriptedArpSender arp;
    arp.Script(0xCB007105u, Answers({0x00, 0x0C, 0x29, 0x3A, 0x4B, 0x5C}));
    for (const auto& [address, size, status, text] :
         {std::tuple{0xCB007105u, 20, kNoError, "00-0c-29-3a-4b-5c"},
          {0xCB007105u, 19, kNoError, "00-0c-29-3a-4b-5c"},
          {0xCB007105u, 18, kNoError, "untouched"},  // still asked: only the text is spared
          {0xCB007106u, 20, kErrorBadNetName, "untouched"}}) {
        char buffer[20] = "untouched";
        EXPECT_EQ(ArpProbe(arp, address, buffer, size, {}), status);
        EXPECT_STREQ(buffer, text) << size;
    }
    EXPECT_EQ(arp.Calls().size(), 4u);
}

// Records the length of each wait and answers from a script.
struct RecordingWaits final : IThreads {
    ThreadHandle BeginThread(std::function<unsigned()>) override { return nullptr; }
    std::uint32_t WaitForMultipleObjects(std::uint32_t count, const ThreadHandle* handles, bool,
                                         std::uint32_t) override {
        lengths.push_back(count);
        firsts.push_back(handles);
        return lengths.size() <= results.size() ? results[lengths.size() - 1] : kWaitObject0;
    }
    std::uint32_t GetLastError() override { return kErrorInvalidParameter; }

    std::vector<std::uint32_t> results, lengths;  // kWaitObject0 once the results run out
    std::vector<const ThreadHandle*> firsts;
};

TEST(WaitInChunks, SlicesIntoSixtyFoursAndStopsOnlyOnTimeout) {
    struct Case {
        std::uint32_t count;
        std::vector<std::uint32_t> results, lengths;
        std::uint32_t status;
    } cases[] = {
        {0, {}, {}, kNoError},
        {130, {}, {64, 64, 2}, kNoError},
        {64, {}, {64}, kNoError},
        {200, {kWaitObject0, kWaitTimeout}, {64, 64}, kErrorTimeout},
        // Only the last call decides: a failure on the way does not stop the waits.
        {200, {kWaitFailed, kWaitObject0 + 3}, {64, 64, 64, 8}, kNoError},
        {70, {kWaitObject0, kWaitFailed}, {64, 6}, kErrorInvalidParameter},
    };
    std::vector<ThreadHandle> handles(200);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        RecordingWaits waits;
        waits.results = c.results;
        EXPECT_EQ(WaitInChunks(waits, c.count, handles.data(), true, kInfinite), c.status);
        EXPECT_EQ(waits.lengths, c.lengths);
        for (std::size_t i = 0; i < waits.firsts.size(); ++i) {
            EXPECT_EQ(waits.firsts[i], handles.data() + 64 * i);
        }
    }
}

// What an ear hands on and says, as its owner's thread would take it.
struct EarLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::uint32_t> heard;
    std::vector<EarNote> said;
    bool WaitFor(const std::function<bool()>& done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), done);
    }
};

TEST(WireEar, HandsOnFramesSaysLossAndOpensAnEndedWireAgain) {
    FakeWires wires;
    std::string why;
    std::unique_ptr<IArpWire> wire = wires.Open("tvk-ear0", why);
    FakeWire* first = wires.latest;
    first->lost = 7;
    EarLog log;
    auto ear = std::make_unique<WireEar>(
        wires, std::move(wire),
        [&](const std::vector<HeardArp>& frames) {
            const std::lock_guard lock(log.mutex);
            for (const HeardArp& frame : frames) {
                log.heard.push_back(frame.senderAddress);
            }
            log.changed.notify_all();
        },
        [&](const EarNote& note) {
            const std::lock_guard lock(log.mutex);
            log.said.push_back(note);
            log.changed.notify_all();
        },
        std::chrono::milliseconds(5));
    for (std::uint32_t host = 1; host <= 3; ++host) {
        first->Claim(0xCB007100 + host, {0, 0x16, 0x3e, 0, 0, 1});
    }
    ASSERT_TRUE(log.WaitFor([&] { return log.heard.size() == 3 && !log.said.empty(); }));
    EXPECT_EQ(log.heard, (std::vector<std::uint32_t>{0xCB007101, 0xCB007102, 0xCB007103}));
    EXPECT_EQ(log.said[0].kind, EarNote::Kind::FramesLost);
    EXPECT_EQ(log.said[0].lost, 7u);

    // The helper ends while it cannot be started again: said once, tried until it can.
    {
        const std::lock_guard lock(wires.mutex);
        wires.problem = "无法启动辅助程序。";
    }
    first->End();
    ASSERT_TRUE(log.WaitFor([&] { return log.said.size() == 3; }));
    EXPECT_EQ(log.said[1].kind, EarNote::Kind::HelperEnded);
    EXPECT_EQ(log.said[2].kind, EarNote::Kind::CannotListen);
    EXPECT_EQ(log.said[2].why, "无法启动辅助程序。");
    EXPECT_EQ(log.said[2].error, EPIPE);
    {
        const std::lock_guard lock(wires.mutex);
        wires.problem.clear();
    }
    ASSERT_TRUE(log.WaitFor([&] { return log.said.size() == 4; }));
    EXPECT_EQ(log.said[3].kind, EarNote::Kind::ListeningAgain);
    FakeWire* second = nullptr;
    {
        const std::lock_guard lock(wires.mutex);
        EXPECT_GE(wires.opened.size(), 3u);
        second = wires.latest;
    }
    second->Claim(0xCB007109, {0, 0x16, 0x3e, 0, 0, 9});
    ASSERT_TRUE(log.WaitFor([&] { return log.heard.size() == 4; }));
    // Gone, it ends its thread at once, however long its wire would have waited.
    const auto before = std::chrono::steady_clock::now();
    ear.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(400));
}

}  // namespace
}  // namespace talvik::test
