// Stop, window close and thread-start failures: what the user sees once a scan is ended early.

#include <gtest/gtest.h>

#include "tests/support/EngineRig.h"

namespace talvik::test {
namespace {

constexpr std::array<std::uint8_t, 6> kMac = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};

// Nothing of a stopped scan may reach the window any more.
void ExpectNothingMoreArrives(EngineRig& rig) {
    const int writes = rig.list.writes;
    const int moves = rig.progress.moves;
    const std::size_t boxes = rig.messages.shown.size();
    const std::size_t commandCalls = rig.commands.calls.size();
    rig.ui->RunFor(std::chrono::milliseconds(100));
    EXPECT_EQ(rig.list.writes, writes);
    EXPECT_EQ(rig.progress.moves, moves);
    EXPECT_EQ(rig.messages.shown.size(), boxes);
    EXPECT_EQ(rig.commands.calls.size(), commandCalls);
}

TEST(Stop, MidScanEndsEveryWorkerAndDropsResultsOnTheirWay) {
    EngineRig rig(8);
    rig.AddRange(kNet203, 1, 40);
    rig.arp->SetDefault(Answers(kMac));
    for (std::uint32_t i = 20; i <= 40; ++i) {
        rig.arp->Script(kNet203 | i, Held(kMac));
    }
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.arp->WaitForCalls(27));
    ASSERT_TRUE(rig.arp->WaitForActive(8));
    // Results of finished workers are queued but not yet served when Stop comes.
    ASSERT_GT(rig.ui->Queued(), 0u);
    const int pos = rig.progress.pos;

    rig.engine->OnStopScan();
    EXPECT_FALSE(rig.engine->IsScanRunning());
    EXPECT_TRUE(rig.Idle());
    ASSERT_TRUE(rig.arp->WaitForIdle());
    EXPECT_EQ(rig.arp->Cancelled(), 8);
    ExpectNothingMoreArrives(rig);
    EXPECT_EQ(rig.progress.pos, pos);
    EXPECT_TRUE(rig.messages.shown.empty());
    // The dispatcher started nothing after the stop.
    EXPECT_EQ(rig.arp->Calls().size(), 27u);
}

TEST(Stop, WhileIdleOnlySetsTheIdleState) {
    EngineRig rig;
    rig.AddRange(kNet198, 1, 3);
    rig.engine->OnStopScan();
    EXPECT_EQ(rig.commands.calls.size(), 6u);
    EXPECT_TRUE(rig.Idle());
    EXPECT_EQ(rig.list.writes, 0);
    EXPECT_EQ(rig.progress.moves, 0);
}

TEST(Stop, ReachesWorkersBeyondALoweredLimit) {
    EngineRig rig(16);
    rig.AddRange(kNet203, 1, 50);
    rig.arp->SetDefault(Held(kMac));
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.arp->WaitForActive(16));
    rig.engine->Settings().workerLimit = 2;
    rig.engine->OnStopScan();
    ASSERT_TRUE(rig.arp->WaitForIdle());
    EXPECT_EQ(rig.arp->Cancelled(), 16);
    ExpectNothingMoreArrives(rig);
    for (const auto& row : rig.list.rows) {
        EXPECT_EQ(row.cells[1], "");
    }
}

TEST(Stop, DuringTheCompletionBoxKeepsTheWindowIdle) {
    EngineRig rig;
    rig.AddRange(kNet203, 1, 3);
    rig.messages.whileShown = [&] { rig.engine->OnStopScan(); };
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitForBox());
    EXPECT_FALSE(rig.engine->IsScanRunning());
    EXPECT_TRUE(rig.Idle());
    ExpectNothingMoreArrives(rig);
}

TEST(Stop, DuringNameLookupAbandonsIt) {
    EngineRig rig;
    rig.list.Add("slow.test");
    rig.list.Add("203.0.113.9");
    rig.resolver->Add("slow.test", 0xCB007102u);
    rig.resolver->Hold();
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.resolver->WaitForActive(1));
    rig.engine->OnStopScan();
    EXPECT_FALSE(rig.engine->IsScanRunning());
    EXPECT_TRUE(rig.Idle());

    rig.resolver->Release();
    ASSERT_TRUE(rig.resolver->WaitForIdle());
    ExpectNothingMoreArrives(rig);
    EXPECT_TRUE(rig.arp->Calls().empty());
    EXPECT_EQ(rig.list.Cell(0, 2), "");
}

