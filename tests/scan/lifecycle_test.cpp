// Stop, window close and thread-start failures: what the user sees once a scan ends early.

#include <gtest/gtest.h>

#include "tests/support/EngineRig.h"

namespace talvik::test {
namespace {

using namespace std::chrono_literals;
constexpr Mac kMac = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};

// Nothing of an ended scan may reach the window any more.
void ExpectNothingMoreArrives(EngineRig& rig) {
    const auto before = std::tuple(rig.writes, rig.moves, rig.shown.size(), rig.calls.size());
    rig.ui->RunFor(100ms);
    EXPECT_EQ(std::tuple(rig.writes, rig.moves, rig.shown.size(), rig.calls.size()), before);
}

TEST(Stop, MidScanEndsEveryWorkerOfThePoolAndDropsResultsOnTheirWay) {
    EngineRig rig(8);
    rig.AddRange(kNet203, 1, 40);
    rig.arp->SetDefault(Held(kMac));
    for (std::uint32_t i = 1; i < 20; ++i) {
        rig.arp->Script(kNet203 | i, Answers(kMac));
    }
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.arp->WaitForActive(8));
    ASSERT_GT(rig.ui->Queued(), 0u);         // results of finished workers, not yet served
    rig.engine->Settings().workerLimit = 1;  // lowered in the options; Stop must still end all
    rig.engine->OnStopScan();
    EXPECT_FALSE(rig.engine->IsScanRunning());
    EXPECT_TRUE(rig.Idle());
    ASSERT_TRUE(rig.arp->WaitForIdle());
    EXPECT_EQ(rig.arp->Cancelled(), 8);
    ExpectNothingMoreArrives(rig);
    EXPECT_EQ(rig.pos, 0);
    EXPECT_TRUE(rig.shown.empty());
    EXPECT_EQ(rig.arp->Calls().size(), 27u);  // nothing started after the stop
}

TEST(Stop, WhileIdleOnlySetsTheIdleState) {
    EngineRig rig;
    rig.AddRange(kNet198, 1, 3);
    rig.engine->OnStopScan();
    EXPECT_EQ(rig.calls, StateCalls(false));
    EXPECT_EQ(rig.writes + rig.moves, 0);
}

TEST(Stop, DuringTheCompletionBoxKeepsTheWindowIdle) {
    EngineRig rig;
    rig.AddRange(kNet203, 1, 3);
    rig.whileShown = [&] { rig.engine->OnStopScan(); };
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitForBox());
    EXPECT_FALSE(rig.engine->IsScanRunning());
    EXPECT_TRUE(rig.Idle());
    ExpectNothingMoreArrives(rig);
}

TEST(Stop, DuringNameLookupAbandonsIt) {
    EngineRig rig;
    rig.Add("slow.test");
    rig.resolver->Add("slow.test", kNet203 | 2u);
    rig.resolver->Hold();
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.ui->RunUntil([&] { return rig.resolver->Active() == 1; }));
    rig.engine->OnStopScan();
    EXPECT_TRUE(rig.Idle());
    rig.resolver->Release();
    ExpectNothingMoreArrives(rig);
    EXPECT_TRUE(rig.arp->Calls().empty());
    EXPECT_EQ(rig.Cell(0, 2), "");
}

TEST(Stop, RepeatedStartAndStopLeavesTheLastScanWhole) {
    EngineRig rig(16);
    rig.AddRange(kNet198, 0, 99);
    rig.Add("name.test");
    rig.resolver->Add("name.test", kNet198 | 101u);
    rig.arp->SetDefault(Answers(kMac, 1ms));
    for (int round = 0; round < 60; ++round) {
        rig.engine->OnScanAll();
        rig.ui->RunFor(std::chrono::milliseconds(round % 3));
        rig.engine->OnStopScan();
        ASSERT_FALSE(rig.engine->IsScanRunning());
        rig.ui->RunFor(std::chrono::milliseconds(round % 2));
    }
    EXPECT_TRUE(rig.shown.empty());
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.pos, 101);
    EXPECT_EQ(rig.shown.size(), 1u);
    for (const auto& row : rig.rows) {
        ASSERT_EQ(row.cells[1], "running") << row.cells[0];
    }
    EXPECT_FALSE(rig.offThread);
}

