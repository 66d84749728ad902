// SPDX-License-Identifier: GPL-3.0-or-later
// The target table, the running state, the write-back of results, the worker pool and names.

#include <gtest/gtest.h>

#include "tests/support/EngineRig.h"

namespace talvik::test {
namespace {

using namespace std::chrono_literals;
constexpr Mac kMac = {0x00, 0x0C, 0x29, 0x3A, 0x4B, 0x5C};

TEST(ScanTable, TakesEveryRowInOrderCapsTheTableAndCompletesEmptyScansAtOnce) {
    struct Case {
        std::uint32_t network;
        int rows;
        bool all;
        int targets;
    } cases[] = {{0xC0A80100u, 254, true, 254},
                 {kNet203, 0, true, 0},
                 {kNet203, 3, false, 0},  // nothing selected
                 {kNet198, 266, true, MAX_TARGETS}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rows);
        EngineRig rig;
        for (int i = 0; i < c.rows; ++i) {
            rig.Add(FormatDottedDecimal(c.network | (1 + i % 254)));
        }
        bool runningDuringBox = false;
        rig.whileShown = [&] { runningDuringBox = rig.engine->IsScanRunning() && rig.Shows(true); };
        c.all ? rig.engine->OnScanAll() : rig.engine->OnScanSelected();
        EXPECT_EQ(rig.engine->TargetCount(), c.targets);
        EXPECT_EQ(rig.range, std::pair(0, c.targets));
        for (int i = 0; i < c.targets; ++i) {
            ASSERT_EQ(rig.engine->Target(i).row, i);
            ASSERT_EQ(rig.engine->Target(i).address, c.network | (1 + i % 254));
        }
        ASSERT_TRUE(rig.WaitUntilIdle());
        EXPECT_EQ(rig.shown, std::vector{kCompleteBox});
        EXPECT_TRUE(runningDuringBox);
        EXPECT_EQ(rig.pos, c.targets);
        EXPECT_EQ(rig.arp->Calls().size(), static_cast<std::size_t>(c.targets));
        EXPECT_TRUE(rig.Idle());
        EXPECT_FALSE(rig.offThread);
    }
}

TEST(ScanTable, ScanSelectedClearsEveryRowFirstAndClearResultsKeepsTheAddresses) {
    EngineRig rig;
    rig.AddRange(kNet203, 1, 10);
    const auto resultCells = [&] {
        std::string cells;
        for (auto& row : rig.rows) {
            cells += row.cells[1] + row.cells[2];
        }
        return cells;
    };
    for (auto& row : rig.rows) {
        row.cells[1] = "running";
    }
    rig.rows[3].selected = rig.rows[7].selected = true;
    rig.arp->SetDefault(Answers(kMac));
    rig.engine->OnScanSelected();
    EXPECT_EQ(rig.engine->TargetCount(), 2);
    EXPECT_EQ(rig.engine->Target(0).row, 3);
    EXPECT_EQ(rig.engine->Target(1).row, 7);
    EXPECT_EQ(rig.engine->Target(1).address, kNet203 | 8u);
    EXPECT_EQ(rig.range, std::pair(0, 2));
    EXPECT_EQ(resultCells(), "");
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(resultCells(), "running00-0c-29-3a-4b-5crunning00-0c-29-3a-4b-5c");
    EXPECT_EQ(rig.pos, 2);

    rig.engine->OnClearResults();
    EXPECT_EQ(resultCells(), "");
    EXPECT_EQ(rig.Cell(7, 0), "203.0.113.8");
    EXPECT_EQ(rig.pos, 0);
    EXPECT_EQ(rig.engine->TargetCount(), 0);
    // The reset zeroes every record, not only the count, so no stale row or address survives.
    for (int i = 0; i < MAX_TARGETS; ++i) {
        const ScanTarget& target = rig.engine->Target(i);
        ASSERT_TRUE(target.owner == nullptr && target.address == 0 && target.row == 0) << i;
    }
    EXPECT_TRUE(rig.Idle());
}

TEST(WorkerPool, RunsAtMostThePoolSizeTakenAtScanStart) {
    struct Case {
        int limit, targets, limitDuringScan, pool;
    } cases[] = {{50, 254, 50, 50}, {64, 10, 64, 10}, {1, 20, 1, 1},        {4, 30, 64, 4},
                 {16, 40, 2, 16},   {0, 5, 0, 1},     {1000, 255, 1000, 64}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        EngineRig rig(c.limit);
        rig.AddRange(kNet203, 1, c.targets);
        rig.arp->SetDefault(Held(kMac));
        rig.engine->OnScanAll();
        rig.engine->Settings().workerLimit = c.limitDuringScan;
        ASSERT_TRUE(rig.arp->WaitForActive(c.pool));
        rig.ui->RunFor(50ms);  // a full pool starts nothing more
        EXPECT_EQ(rig.arp->Calls().size(), static_cast<std::size_t>(c.pool));
        rig.arp->Release();  // the whole pool answers at the same moment
        ASSERT_TRUE(rig.WaitUntilIdle());
        EXPECT_EQ(rig.arp->MaxActive(), c.pool);
        EXPECT_EQ(rig.pos, c.targets);
        for (const auto& row : rig.rows) {
            ASSERT_EQ(row.cells[1], "running") << row.cells[0];
        }
        const auto calls = rig.arp->Calls();
        EXPECT_EQ(calls.size(), static_cast<std::size_t>(c.targets));
        if (c.pool == 1) {
            EXPECT_TRUE(std::is_sorted(calls.begin(), calls.end()));
        }
    }
}

TEST(Names, ShowTheLookupUntilTheirWorkersWriteAnsweringSilentOrUnresolved) {
    EngineRig rig(1);  // one worker at a time: the held first row keeps the others waiting
    // Blanks around a name are not part of it.
    for (const char* text : {"203.0.113.1", " gateway.test\t", "missing.test", "255.255.255.255"}) {
        rig.Add(text);
    }
    rig.resolver->names = {{"gateway.test", kNet203 | 7u}, {"255.255.255.255", kUnresolvedAddress}};
    rig.arp->SetDefault(Held());
    rig.arp->Script(kNet203 | 7u, Answers(kMac));
    rig.engine->OnScanAll();
    // The names are looked up beside the held first row.
    ASSERT_TRUE(rig.ui->RunUntil([&] {
        return rig.arp->Active() == 1 && !rig.Cell(1, 2).empty() && !rig.Cell(2, 2).empty() &&
               !rig.Cell(3, 2).empty();
    }));
    EXPECT_EQ(rig.Cell(1, 2), "203.0.113.7");
    EXPECT_EQ(rig.Cell(2, 2), "Unknown host");
    EXPECT_EQ(rig.Cell(3, 2), "255.255.255.255");  // only a lookup gives the marker as text
    EXPECT_EQ(rig.engine->Target(1).address, kNet203 | 7u);
    EXPECT_EQ(rig.engine->Target(2).address, kUnresolvedAddress);
    EXPECT_EQ(rig.engine->Target(3).address, kUnresolvedAddress);

    rig.arp->Release();
    ASSERT_TRUE(rig.WaitUntilIdle());
    const std::vector<std::string> cells = {rig.Cell(0, 1), rig.Cell(0, 2), rig.Cell(1, 1),
                                            rig.Cell(1, 2), rig.Cell(2, 1), rig.Cell(2, 2),
                                            rig.Cell(3, 1), rig.Cell(3, 2)};
    EXPECT_EQ(cells,
              (std::vector<std::string>{"", "", "running", "00-0c-29-3a-4b-5c", "", "", "", ""}));
    EXPECT_EQ(rig.pos, 4);
    EXPECT_EQ(rig.arp->Calls(), (std::vector<std::uint32_t>{kNet203 | 1u, kNet203 | 7u}));
}

// A name that takes long holds neither the window nor the address rows: they are asked and
// written at once, while the names' rows wait for their own lookups.
TEST(Names, SlowLookupsHoldNeitherTheWindowNorTheAddressRows) {
    EngineRig rig;
    rig.Add("203.0.113.1");
    for (std::uint32_t i = 0; i < 20; ++i) {
        rig.Add("slow" + std::to_string(i) + ".test");
        rig.resolver->names[rig.rows.back().cells[0]] = kNet198 | i;
    }
    rig.Add("203.0.113.2");
    rig.resolver->held = true;
    rig.arp->SetDefault(Answers(kMac));
    rig.engine->OnScanAll();  // returns although no lookup has come back
    EXPECT_TRUE(rig.Shows(true));
    ASSERT_TRUE(rig.ui->RunUntil([&] { return rig.resolver->active >= 2 && rig.pos == 2; }));
    EXPECT_EQ(rig.arp->Calls(), (std::vector<std::uint32_t>{kNet203 | 1u, kNet203 | 2u}));
    EXPECT_EQ(rig.Cell(0, 1) + rig.Cell(21, 1), "runningrunning");
    EXPECT_EQ(rig.Cell(1, 2), "");  // not looked up yet
    EXPECT_TRUE(rig.engine->IsScanRunning());
    rig.resolver->held = false;
    ASSERT_TRUE(rig.WaitUntilIdle());
    EXPECT_EQ(rig.arp->Calls().size(), 22u);
    EXPECT_EQ(rig.pos, 22);
    EXPECT_EQ(rig.shown, std::vector{kCompleteBox});
    EXPECT_FALSE(rig.offThread);
}

constexpr Mac kLateMac = {0x02, 0x1a, 0x00, 0x00, 0x00, 0x07};
constexpr const char* kLateText = "02-1a-00-00-00-07";

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// A late answer fills its row after the worker's empty result, or before it when it overtakes
// it, without another progress step; the scan stays running, with Stop enabled, until the late
// window has passed, then the sender sweeps once and the box comes.
// Only a target that was asked and stayed silent is silence: whatever kept a probe from being
// made ends the scan with one box that counts it by why, in place of the completion notice, and
// targets no ARP can reach get one notice after it. The fallback is explained after the first
// scan only. Rows of hosts that answered stay.
TEST(Outcomes, FailedProbesAreReportedOffLinkTargetsNoticedAndTheSenderExplainedOnce) {
    const auto offLink = [](int count) {
        return ShownBox{"有 " + std::to_string(count) +
                            " 个目标不在本地网段（需经网关、无路由或为本机回环地址），ARP "
                            "无法到达，未发送请求。",
                        "Talvik", kMbIconInformation};
    };
    using enum NotAskedReason;
    struct Case {
        std::vector<std::uint32_t> failures;  // for targets .2, .3, ...
        std::vector<ShownBox> shown;
        std::vector<NotAskedReason> reasons;  // of rows .2, .3, ...
        bool loopback = false;                // 127.0.0.1 as row .8
    } cases[] = {
        {{}, {kCompleteBox}, {}},
        {{kErrorHostUnreachable, kErrorHostUnreachable},
         {kCompleteBox, offLink(3)},
         {OffLink, OffLink},
         true},
        {{kErrorNetworkUnreachable, kErrorNetworkUnreachable, kErrorAccessDenied},
         {{"网卡 eth9 已断开，有 2 个目标未能探测。\n发送被系统拒绝（如防火墙），有 1 "
           "个目标未能探测。\n"
           "这些行留空，并不表示主机不在线。",
           "Talvik", kMbIconStop}},
         {LinkDown, LinkDown, Refused}},
        {{kErrorTooManyOpenFiles, kErrorGenFailure, kErrorTimeout, kErrorHostUnreachable,
          kErrorHostUnreachable, kErrorHelperLost},
         {{"系统资源不足，有 1 个目标未能探测。\nARP 辅助程序退出，有 1 个目标未能探测。\n"
           "发送出错，有 2 个目标未能探测。\n这些行留空，并不表示主机不在线。",
           "Talvik", kMbIconStop},
          offLink(2)},
         {NoResources, Failed, Failed, OffLink, OffLink, HelperLost}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failures.size());
        EngineRig rig;
        rig.AddRange(kNet203, 1, c.loopback ? 7 : 8);
        if (c.loopback) {
            rig.Add("127.0.0.1");
        }
        rig.arp->Script(kNet203 | 1u, Answers(kMac));
        for (std::size_t i = 0; i < c.failures.size(); ++i) {
            rig.arp->Fail(kNet203 | static_cast<std::uint32_t>(2 + i), c.failures[i]);
        }
        rig.engine->OnScanAll();
        ASSERT_TRUE(rig.WaitUntilIdle());
        EXPECT_EQ(rig.shown, c.shown);
        for (int row = 1; row < (c.loopback ? 7 : 8); ++row) {
            const auto reason = static_cast<std::size_t>(row - 1);
            EXPECT_EQ(rig.rows[static_cast<std::size_t>(row)].notAsked,
                      reason < c.reasons.size() ? std::optional(c.reasons[reason]) : std::nullopt)
                << row;
        }
        if (c.loopback) {
            // Nothing is sent for it, whatever the sender would make of it.
            EXPECT_EQ(rig.rows[7].notAsked, Loopback);
            EXPECT_EQ(rig.Cell(7, 1), "");
            EXPECT_EQ(std::ranges::count(rig.arp->Calls(), 0x7F000001u), 0);
        }
        EXPECT_EQ(rig.Cell(0, 1), "running");
        EXPECT_EQ(rig.pos, 8);
        EXPECT_TRUE(rig.Idle());
    }

    EngineRig rig(kStartWorkerLimit, "slow");  // the notice is the window's, given at its start
    rig.AddRange(kNet203, 1, 2);
    for (int scan = 0; scan < 2; ++scan) {
        rig.shown.clear();
        rig.engine->OnScanAll();
        ASSERT_TRUE(rig.WaitUntilIdle());
        std::vector<ShownBox> expected{kCompleteBox};
        if (scan == 0) {
            expected.push_back({"slow", "Talvik", kMbIconInformation});
        }
        EXPECT_EQ(rig.shown, expected);
    }
    // So is a helper that scans tried again in vain, once in a run.
    EngineRig again;
    again.arp->helperUnavailable = true;
    again.AddRange(kNet203, 1, 2);
    for (int scan = 0; scan < 2; ++scan) {
        again.shown.clear();
        again.engine->OnScanAll();
        ASSERT_TRUE(again.WaitUntilIdle());
        std::vector<ShownBox> expected{kCompleteBox};
        if (scan == 0) {
            expected.push_back({kHelperUnavailable, "Talvik", kMbIconInformation});
        }
        EXPECT_EQ(again.shown, expected);
    }
}

TEST(LateAnswers, FillTheirRowWhileTheWindowIsOpenAndOutlastTheEmptyResult) {
    EngineRig rig(2);
    rig.engine->Settings().networkCondition = kStartNetworkCondition;  // 500 ms
    rig.AddRange(kNet203, 1, 3);
    rig.arp->Script(kNet203 | 2u, Held());
    const auto start = std::chrono::steady_clock::now();
    rig.engine->OnScanAll();
    // Rows 1 and 3 written empty, row 2's worker still asking.
    ASSERT_TRUE(rig.ui->RunUntil([&] { return rig.pos == 2 && rig.arp->Active() == 1; }));
    ASSERT_TRUE(rig.arp->AnswerLate(kNet203 | 1u, kLateMac));
    ASSERT_TRUE(rig.arp->AnswerLate(kNet203 | 2u, kLateMac));  // its worker still asks
    rig.arp->Release();
    ASSERT_TRUE(rig.ui->RunUntil([&] { return rig.pos == 3; }));
    rig.ui->RunFor(20ms);
    EXPECT_EQ(rig.Cell(0, 1) + rig.Cell(0, 2), std::string("running") + kLateText);
    EXPECT_EQ(rig.Cell(1, 1) + rig.Cell(1, 2), std::string("running") + kLateText);
    EXPECT_EQ(rig.Cell(2, 1) + rig.Cell(2, 2), "");
    EXPECT_EQ(rig.pos, 3);
    EXPECT_TRUE(rig.shown.empty());
    EXPECT_TRUE(rig.engine->IsScanRunning() && rig.Shows(true));
    ASSERT_TRUE(rig.WaitForBox());
    EXPECT_GE(MsSince(start), 500.0);
    EXPECT_EQ(rig.arp->Sweeps(), 1);
    EXPECT_EQ(rig.shown, std::vector{kCompleteBox});
    EXPECT_EQ(rig.pos, 3);
    EXPECT_FALSE(rig.offThread);
}

// The window follows the network condition, never falls below the sender's floor, and a
// target that answered in time or was never asked keeps nobody waiting.
TEST(LateAnswers, TheWindowComesFromTheSliderAndTheSendersFloor) {
    struct Case {
        int condition;
        std::chrono::milliseconds floor;
        bool silent;
        double least, most;
    } cases[] = {{1000, 0ms, true, 500, 1400}, {5000, 0ms, true, 100, 900},
                 {2500, 0ms, true, 200, 1000}, {5000, 400ms, true, 400, 1200},
                 {100, 0ms, false, 0, 600},    {0, 0ms, false, 0, 600}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.condition);
        EngineRig rig;
        rig.engine->Settings().networkCondition = c.condition;
        rig.arp->floor = c.floor;
        rig.AddRange(kNet203, 1, 4);
        if (!c.silent) {
            rig.arp->SetDefault(Answers(kLateMac));
        }
        const auto start = std::chrono::steady_clock::now();
        rig.engine->OnScanAll();
        ASSERT_TRUE(rig.WaitForBox());
        const double took = MsSince(start);
        EXPECT_GE(took, c.least);
        EXPECT_LT(took, c.most);
    }
    EXPECT_EQ(LateWindow(100), 5000ms);
    EXPECT_EQ(LateWindow(1000), 500ms);
    EXPECT_EQ(LateWindow(5000), 100ms);
    EXPECT_EQ(LateWindow(99999), 100ms);
}