TEST(Stop, RepeatedStartAndStopLeavesTheLastScanWhole) {
    EngineRig rig(16);
    rig.AddRange(kNet198, 0, 99);
    rig.list.Add("name.test");
    rig.resolver->Add("name.test", 0xC6336465u);
    rig.arp->SetDefault(Answers(kMac, std::chrono::milliseconds(1)));
    for (int round = 0; round < 60; ++round) {
        rig.engine->OnScanAll();
        if (round % 3 == 0) {
            rig.ui->RunPending();
        }
        rig.engine->OnStopScan();
        ASSERT_FALSE(rig.engine->IsScanRunning());
        if (round % 2 == 0) {
            rig.ui->RunPending();
        }
    }
    EXPECT_TRUE(rig.messages.shown.empty());

    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.progress.pos, 101);
    ASSERT_EQ(rig.messages.shown.size(), 1u);
    for (const auto& row : rig.list.rows) {
        ASSERT_EQ(row.cells[1], "running") << row.cells[0];
    }
    EXPECT_FALSE(rig.AnyOffThread());
}

TEST(Stop, NewScanOverARunningOneSilencesTheOld) {
    EngineRig rig(8);
    rig.AddRange(kNet203, 1, 20);
    rig.arp->SetDefault(Held(kMac));
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.arp->WaitForActive(8));
    // The old workers are told to stop; their answers must not count for the new scan.
    rig.arp->SetDefault(Answers(kMac));
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitUntilIdle());
    rig.ui->RunFor(std::chrono::milliseconds(50));
    EXPECT_EQ(rig.messages.shown.size(), 1u);
    EXPECT_EQ(rig.progress.pos, 20);
    EXPECT_EQ(rig.arp->Cancelled(), 8);
}

TEST(Close, DuringAScanEndsItsThreadsBeforeReturning) {
    EngineRig rig(32);
    rig.AddRange(kNet203, 1, 100);
    rig.arp->SetDefault(Held(kMac));
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.arp->WaitForActive(32));

    rig.engine.reset();
    // The dispatcher and its workers are gone once the window is.
    EXPECT_EQ(rig.arp->Active(), 0);
    EXPECT_EQ(rig.arp->Cancelled(), 32);
    EXPECT_EQ(rig.arp->Calls().size(), 32u);
    rig.ui->RunFor(std::chrono::milliseconds(50));
    EXPECT_EQ(rig.list.writes, 100 * 2);  // only the clearing at scan start
}

TEST(Close, WhileTheCompletionBoxIsUp) {
    EngineRig rig;
    rig.AddRange(kNet203, 1, 2);
    rig.messages.whileShown = [&] { rig.engine.reset(); };
    auto* engine = rig.engine.get();
    engine->OnScanAll();
    ASSERT_TRUE(rig.ui->RunUntil([&] { return rig.engine == nullptr; }));
    const std::size_t calls = rig.commands.calls.size();
    rig.ui->RunFor(std::chrono::milliseconds(30));
    EXPECT_EQ(rig.commands.calls.size(), calls);
}

TEST(Close, DuringNameLookupDoesNotWaitForIt) {
    EngineRig rig;
    rig.list.Add("stuck.test");
    rig.resolver->Hold();
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.resolver->WaitForActive(1));
    rig.engine.reset();  // would hang here if it waited for the lookup
    rig.resolver->Release();
    ASSERT_TRUE(rig.resolver->WaitForIdle());
    rig.ui->RunFor(std::chrono::milliseconds(30));
    EXPECT_EQ(rig.list.Cell(0, 2), "");
    EXPECT_TRUE(rig.arp->Calls().empty());
}