TEST(Stop, NewScanOverARunningOneSilencesTheOld) {
    EngineRig rig(8);
    rig.AddRange(kNet203, 1, 20);
    rig.arp->SetDefault(Held(kMac));
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.arp->WaitForActive(8));
    rig.arp->SetDefault(Answers(kMac));
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitUntilIdle());
    rig.ui->RunFor(50ms);
    EXPECT_EQ(rig.shown.size(), 1u);
    EXPECT_EQ(rig.pos, 20);
    EXPECT_EQ(rig.arp->Cancelled(), 8);
}

TEST(Close, DuringAScanEndsItsThreadsBeforeReturning) {
    EngineRig rig(32);
    rig.AddRange(kNet203, 1, 100);
    rig.arp->SetDefault(Held(kMac));
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.arp->WaitForActive(32));
    rig.engine.reset();
    EXPECT_EQ(rig.arp->Active(), 0);
    EXPECT_EQ(rig.arp->Calls().size(), 32u);
    rig.ui->RunFor(50ms);
    EXPECT_EQ(rig.writes, 100 * 2);  // only the clearing at scan start
}

TEST(Close, WhileTheCompletionBoxIsUpOrANameIsLookedUp) {
    EngineRig boxed;
    boxed.AddRange(kNet203, 1, 2);
    boxed.whileShown = [&] { boxed.engine.reset(); };
    boxed.engine->OnScanAll();
    ASSERT_TRUE(boxed.ui->RunUntil([&] { return boxed.engine == nullptr; }));
    ExpectNothingMoreArrives(boxed);

    EngineRig looking;
    looking.Add("stuck.test");
    looking.resolver->Hold();
    looking.engine->OnScanAll();
    ASSERT_TRUE(looking.ui->RunUntil([&] { return looking.resolver->Active() == 1; }));
    looking.engine.reset();  // would hang here if it waited for the lookup
    looking.resolver->Release();
    ExpectNothingMoreArrives(looking);
    EXPECT_TRUE(looking.arp->Calls().empty());
}

TEST(StartFailure, TellsTheUserAndEndsIdle) {
    const std::vector<std::string> failedBox = {"扫描线程出错，正在退出!"};
    struct Case {
        const char* what;
        int limit, rows;
        bool name, failWait, throwBox;
        std::function<bool(int)> allowStart;  // start 0 is the dispatcher or a lookup
        std::vector<std::string> boxes;
        int pos, refused;
    } cases[] = {
        {"no dispatcher", 50, 5, false, false, false, [](int) { return false; }, failedBox, 0, 1},
        {"no lookup", 50, 0, true, false, false, [](int) { return false; }, failedBox, 0, 1},
        {"workers run out", 4, 12, false, false, false, [](int n) { return n <= 3; }, failedBox, 3,
         2},
        {"worker retried",
         4,
         12,
         false,
         false,
         false,
         [](int n) { return n != 6 && n != 8; },
         {"扫描完成!"},
         12,
         2},
        {"wait for any fails", 2, 6, false, true, false, nullptr, failedBox, 2, 0},
        {"box fails", 50, 2, false, false, true, nullptr, {"扫描完成!", failedBox[0]}, 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EngineRig rig(c.limit);
        rig.AddRange(kNet198, 1, c.rows);
        if (c.name) {
            rig.Add("host.test");
        }
        // Answers take long enough that rows the dispatcher did not wait for would come late.
        rig.arp->SetDefault(Answers(kMac, 20ms));
        rig.threads->allowStart = c.allowStart;
        rig.threads->failWaitForAny = c.failWait;
        rig.throwNext = c.throwBox;
        rig.engine->OnScanAll();
        ASSERT_TRUE(rig.WaitUntilIdle());
        ASSERT_EQ(rig.Boxes(), c.boxes);
        EXPECT_EQ(rig.shown.back().type, c.boxes.back() == failedBox[0] ? 0x40u : 0u);
        EXPECT_TRUE(rig.Idle());
        EXPECT_EQ(rig.pos, c.pos);
        EXPECT_EQ(rig.arp->Calls().size(), static_cast<std::size_t>(c.pos));
        EXPECT_GE(rig.threads->failed, c.refused);
        EXPECT_LE(rig.arp->MaxActive(), c.limit);
        ExpectNothingMoreArrives(rig);
    }
}

}  // namespace
}  // namespace talvik::test
