// SPDX-License-Identifier: GPL-3.0-or-later
// Dotted-decimal text, the ARP probe's MAC text and the sliced waits.

#include <gtest/gtest.h>

#include <tuple>

#include "scan/Address.h"
#include "scan/ScanEngine.h"
#include "scan/ScanRun.h"
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

}  // namespace
}  // namespace talvik::test
