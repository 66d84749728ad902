// SPDX-License-Identifier: GPL-3.0-or-later
// Stop, window close and thread-start failures: what the user sees once a scan ends early.

#include <gtest/gtest.h>

#include "tests/support/EngineRig.h"

namespace talvik::test {
namespace {

using namespace std::chrono_literals;
constexpr Mac kMac = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};

// Stop or close, after the options lowered the worker limit (every worker must still end).
void End(EngineRig& rig, bool close) {
    rig.engine->Settings().workerLimit = 1;
    close ? rig.engine.reset() : rig.engine->OnStopScan();
}

// Nothing of an ended scan may reach the window any more.
void ExpectNothingMoreArrives(EngineRig& rig) {
    const int changes = rig.changes;
    rig.ui->RunFor(100ms);
    EXPECT_EQ(rig.changes, changes);
}

void ExpectEnded(EngineRig& rig, bool close) {
    if (!close) {
        EXPECT_FALSE(rig.engine->IsScanRunning());
        EXPECT_TRUE(rig.Idle());
    }
    ExpectNothingMoreArrives(rig);
}

TEST(Ending, MidScanEndsEveryWorkerAndDropsResultsOnTheirWay) {
    for (bool close : {false, true}) {
        SCOPED_TRACE(close);
        EngineRig rig(8);
        rig.AddRange(kNet203, 1, 40);
        rig.arp->SetDefault(Held(kMac));
        for (std::uint32_t i = 1; i < 20; ++i) {
            rig.arp->Script(kNet203 | i, Answers(kMac));
        }
        rig.engine->OnScanAll();
        ASSERT_TRUE(rig.arp->WaitForActive(8));
        ASSERT_GT(rig.ui->Queued(), 0u);  // results of finished workers, not yet served
        End(rig, close);
        if (close) {
            EXPECT_EQ(rig.arp->Active(), 0);  // closing returns once the threads are gone
        }
        ASSERT_TRUE(rig.arp->WaitForIdle());
        EXPECT_EQ(rig.arp->Cancelled(), 8);
        ExpectEnded(rig, close);
        EXPECT_EQ(rig.pos, 0);
        EXPECT_TRUE(rig.shown.empty());
        EXPECT_EQ(rig.arp->Calls().size(), 27u);  // nothing started after the end
    }
}

TEST(Ending, WhileTheCompletionBoxIsUp) {
    for (bool close : {false, true}) {
        SCOPED_TRACE(close);
        EngineRig rig;
        rig.AddRange(kNet203, 1, 3);
        rig.whileShown = [&] { End(rig, close); };
        rig.engine->OnScanAll();
        ASSERT_TRUE(rig.WaitForBox());
        ExpectEnded(rig, close);
        EXPECT_EQ(rig.shown.size(), 1u);
    }
}

TEST(Ending, DuringANameLookupAbandonsItWithoutWaiting) {
    for (bool close : {false, true}) {
        SCOPED_TRACE(close);
        EngineRig rig;
        rig.Add("slow.test");
        rig.resolver->names["slow.test"] = kNet203 | 2u;
        rig.resolver->held = true;
        rig.engine->OnScanAll();
        ASSERT_TRUE(rig.ui->RunUntil([&] { return rig.resolver->active == 1; }));
        End(rig, close);  // would hang here if it waited for the lookup
        rig.resolver->held = false;
        ExpectEnded(rig, close);
        EXPECT_TRUE(rig.arp->Calls().empty());
        EXPECT_EQ(rig.Cell(0, 2), "");
    }
}

TEST(Ending, ANewScanOverARunningOneDropsTheOldResults) {
    EngineRig rig(8);
    rig.AddRange(kNet203, 1, 20);
    rig.arp->SetDefault(Held(kMac));
    for (std::uint32_t i = 1; i <= 4; ++i) {
        rig.arp->Script(kNet203 | i, Answers(kMac));
    }
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.arp->WaitForActive(8));
    ASSERT_GT(rig.ui->Queued(), 0u);
    rig.arp->SetDefault(Answers(kMac));
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitUntilIdle());
    rig.ui->RunFor(50ms);
    EXPECT_EQ(rig.shown, std::vector{kCompleteBox});
    EXPECT_EQ(rig.pos, 20);
    EXPECT_EQ(rig.arp->Cancelled(), 8);
}

