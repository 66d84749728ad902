// The target table, the running state, the write-back of results and the worker pool.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "tests/support/EngineRig.h"

namespace talvik::test {
namespace {

constexpr std::array<std::uint8_t, 6> kMac = {0x00, 0x0C, 0x29, 0x3A, 0x4B, 0x5C};

TEST(ScanTable, ScanAllTakesEveryRowInOrder) {
    EngineRig rig;
    rig.AddRange(0xC0A80100u, 1, 254);
    rig.engine->OnScanAll();

    EXPECT_TRUE(rig.engine->IsScanRunning());
    EXPECT_EQ(rig.engine->TargetCount(), 254);
    EXPECT_EQ(rig.progress.minimum, 0);
    EXPECT_EQ(rig.progress.maximum, 254);
    EXPECT_EQ(rig.engine->Target(0).address, 0xC0A80101u);
    EXPECT_EQ(rig.engine->Target(0).row, 0);
    EXPECT_EQ(rig.engine->Target(253).address, 0xC0A801FEu);
    EXPECT_EQ(rig.engine->Target(253).row, 253);
    EXPECT_EQ(rig.engine->Target(0).owner, rig.engine.get());
    EXPECT_EQ(rig.engine->Target(254).address, 0u);

    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.progress.pos, 254);
    ASSERT_EQ(rig.messages.shown.size(), 1u);
    EXPECT_EQ(rig.messages.shown[0].text, "扫描完成!");
    EXPECT_EQ(rig.messages.shown[0].caption, "Talvik");
    EXPECT_EQ(rig.messages.shown[0].type, 0u);
    EXPECT_TRUE(rig.Idle());
    EXPECT_FALSE(rig.AnyOffThread());
}

TEST(ScanTable, ScanSelectedTakesSelectedRowsAfterClearingAll) {
    EngineRig rig;
    rig.AddRange(kNet203, 1, 10);
    for (auto& row : rig.list.rows) {
        row.cells[1] = "running";
        row.cells[2] = "aa-aa-aa-aa-aa-aa";
    }
    rig.list.rows[3].selected = true;
    rig.list.rows[7].selected = true;
    rig.arp->SetDefault(Held());

    rig.engine->OnScanSelected();
    EXPECT_EQ(rig.engine->TargetCount(), 2);
    EXPECT_EQ(rig.engine->Target(0).row, 3);
    EXPECT_EQ(rig.engine->Target(1).row, 7);
    EXPECT_EQ(rig.engine->Target(1).address, kNet203 | 8u);
    EXPECT_EQ(rig.progress.maximum, 2);
    for (const auto& row : rig.list.rows) {
        EXPECT_EQ(row.cells[1], "");
        EXPECT_EQ(row.cells[2], "");
    }
    EXPECT_EQ(rig.list.Cell(3, 0), "203.0.113.4");
    ASSERT_TRUE(rig.arp->WaitForActive(2));
    rig.arp->Release();
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.progress.pos, 2);
}

TEST(ScanTable, EmptySelectionAndEmptyListCompleteAtOnce) {
    EngineRig rig;
    rig.AddRange(kNet203, 1, 3);
    rig.engine->OnScanSelected();
    EXPECT_EQ(rig.engine->TargetCount(), 0);
    EXPECT_EQ(rig.progress.maximum, 0);
    ASSERT_TRUE(rig.WaitUntilIdle());
    ASSERT_EQ(rig.messages.shown.size(), 1u);
    EXPECT_EQ(rig.messages.shown[0].text, "扫描完成!");
    EXPECT_TRUE(rig.arp->Calls().empty());

    EngineRig empty;
    empty.engine->OnScanAll();
    ASSERT_TRUE(empty.WaitUntilIdle());
    EXPECT_EQ(empty.messages.shown.size(), 1u);
    EXPECT_TRUE(empty.resolver->Lookups().empty());
    EXPECT_TRUE(empty.Idle());
}

