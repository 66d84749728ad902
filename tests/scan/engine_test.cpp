// The target table, the running state, the write-back of results, the worker pool and names.

#include <gtest/gtest.h>

#include "tests/support/EngineRig.h"

namespace talvik::test {
namespace {

using namespace std::chrono_literals;
constexpr Mac kMac = {0x00, 0x0C, 0x29, 0x3A, 0x4B, 0x5C};

TEST(ScanTable, ScanAllTakesEveryRowInOrderAndCompletes) {
    EngineRig rig;
    rig.AddRange(0xC0A80100u, 1, 254);
    rig.engine->OnScanAll();
    EXPECT_TRUE(rig.engine->IsScanRunning());
    EXPECT_EQ(rig.engine->TargetCount(), 254);
    EXPECT_EQ(rig.maximum, 254);
    EXPECT_EQ(rig.engine->Target(0).address, 0xC0A80101u);
    EXPECT_EQ(rig.engine->Target(253).address, 0xC0A801FEu);
    EXPECT_EQ(rig.engine->Target(253).row, 253);
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.pos, 254);
    ASSERT_EQ(rig.shown.size(), 1u);
    EXPECT_EQ(rig.shown[0].text, "扫描完成!");
    EXPECT_EQ(rig.shown[0].caption, "Talvik");
    EXPECT_EQ(rig.shown[0].type, 0u);
    EXPECT_TRUE(rig.Idle());
    EXPECT_FALSE(rig.offThread);
}

TEST(ScanTable, ScanSelectedTakesSelectedRowsAfterClearingAll) {
    EngineRig rig;
    rig.AddRange(kNet203, 1, 10);
    for (auto& row : rig.rows) {
        row.cells[1] = "running";
        row.cells[2] = "aa-aa-aa-aa-aa-aa";
    }
    rig.rows[3].selected = rig.rows[7].selected = true;
    rig.arp->SetDefault(Held());
    rig.engine->OnScanSelected();
    EXPECT_EQ(rig.engine->TargetCount(), 2);
    EXPECT_EQ(rig.engine->Target(0).row, 3);
    EXPECT_EQ(rig.engine->Target(1).row, 7);
    EXPECT_EQ(rig.engine->Target(1).address, kNet203 | 8u);
    EXPECT_EQ(rig.maximum, 2);
    for (const auto& row : rig.rows) {
        EXPECT_EQ(row.cells[1] + row.cells[2], "");
    }
    ASSERT_TRUE(rig.arp->WaitForActive(2));
    rig.arp->Release();
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.pos, 2);
}

TEST(ScanTable, NoTargetsCompleteAtOnceAndTooManyAreCapped) {
    struct Case {
        int rows;
        bool all;
        int targets;
    } cases[] = {{0, true, 0}, {3, false, 0}, {266, true, MAX_TARGETS}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rows);
        EngineRig rig;
        rig.AddRange(kNet203, 0, c.rows - 1);
        c.all ? rig.engine->OnScanAll() : rig.engine->OnScanSelected();
        EXPECT_EQ(rig.engine->TargetCount(), c.targets);
        EXPECT_EQ(rig.maximum, c.targets);
        ASSERT_TRUE(rig.WaitUntilIdle());
        EXPECT_EQ(rig.Boxes(), std::vector<std::string>{"扫描完成!"});
        EXPECT_EQ(rig.pos, c.targets);
        EXPECT_EQ(rig.arp->Calls().size(), static_cast<std::size_t>(c.targets));
        EXPECT_TRUE(rig.Idle());
    }
}

TEST(ScanTable, ClearResultsAfterAScanKeepsOnlyTheAddresses) {
    EngineRig rig;
    rig.AddRange(kNet198, 1, 5);
    rig.arp->SetDefault(Answers(kMac));
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitUntilIdle());
    ASSERT_EQ(rig.Cell(4, 1), "running");
    rig.engine->OnClearResults();
    for (const auto& row : rig.rows) {
        EXPECT_EQ(row.cells[1] + row.cells[2], "");
    }
    EXPECT_EQ(rig.Cell(4, 0), "198.51.100.5");
    EXPECT_EQ(rig.pos, 0);
    EXPECT_EQ(rig.engine->TargetCount(), 0);
    EXPECT_TRUE(rig.Idle());
}

TEST(RunningState, SetsToolbarThenMenuAndHoldsWhileTheBoxIsUp) {
    EngineRig rig;
    rig.engine->SetRunningState(1);
    rig.engine->SetRunningState(0);
    const std::vector<CommandCall> expected = {{false, ID_SCAN_ALL, 0},
                                               {false, ID_SCAN_SELECTED, 0},
                                               {false, ID_STOP_SCAN, 1},
                                               {true, ID_SCAN_ALL, kMfGrayed},
                                               {true, ID_SCAN_SELECTED, kMfGrayed},
                                               {true, ID_STOP_SCAN, kMfEnabled},
                                               {false, ID_SCAN_ALL, 1},
                                               {false, ID_SCAN_SELECTED, 1},
                                               {false, ID_STOP_SCAN, 0},
                                               {true, ID_SCAN_ALL, kMfEnabled},
                                               {true, ID_SCAN_SELECTED, kMfEnabled},
                                               {true, ID_STOP_SCAN, kMfGrayed}};
    EXPECT_EQ(rig.calls, expected);

    rig.AddRange(kNet203, 1, 2);
    bool runningDuringBox = false;
    rig.whileShown = [&] { runningDuringBox = rig.engine->IsScanRunning() && rig.Running(); };
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_TRUE(runningDuringBox);
    EXPECT_TRUE(rig.Idle());
}