// What a sender loses while the scan listens (its helper ended) is handed back and asked
// again, with a late window of its own from that request and no second progress step; the
// answer to the new request fills the row.
TEST(LateAnswers, WhatTheSenderLosesIsAskedAgainWithAWindowOfItsOwn) {
    EngineRig rig;
    rig.engine->Settings().networkCondition = kStartNetworkCondition;  // 500 ms
    rig.AddRange(kNet203, 1, 3);
    rig.engine->OnScanAll();
    ASSERT_TRUE(rig.ui->RunUntil([&] { return rig.pos == 3; }));
    rig.ui->RunFor(300ms);
    ASSERT_TRUE(rig.arp->LoseLate(kNet203 | 2u));
    ASSERT_TRUE(rig.ui->RunUntil([&] { return rig.arp->Calls().size() == 4; }));
    const auto askedAgain = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.arp->Calls().back(), kNet203 | 2u);
    ASSERT_TRUE(rig.arp->AnswerLate(kNet203 | 2u, kLateMac));
    ASSERT_TRUE(rig.WaitForBox());
    EXPECT_GE(MsSince(askedAgain), 400.0);
    EXPECT_EQ(rig.shown, std::vector<ShownBox>{kCompleteBox});
    EXPECT_EQ(rig.Cell(1, 1), "running");
    EXPECT_EQ(rig.Cell(1, 2), kLateText);
    EXPECT_EQ(rig.pos, 3);
    EXPECT_FALSE(rig.offThread);
}