TEST(ScanTable, ClearResultsEmptiesCellsAndReturnsToIdle) {
    EngineRig rig;
    rig.AddRange(kNet198, 1, 5);
    rig.arp->SetDefault(Answers(kMac));
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.list.Cell(4, 1), "running");
    const int range = rig.progress.maximum;

    rig.engine->OnClearResults();
    for (const auto& row : rig.list.rows) {
        EXPECT_EQ(row.cells[1], "");
        EXPECT_EQ(row.cells[2], "");
    }
    EXPECT_EQ(rig.list.Cell(4, 0), "198.51.100.5");
    EXPECT_EQ(rig.progress.pos, 0);
    EXPECT_EQ(rig.progress.maximum, range);
    EXPECT_EQ(rig.engine->TargetCount(), 0);
    EXPECT_EQ(rig.engine->Target(0).address, 0u);
    EXPECT_FALSE(rig.engine->IsScanRunning());
    EXPECT_TRUE(rig.Idle());
}

TEST(ScanTable, MoreRowsThanTheTableHoldsAreCappedNotOverrun) {
    EngineRig rig;
    rig.AddRange(kNet203, 0, 255);
    rig.AddRange(kNet198, 0, 9);
    rig.engine->OnScanAll();
    EXPECT_EQ(rig.engine->TargetCount(), MAX_TARGETS);
    EXPECT_EQ(rig.progress.maximum, MAX_TARGETS);
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.progress.pos, MAX_TARGETS);
    EXPECT_EQ(rig.arp->Calls().size(), static_cast<std::size_t>(MAX_TARGETS));
}

TEST(RunningState, SwitchesToolbarThenMenuInOrder) {
    EngineRig rig;
    rig.engine->SetRunningState(1);
    const std::vector<CommandCall> running = {{false, ID_SCAN_ALL, 0},
                                              {false, ID_SCAN_SELECTED, 0},
                                              {false, ID_STOP_SCAN, 1},
                                              {true, ID_SCAN_ALL, kMfGrayed},
                                              {true, ID_SCAN_SELECTED, kMfGrayed},
                                              {true, ID_STOP_SCAN, kMfEnabled}};
    EXPECT_EQ(rig.commands.calls, running);
    EXPECT_TRUE(rig.Running());

    rig.commands.calls.clear();
    rig.engine->SetRunningState(0);
    const std::vector<CommandCall> idle = {{false, ID_SCAN_ALL, 1},
                                           {false, ID_SCAN_SELECTED, 1},
                                           {false, ID_STOP_SCAN, 0},
                                           {true, ID_SCAN_ALL, kMfEnabled},
                                           {true, ID_SCAN_SELECTED, kMfEnabled},
                                           {true, ID_STOP_SCAN, kMfGrayed}};
    EXPECT_EQ(rig.commands.calls, idle);
    EXPECT_FALSE(rig.engine->IsScanRunning());  // only shows the state
}

TEST(RunningState, StaysRunningWhileTheCompletionBoxIsUp) {
    EngineRig rig;
    rig.AddRange(kNet203, 1, 2);
    bool runningDuringBox = false;
    rig.messages.whileShown = [&] {
        runningDuringBox = rig.engine->IsScanRunning() && rig.Running();
    };
    rig.engine->OnScanAll();
    EXPECT_TRUE(rig.Running());
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_TRUE(runningDuringBox);
    EXPECT_TRUE(rig.Idle());
}

TEST(WriteBack, AnsweringSilentAndUnresolvedRows) {
    EngineRig rig;
    rig.list.Add("203.0.113.5");
    rig.list.Add("203.0.113.6");
    rig.list.Add("nowhere.example");
    rig.arp->Script(0xCB007105u, Answers(kMac));
    rig.arp->Script(0xCB007106u, Silent());

    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.list.Cell(0, 1), "running");
    EXPECT_EQ(rig.list.Cell(0, 2), "00-0c-29-3a-4b-5c");
    EXPECT_EQ(rig.list.Cell(1, 1), "");
    EXPECT_EQ(rig.list.Cell(1, 2), "");
    EXPECT_EQ(rig.list.Cell(2, 1), "");
    EXPECT_EQ(rig.list.Cell(2, 2), "");  // the worker replaces "Unknown host"
    EXPECT_EQ(rig.engine->Target(2).address, kUnresolvedAddress);
    EXPECT_EQ(rig.arp->Calls().size(), 2u);  // never for the unresolved row
    EXPECT_EQ(rig.progress.pos, 3);
    EXPECT_FALSE(rig.AnyOffThread());
}