TEST(WriteBack, AnsweringSilentAndUnresolvedRows) {
    EngineRig rig;
    rig.AddRange(kNet203, 5, 6);
    rig.Add("nowhere.test");
    rig.arp->Script(kNet203 | 5u, Answers(kMac));
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.Cell(0, 1), "running");
    EXPECT_EQ(rig.Cell(0, 2), "00-0c-29-3a-4b-5c");
    for (int row : {1, 2}) {  // the worker replaces "Unknown host" as well
        EXPECT_EQ(rig.Cell(row, 1) + rig.Cell(row, 2), "") << row;
    }
    EXPECT_EQ(rig.arp->Calls(), (std::vector<std::uint32_t>{kNet203 | 5u, kNet203 | 6u}));
    EXPECT_EQ(rig.pos, 3);
    EXPECT_FALSE(rig.offThread);
}

TEST(WriteBack, ProgressReachesTheTargetCountWhenAllFinishAtOnce) {
    EngineRig rig(kMaxWorkerLimit);
    rig.AddRange(kNet198, 0, 254);
    rig.arp->SetDefault(Held(kMac));
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.arp->WaitForActive(kMaxWorkerLimit));
    rig.arp->Release();  // every held probe answers at the same moment
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.pos, 255);
    for (const auto& row : rig.rows) {
        ASSERT_EQ(row.cells[1], "running") << row.cells[0];
    }
}

TEST(WorkerPool, RunsAtMostThePoolSizeTakenAtScanStart) {
    struct Case {
        int limit, targets, limitDuringScan, pool;
    } cases[] = {{50, 254, 50, 50}, {64, 10, 64, 10}, {1, 20, 1, 1},        {4, 30, 64, 4},
                 {16, 40, 2, 16},   {0, 5, 0, 1},     {1000, 100, 1000, 64}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        EngineRig rig(c.limit);
        rig.AddRange(kNet203, 1, c.targets);
        rig.arp->SetDefault(Held());
        rig.engine->OnScanAll();
        rig.engine->Settings().workerLimit = c.limitDuringScan;
        ASSERT_TRUE(rig.arp->WaitForActive(c.pool));
        rig.ui->RunFor(50ms);  // a full pool starts nothing more
        EXPECT_EQ(rig.arp->Calls().size(), static_cast<std::size_t>(c.pool));
        rig.arp->Release();
        ASSERT_TRUE(rig.WaitUntilIdle());
        EXPECT_EQ(rig.arp->MaxActive(), c.pool);
        EXPECT_EQ(rig.pos, c.targets);
        const auto calls = rig.arp->Calls();
        EXPECT_EQ(calls.size(), static_cast<std::size_t>(c.targets));
        if (c.pool == 1) {
            EXPECT_TRUE(std::is_sorted(calls.begin(), calls.end()));
        }
    }
}

TEST(Names, ResolvedAndUnresolvedRowsUntilTheirWorkersWrite) {
    EngineRig rig(1);  // one worker at a time: the held first row keeps the others waiting
    rig.Add("203.0.113.1");
    rig.Add("gateway.test");
    rig.Add("missing.test");
    rig.Add("255.255.255.255");  // the unresolved marker, so only a lookup can give it
    rig.resolver->Add("gateway.test", kNet203 | 7u);
    rig.resolver->Add("255.255.255.255", kUnresolvedAddress);
    rig.arp->SetDefault(Held(kMac));
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.ui->RunUntil([&] { return rig.arp->Active() == 1; }));
    EXPECT_EQ(rig.Cell(1, 2), "203.0.113.7");
    EXPECT_EQ(rig.Cell(2, 2), "Unknown host");
    EXPECT_EQ(rig.Cell(3, 2), "255.255.255.255");
    EXPECT_EQ(rig.engine->Target(1).address, kNet203 | 7u);
    EXPECT_EQ(rig.engine->Target(2).address, kUnresolvedAddress);
    EXPECT_EQ(rig.engine->Target(3).address, kUnresolvedAddress);

    rig.arp->Release();
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.Cell(1, 1), "running");
    EXPECT_EQ(rig.Cell(1, 2), "00-0c-29-3a-4b-5c");
    for (int row : {2, 3}) {
        EXPECT_EQ(rig.Cell(row, 1) + rig.Cell(row, 2), "") << row;
    }
    EXPECT_EQ(rig.pos, 4);
    EXPECT_EQ(rig.arp->Calls(), (std::vector<std::uint32_t>{kNet203 | 1u, kNet203 | 7u}));
}

TEST(Names, SlowLookupsLeaveTheWindowResponsive) {
    EngineRig rig;
    rig.Add("203.0.113.1");
    for (std::uint32_t i = 0; i < 20; ++i) {
        rig.Add("slow" + std::to_string(i) + ".test");
        rig.resolver->Add("slow" + std::to_string(i) + ".test", kNet198 | i);
    }
    rig.resolver->Hold();
    rig.engine->OnScanAll();  // returns although no lookup has come back
    EXPECT_TRUE(rig.Running());
    ASSERT_TRUE(rig.ui->RunUntil([&] { return rig.resolver->Active() >= 2; }));  // side by side
    rig.ui->RunFor(30ms);
    EXPECT_TRUE(rig.arp->Calls().empty());
    rig.resolver->Release();
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_LE(rig.resolver->MaxActive(), 8);
    EXPECT_EQ(rig.arp->Calls().size(), 21u);
    EXPECT_EQ(rig.pos, 21);
    EXPECT_FALSE(rig.offThread);
}

}  // namespace
}  // namespace talvik::test