// Both settings are read when the scan starts: a change made while names are still being
// looked up reaches the next scan only.
TEST(LateAnswers, SettingsChangedDuringLookupsWaitForTheNextScan) {
    EngineRig rig(8);
    rig.Add("slow.test");
    rig.AddRange(kNet203, 1, 16);
    rig.resolver->names["slow.test"] = kNet203 | 99u;
    rig.resolver->held = true;
    rig.arp->SetDefault(Held());
    const auto start = std::chrono::steady_clock::now();
    rig.engine->OnScanAll();
    rig.engine->Settings().networkCondition = kMinNetworkCondition;  // 5 s
    rig.engine->Settings().workerLimit = 1;
    rig.resolver->held = false;
    ASSERT_TRUE(rig.ui->RunUntil([&] { return rig.arp->Active() == 8; }));
    rig.arp->Release();
    ASSERT_TRUE(rig.WaitForBox());
    EXPECT_LT(MsSince(start), 2500.0);  // the 100 ms window, not 5 s
    EXPECT_EQ(rig.arp->MaxActive(), 8);
}

// Stop or close while the window is open ends the scan at once; nothing late from it, nor
// from an earlier scan, reaches the window afterwards or in the next scan.
TEST(LateAnswers, NothingLateArrivesAfterStopCloseOrInTheNextScan) {
    for (bool close : {false, true}) {
        SCOPED_TRACE(close);
        EngineRig rig;
        rig.engine->Settings().networkCondition = kMinNetworkCondition;  // 5 s
        rig.AddRange(kNet203, 1, 3);
        rig.engine->OnScanAll();
        ASSERT_TRUE(rig.ui->RunUntil([&] { return rig.pos == 3; }));
        EXPECT_TRUE(rig.engine->IsScanRunning() && rig.Shows(true));
        const auto stopping = std::chrono::steady_clock::now();
        close ? rig.engine.reset() : rig.engine->OnStopScan();
        EXPECT_LT(MsSince(stopping), 1000.0);
        const int changes = rig.changes;
        EXPECT_TRUE(rig.arp->AnswerLate(kNet203 | 2u, kLateMac));
        rig.ui->RunFor(50ms);
        EXPECT_EQ(rig.changes, changes);
        EXPECT_EQ(rig.arp->Sweeps(), 0);
        EXPECT_TRUE(rig.shown.empty());
        if (close) {
            continue;
        }
        EXPECT_TRUE(rig.Idle());
        rig.arp->Script(kNet203 | 1u, Held());  // keeps the next scan running
        rig.engine->Settings().networkCondition = kMaxNetworkCondition;
        rig.engine->OnScanAll();
        ASSERT_TRUE(rig.arp->WaitForActive(1));
        ASSERT_TRUE(rig.arp->AnswerLate(kNet203 | 2u, kLateMac, 0));  // the first scan's call
        rig.ui->RunFor(50ms);
        EXPECT_EQ(rig.Cell(1, 1), "");
        rig.arp->Release();
        ASSERT_TRUE(rig.WaitForBox());
        EXPECT_EQ(rig.Cell(1, 1), "");
    }
}

}  // namespace
}  // namespace talvik::test