TEST(StartFailure, NoDispatcherGivesTheFailureMessageAndIdle) {
    EngineRig rig;
    rig.AddRange(kNet203, 1, 5);
    rig.threads->allowStart = [](int) { return false; };
    rig.engine->OnScanAll();
    ASSERT_EQ(rig.messages.shown.size(), 1u);
    EXPECT_EQ(rig.messages.shown[0].text, "扫描线程出错，正在退出!");
    EXPECT_EQ(rig.messages.shown[0].caption, "Talvik");
    EXPECT_EQ(rig.messages.shown[0].type, 0x40u);
    EXPECT_FALSE(rig.engine->IsScanRunning());
    EXPECT_TRUE(rig.Idle());
    ExpectNothingMoreArrives(rig);

    // The same when not even one lookup thread can start.
    EngineRig names;
    names.list.Add("host.test");
    names.threads->allowStart = [](int) { return false; };
    names.engine->OnScanAll();
    ASSERT_EQ(names.messages.shown.size(), 1u);
    EXPECT_EQ(names.messages.shown[0].type, 0x40u);
    EXPECT_FALSE(names.engine->IsScanRunning());
    EXPECT_TRUE(names.Idle());
}

TEST(StartFailure, WorkerIsRetriedOnceAnotherHasEnded) {
    EngineRig rig(4);
    rig.AddRange(kNet198, 1, 12);
    rig.arp->SetDefault(Answers(kMac, std::chrono::milliseconds(5)));
    // Start 0 is the dispatcher; the sixth and seventh workers fail on their first attempt.
    rig.threads->allowStart = [](int number) { return number != 6 && number != 8; };
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.threads->Failed(), 2);
    ASSERT_EQ(rig.messages.shown.size(), 1u);
    EXPECT_EQ(rig.messages.shown[0].text, "扫描完成!");
    EXPECT_EQ(rig.progress.pos, 12);
    EXPECT_EQ(rig.arp->Calls().size(), 12u);
    EXPECT_LE(rig.arp->MaxActive(), 4);
}

TEST(StartFailure, NoWorkerAtAllEndsTheScanWithTheFailureMessage) {
    EngineRig rig(4);
    rig.AddRange(kNet198, 1, 12);
    rig.arp->SetDefault(Answers(kMac));
    // The first three workers start, then threads run out for good.
    rig.threads->allowStart = [](int number) { return number <= 3; };
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitUntilIdle());
    ASSERT_EQ(rig.messages.shown.size(), 1u);
    EXPECT_EQ(rig.messages.shown[0].text, "扫描线程出错，正在退出!");
    EXPECT_EQ(rig.messages.shown[0].type, 0x40u);
    EXPECT_TRUE(rig.Idle());
    EXPECT_EQ(rig.progress.pos, 3);
    EXPECT_EQ(rig.arp->Calls().size(), 3u);
}

TEST(StartFailure, FailedWaitForAWorkerStillWaitsForTheStartedOnes) {
    EngineRig rig(2);
    rig.AddRange(kNet203, 1, 6);
    rig.arp->SetDefault(Answers(kMac, std::chrono::milliseconds(20)));
    rig.threads->failWaitForAny = true;
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitUntilIdle());
    ASSERT_EQ(rig.messages.shown.size(), 1u);
    EXPECT_EQ(rig.messages.shown[0].text, "扫描线程出错，正在退出!");
    // Both started workers were waited for, so their rows came in before the message.
    EXPECT_EQ(rig.progress.pos, 2);
    EXPECT_EQ(rig.arp->Active(), 0);
}

TEST(StartFailure, FailingCompletionBoxGivesTheFailureMessage) {
    EngineRig rig;
    rig.AddRange(kNet203, 1, 2);
    rig.messages.throwNext = true;
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitUntilIdle());
    ASSERT_EQ(rig.messages.shown.size(), 2u);
    EXPECT_EQ(rig.messages.shown[0].text, "扫描完成!");
    EXPECT_EQ(rig.messages.shown[1].text, "扫描线程出错，正在退出!");
    EXPECT_EQ(rig.messages.shown[1].type, 0x40u);
    EXPECT_TRUE(rig.Idle());
}

}  // namespace
}  // namespace talvik::test