TEST(WriteBack, ProgressReachesTheTargetCountWhenAllFinishAtOnce) {
    EngineRig rig(kMaxWorkerLimit);
    rig.AddRange(kNet198, 0, 254);
    rig.arp->SetDefault(Held(kMac));
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.arp->WaitForActive(kMaxWorkerLimit));
    rig.arp->Release();  // every held probe answers at the same moment
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.progress.pos, 255);
    EXPECT_EQ(rig.progress.maximum, 255);
    EXPECT_EQ(rig.messages.shown.size(), 1u);
    for (const auto& row : rig.list.rows) {
        ASSERT_EQ(row.cells[1], "running") << row.cells[0];
    }
}

TEST(WorkerPool, NeverRunsMoreThanTheLimit) {
    EngineRig rig(50);
    rig.AddRange(0xC0A80100u, 1, 254);
    rig.arp->SetDefault(Held());
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.arp->WaitForActive(50));
    // The pool is full; no further start may come while all fifty are held.
    rig.ui->RunFor(std::chrono::milliseconds(100));
    EXPECT_EQ(rig.arp->Calls().size(), 50u);
    rig.arp->Release();
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.arp->MaxActive(), 50);
    EXPECT_EQ(rig.arp->Calls().size(), 254u);
    EXPECT_EQ(rig.progress.pos, 254);
}

TEST(WorkerPool, LimitOneProbesStrictlyInTableOrder) {
    EngineRig rig(1);
    rig.AddRange(kNet203, 1, 20);
    rig.arp->SetDefault(Silent(std::chrono::milliseconds(1)));
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitUntilIdle());
    std::vector<std::uint32_t> expected;
    for (std::uint32_t i = 1; i <= 20; ++i) {
        expected.push_back(kNet203 | i);
    }
    EXPECT_EQ(rig.arp->Calls(), expected);
    EXPECT_EQ(rig.arp->MaxActive(), 1);
}

TEST(WorkerPool, SmallScanStartsEveryWorkerAtOnce) {
    EngineRig rig(64);
    rig.AddRange(kNet203, 1, 10);
    rig.arp->SetDefault(Held());
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.arp->WaitForActive(10));
    rig.arp->Release();
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.arp->MaxActive(), 10);
}

TEST(WorkerPool, LimitIsTakenAtScanStart) {
    EngineRig rig(4);
    rig.AddRange(kNet203, 1, 30);
    rig.arp->SetDefault(Held());
    rig.engine->OnScanAll();
    rig.engine->Settings().workerLimit = 64;  // the options dialog during a scan
    ASSERT_TRUE(rig.arp->WaitForActive(4));
    rig.ui->RunFor(std::chrono::milliseconds(50));
    EXPECT_EQ(rig.arp->Calls().size(), 4u);
    rig.arp->Release();
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.arp->MaxActive(), 4);
}

TEST(WorkerPool, OutOfRangeLimitIsKeptInBounds) {
    EngineRig rig(0);  // settings not set up yet
    rig.AddRange(kNet203, 1, 5);
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.progress.pos, 5);
    EXPECT_EQ(rig.arp->MaxActive(), 1);

    EngineRig wide(1000);
    wide.AddRange(kNet203, 0, 99);
    wide.arp->SetDefault(Held());
    wide.engine->OnScanAll();
    ASSERT_TRUE(wide.arp->WaitForActive(64));
    wide.ui->RunFor(std::chrono::milliseconds(50));
    EXPECT_EQ(wide.arp->Active(), 64);
    wide.arp->Release();
    ASSERT_TRUE(wide.WaitUntilIdle());
    EXPECT_EQ(wide.progress.pos, 100);
}