TEST(Ending, StopWhileIdleOnlySetsTheIdleState) {
    EngineRig rig;
    rig.AddRange(kNet198, 1, 3);
    rig.engine->OnStopScan();
    EXPECT_EQ(rig.calls, StateCalls(false));
    EXPECT_EQ(rig.changes, 6);
}

TEST(Ending, RepeatedStartsAndStopsLeaveTheLastScanWhole) {
    EngineRig rig(16);
    rig.AddRange(kNet198, 0, 99);
    rig.Add("name.test");
    rig.resolver->names["name.test"] = kNet198 | 101u;
    rig.arp->SetDefault(Answers(kMac, 1ms));
    for (int round = 0; round < 60; ++round) {
        rig.engine->OnScanAll();
        rig.ui->RunFor(std::chrono::milliseconds(round % 3));
        if (round % 2 == 0) {  // otherwise the next start replaces the running scan
            rig.engine->OnStopScan();
            ASSERT_FALSE(rig.engine->IsScanRunning());
        }
    }
    EXPECT_TRUE(rig.shown.empty());
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitUntilIdle());
    rig.ui->RunFor(50ms);
    EXPECT_EQ(rig.pos, 101);
    EXPECT_EQ(rig.shown.size(), 1u);
    for (const auto& row : rig.rows) {
        ASSERT_EQ(row.cells[1], "running") << row.cells[0];
    }
    EXPECT_FALSE(rig.offThread);
}

TEST(StartFailure, TellsTheUserAndEndsIdle) {
    // By the number of the start, 0 onwards; start 0 is the dispatcher or the one lookup.
    using Allow = bool (*)(int);
    const Allow never = [](int) { return false; };
    const Allow threeWorkers = [](int n) { return n <= 3; };
    const Allow twoRefusals = [](int n) { return n != 6 && n != 8; };
    struct Case {
        const char* what;
        int limit, rows;
        bool name;
        Allow allow;
        bool failWait, throwBox;
        std::vector<ShownBox> boxes;
        int pos;
    } cases[] = {
        {"no dispatcher", 50, 5, false, never, false, false, {kFailedBox}, 0},
        {"no lookup", 50, 0, true, never, false, false, {kFailedBox}, 0},
        {"workers run out", 4, 12, false, threeWorkers, false, false, {kFailedBox}, 3},
        {"worker retried", 4, 12, false, twoRefusals, false, false, {kCompleteBox}, 12},
        {"wait for any fails", 2, 6, false, nullptr, true, false, {kFailedBox}, 2},
        {"box fails", 50, 2, false, nullptr, false, true, {kCompleteBox, kFailedBox}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineRig rig(c.limit);
        rig.AddRange(kNet198, 1, c.rows);
        if (c.name) {
            rig.Add("host.test");
        }
        // Slow answers: rows the dispatcher did not wait for would come after its message.
        rig.arp->SetDefault(Answers(kMac, 20ms));
        if (c.allow) {
            rig.threads->allowStart = c.allow;
        }
        rig.threads->failWaitForAny = c.failWait;
        rig.throwNext = c.throwBox;
        rig.engine->OnScanAll();
        ASSERT_TRUE(rig.WaitUntilIdle());
        EXPECT_EQ(rig.shown, c.boxes);
        EXPECT_TRUE(rig.Idle());
        EXPECT_EQ(rig.pos, c.pos);
        EXPECT_EQ(rig.arp->Calls().size(), static_cast<std::size_t>(c.pos));
        EXPECT_EQ(rig.threads->failed > 0, c.allow != nullptr);
        EXPECT_LE(rig.arp->MaxActive(), c.limit);
        ExpectNothingMoreArrives(rig);
    }
}

}  // namespace
}  // namespace talvik::test