TEST(Names, ResolvedNameShowsItsAddressUntilProbed) {
    EngineRig rig;
    rig.list.Add("203.0.113.1");
    rig.list.Add("gateway.test");
    rig.list.Add("missing.test");
    rig.resolver->Add("gateway.test", 0xCB007107u);
    rig.arp->Script(0xCB007107u, Held(kMac));

    rig.engine->OnScanAll();
    EXPECT_TRUE(rig.engine->IsScanRunning());
    ASSERT_TRUE(rig.ui->RunUntil([&] { return rig.progress.pos == 2 && rig.arp->Active() == 1; }));
    EXPECT_EQ(rig.list.Cell(1, 2), "203.0.113.7");
    EXPECT_EQ(rig.list.Cell(2, 1), "");
    EXPECT_EQ(rig.engine->Target(1).address, 0xCB007107u);
    EXPECT_EQ(rig.engine->Target(2).address, kUnresolvedAddress);

    rig.arp->Release();
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.list.Cell(1, 1), "running");
    EXPECT_EQ(rig.list.Cell(1, 2), "00-0c-29-3a-4b-5c");
    const auto lookups = rig.resolver->Lookups();
    EXPECT_EQ(std::set<std::string>(lookups.begin(), lookups.end()),
              (std::set<std::string>{"gateway.test", "missing.test"}));
    // The ARP request never goes to the unresolved marker.
    const auto calls = rig.arp->Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), kUnresolvedAddress), 0);
}

TEST(Names, UnknownHostShowsUntilItsWorkerWrites) {
    EngineRig rig(1);  // one worker at a time: the held first row keeps the others waiting
    rig.list.Add("203.0.113.1");
    rig.list.Add("missing.test");
    rig.list.Add("255.255.255.255");
    rig.resolver->Add("255.255.255.255", kUnresolvedAddress);
    rig.arp->Script(0xCB007101u, Held());

    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.ui->RunUntil([&] { return rig.arp->Active() == 1; }));
    EXPECT_EQ(rig.list.Cell(1, 2), "Unknown host");
    EXPECT_EQ(rig.list.Cell(2, 2), "255.255.255.255");
    EXPECT_EQ(rig.engine->Target(1).address, kUnresolvedAddress);
    EXPECT_EQ(rig.engine->Target(2).address, kUnresolvedAddress);
    const auto lookups = rig.resolver->Lookups();
    EXPECT_NE(std::find(lookups.begin(), lookups.end(), "255.255.255.255"), lookups.end());

    rig.arp->Release();
    ASSERT_TRUE(rig.WaitUntilIdle());
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(rig.list.Cell(row, 1), "");
        EXPECT_EQ(rig.list.Cell(row, 2), "");
    }
    EXPECT_EQ(rig.progress.pos, 3);
    EXPECT_EQ(rig.arp->Calls(), std::vector<std::uint32_t>{0xCB007101u});
}

TEST(Names, SlowLookupsLeaveTheWindowResponsive) {
    EngineRig rig;
    rig.list.Add("203.0.113.1");
    for (int i = 0; i < 20; ++i) {
        rig.list.Add("slow" + std::to_string(i) + ".test");
        rig.resolver->Add("slow" + std::to_string(i) + ".test", kNet198 | std::uint32_t(i));
    }
    rig.resolver->Hold();

    rig.engine->OnScanAll();  // returns although no lookup has come back
    EXPECT_TRUE(rig.engine->IsScanRunning());
    EXPECT_TRUE(rig.Running());
    ASSERT_TRUE(rig.resolver->WaitForActive(2));  // looked up side by side
    rig.ui->RunFor(std::chrono::milliseconds(30));
    EXPECT_TRUE(rig.arp->Calls().empty());
    EXPECT_EQ(rig.list.Cell(5, 2), "");

    rig.resolver->Release();
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_GT(rig.resolver->MaxActive(), 1);
    EXPECT_LE(rig.resolver->MaxActive(), 8);
    EXPECT_EQ(rig.arp->Calls().size(), 21u);
    EXPECT_EQ(rig.progress.pos, 21);
    EXPECT_FALSE(rig.AnyOffThread());
}

}  // namespace
}  // namespace talvik::test
