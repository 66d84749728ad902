// SPDX-License-Identifier: GPL-3.0-or-later
#include <cmath>

#include "tests/ui/DialogFixture.h"

namespace talvik::test {
namespace {

class ScanStateTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        arp->SetDefault(Held());
        arp->Script(0xCB007102,
                    Held(std::array<std::uint8_t, 6>{2, 0, 0x5e, 0x10, 0, 2}));  // 203.0.113.2
        AddRows({"203.0.113.1", "203.0.113.2", "203.0.113.3"});
    }

    void ExpectRunning(bool running) {
        for (int command : {ID_SCAN_ALL, ID_SCAN_SELECTED, ID_STOP_SCAN}) {
            const bool enabled = (command == ID_STOP_SCAN) == running;
            EXPECT_EQ(dialog->toolAction(command)->isEnabled(), enabled) << command;
            EXPECT_EQ(dialog->menuAction(command)->isEnabled(), enabled) << command;
        }
        // Nothing else follows the scan.
        for (int command : {ID_SAVE_RESULTS, ID_ADVANCED, ID_EXIT, ID_ABOUT_SOFTWARE}) {
            EXPECT_TRUE(dialog->menuAction(command)->isEnabled()) << command;
        }
    }

    QString ProgressText() const {
        return dialog->progressBar()->isTextVisible() ? dialog->progressBar()->text() : QString();
    }

    bool Completed() const {
        return std::any_of(messages.shown.begin(), messages.shown.end(),
                           [](const ShownMessage& m) { return m.text == kScanComplete; });
    }
};

// WCAG's contrast ratio of two colours.
double Contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& c) {
        const auto linear = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const double x = luminance(a) + 0.05;
    const double y = luminance(b) + 0.05;
    return std::max(x, y) / std::min(x, y);
}

TEST_F(ScanStateTest, AFullBarSaysTheScanStillListensAndReadsWell) {
    dialog->Engine().Settings().networkCondition = 100;  // 差: five seconds for late answers
    dialog->OnScanAll();
    arp->Release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog->progressBar()->value() == 3; }, 10000));
    EXPECT_TRUE(dialog->Engine().IsScanRunning());
    EXPECT_EQ(ProgressText(), "3/3 · 1 台在线 · 仍在等待迟到的应答…");
    dialog->OnStopScan();
    EXPECT_EQ(ProgressText(), "3/3 · 1 台在线");

    const QPalette bar = dialog->progressBar()->palette();
    EXPECT_GE(Contrast(bar.color(QPalette::Highlight), bar.color(QPalette::HighlightedText)), 4.5);
    EXPECT_GE(Contrast(bar.color(QPalette::Window), bar.color(QPalette::WindowText)), 4.5);
}

TEST_F(ScanStateTest, ToolbarMenuAndListFollowAScanToItsEnd) {
    ExpectRunning(false);
    dialog->toolAction(ID_SCAN_ALL)->trigger();
    ExpectRunning(true);
    ASSERT_TRUE(arp->WaitForActive(3));

    // While the workers write into the rows, the list's commands and the add command refuse.
    EXPECT_EQ(OpenListMenu().enabled, std::vector<bool>(5, false));
    dialog->OnAddAddress();
    EXPECT_EQ(messages.shown, (std::vector<ShownMessage>{{"正在扫描，请稍后……", "Talvik", kMbOk}}));
    EXPECT_EQ(Rows().size(), 3);

    // So do their keys; saving stays available.
    EXPECT_EQ(ProgressText(), "0/3 · 0 台在线");
    EXPECT_EQ(ToolTip(0), "正在扫描");
    dialog->resultList()->setFocus();
    dialog->resultList()->topLevelItem(0)->setSelected(true);
    QTest::keyClick(dialog->resultList(), Qt::Key_Delete);
    QTest::keyClick(dialog->resultList(), Qt::Key_F5);
    QTest::keyClick(dialog->resultList(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(Rows().size(), 3);
    EXPECT_EQ(arp->Calls().size(), 3u);
    EXPECT_EQ(files.owners.size(), 1u);
    dialog->resultList()->clearSelection();

    arp->Release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Completed(); }, 10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->Engine().IsScanRunning(); }, 10000));
    ExpectRunning(false);
    EXPECT_EQ(ProgressText(), "3/3 · 1 台在线");
    EXPECT_EQ(ToolTip(0), "无响应");
    EXPECT_EQ(ToolTip(1), "在线");
    EXPECT_EQ(dialog->ResultRows().GetItemText(1, 1), kRunning);
    EXPECT_EQ(dialog->ResultRows().GetItemText(1, 2), "02-00-5e-10-00-02");
    EXPECT_EQ(dialog->ResultRows().GetItemText(0, 1), "");
    EXPECT_EQ(dialog->progressBar()->value(), 3);
    EXPECT_EQ(OpenListMenu().enabled, std::vector<bool>(5, true));

    // Right after the scan, delete selected removes the selected rows.
    dialog->resultList()->topLevelItem(1)->setSelected(true);
    dialog->OnDeleteSelected();
    EXPECT_EQ(Rows(), (QStringList{"203.0.113.1", "203.0.113.3"}));
    // The count described the rows scanned; once the list changes it goes, as after delete-all.
    EXPECT_EQ(ProgressText(), "");
    EXPECT_EQ(dialog->progressBar()->value(), 0);
    dialog->OnScanAll();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->Engine().IsScanRunning(); }, 10000));
    EXPECT_EQ(ProgressText(), "2/2 · 0 台在线");
    dialog->resultList()->clearSelection();
    dialog->OnDeleteSelected();  // nothing selected: nothing changes
    EXPECT_EQ(ProgressText(), "2/2 · 0 台在线");
    dialog->urlEdit()->setText(QStringLiteral("printer.lab"));
    dialog->modeUrlButton()->click();
    dialog->OnAddAddress();  // keeps the rows (No) and adds one
    EXPECT_EQ(Rows().size(), 3);
    EXPECT_EQ(ProgressText(), "");
}

TEST_F(ScanStateTest, StopReturnsToIdleWithoutCompletion) {
    dialog->menuAction(ID_SCAN_ALL)->trigger();
    ASSERT_TRUE(arp->WaitForActive(3));
    dialog->toolAction(ID_STOP_SCAN)->trigger();
    ExpectRunning(false);
    EXPECT_FALSE(dialog->Engine().IsScanRunning());
    ASSERT_TRUE(arp->WaitForIdle());
    QTest::qWait(50);
    EXPECT_FALSE(Completed());
    EXPECT_EQ(dialog->ResultRows().GetItemText(1, 1), "");
    // What was asked and found stays on the bar; a row never answered was not scanned.
    EXPECT_EQ(ProgressText(), "0/3 · 0 台在线");
    EXPECT_EQ(ToolTip(1), "未扫描");

    // F5 scans all again once the scan is over.
    QTest::keyClick(dialog->resultList(), Qt::Key_F5);
    ExpectRunning(true);
    ASSERT_TRUE(arp->WaitForActive(3));
    dialog->OnStopScan();
    // Delete all and Yes to the clear question leave the bar empty.
    dialog->OnDeleteAll();
    EXPECT_EQ(dialog->progressBar()->value(), 0);
    EXPECT_FALSE(dialog->progressBar()->isTextVisible());
    AddRows({"203.0.113.1"});
    dialog->OnScanAll();
    dialog->OnStopScan();
    messages.answers = {kIdYes};
    dialog->OnAddAddress();
    EXPECT_EQ(dialog->progressBar()->value(), 0);
    EXPECT_FALSE(dialog->progressBar()->isTextVisible());
}

// Names resolve by the scripted resolver; each answering host is named by the scripted source.
struct KnowsBeta final : INameResolver {
    std::optional<std::uint32_t> Resolve(const std::string& name) override {
        return name == "beta.lab" ? std::optional(0xCB007102u) : std::nullopt;
    }
};
struct ScriptedHostNames final : IHostNames {
    std::optional<std::string> NameOf(std::uint32_t address, std::stop_token) override {
        if (address == 0xCB007102) {
            return "beta-host.lab";
        }
        return std::nullopt;
    }
};

class RowTextTest : public ScanStateTest {
protected:
    void SetUp() override {
        resolver = std::make_shared<KnowsBeta>();
        hostNames = std::make_shared<ScriptedHostNames>();
        DialogTest::SetUp();
        arp->Script(0xCB007102, Answers({2, 0, 0x5e, 0x10, 0, 2}));
        arp->Script(0xCB007103, Answers({2, 0, 0x5e, 0x10, 0, 3}));
        arp->Fail(0xCB007104, kErrorHostUnreachable);
        AddRows(
            {"203.0.113.1", "beta.lab", "nowhere.lab", "203.0.113.3", "203.0.113.4", "127.0.0.1"});
    }
};

TEST_F(RowTextTest, EachRowTellsWhatBecameOfItAndWhoAnswered) {
    dialog->OnScanAll();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Completed(); }, 10000));
    // Rows that were never asked are not silent hosts, and the bar counts them apart.
    EXPECT_EQ(ProgressText(), "6/6 · 2 台在线 · 2 个未探测");
    EXPECT_EQ(ToolTip(0), "无响应");
    EXPECT_EQ(ToolTip(2), "无法解析");
    EXPECT_EQ(ToolTip(4), "未探测（不在本地网段）");
    EXPECT_EQ(ToolTip(5), "未探测（本机回环地址，不在任何网段）");
    EXPECT_EQ(dialog->ResultRows().GetItemText(5, 1), "");
    EXPECT_EQ(dialog->ResultRows().GetItemText(5, 2), "");
    // The name comes later, off this thread; a host without one is named by nothing.
    ASSERT_TRUE(QTest::qWaitFor([&] { return ToolTip(1).contains("主机名"); }, 5000));
    EXPECT_EQ(ToolTip(1), "在线\n地址：203.0.113.2\n主机名：beta-host.lab");
    QTest::qWait(50);
    EXPECT_EQ(ToolTip(3), "在线");
}

TEST_F(ScanStateTest, ASecondMacForOneAddressIsListedAndMarked) {
    arp->Script(0xCB007102, Answers({2, 0, 0x5e, 0x10, 0, 2}));
    dialog->OnScanAll();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return dialog->ResultRows().GetItemText(1, 1) == kRunning; }, 10000));
    ASSERT_TRUE(arp->AnswerLate(0xCB007102, {2, 0, 0x5e, 0x10, 0, 9}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return ToolTip(1).contains("00-09"); }, 5000));
    EXPECT_EQ(dialog->ResultRows().GetItemText(1, 2), "02-00-5e-10-00-02");
    EXPECT_EQ(ToolTip(1),
              "在线\nIP 地址冲突：有 2 个 MAC 地址应答\n02-00-5e-10-00-02\n02-00-5e-10-00-09");
    EXPECT_FALSE(dialog->resultList()->topLevelItem(1)->icon(0).isNull());
    // Copied, the row keeps every MAC the tooltip shows.
    dialog->resultList()->setCurrentItem(dialog->resultList()->topLevelItem(1));
    dialog->OnCopyRows();
    EXPECT_EQ(QApplication::clipboard()->text(),
              "203.0.113.2\trunning\t02-00-5e-10-00-02\t\t02-00-5e-10-00-09\t\n");
    // A late answer counts as found, whatever its worker reports after it.
    ASSERT_TRUE(arp->AnswerLate(0xCB007101, {2, 0, 0x5e, 0x10, 0, 1}));
    arp->Release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Completed(); }, 10000));
    EXPECT_EQ(ProgressText(), "3/3 · 2 台在线");
    EXPECT_EQ(ToolTip(0), "在线");
    // A new scan starts from one answer again.
    dialog->OnClearResults();
    EXPECT_TRUE(dialog->resultList()->topLevelItem(1)->icon(0).isNull());
}

TEST_F(ScanStateTest, PopupScanSelectedProbesOnlyTheSelection) {
    dialog->resultList()->topLevelItem(1)->setSelected(true);
    ASSERT_TRUE(OpenListMenu(ID_SCAN_SELECTED_POPUP).opened);
    ExpectRunning(true);
    arp->Release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Completed(); }, 10000));
    EXPECT_EQ(arp->Calls(), std::vector<std::uint32_t>{0xCB007102});
    EXPECT_EQ(dialog->ResultRows().GetItemText(1, 1), kRunning);
}

TEST_F(ScanStateTest, ExitDuringAScanEndsTheWorkersBeforeTheWidgetsGo) {
    dialog->OnScanAll();
    ASSERT_TRUE(arp->WaitForActive(3));
    dialog->OnExit();
    EXPECT_FALSE(dialog->isVisible());
    dialog.reset();
    EXPECT_EQ(arp->Active(), 0);
    EXPECT_EQ(arp->Cancelled(), 3);
    QCoreApplication::processEvents();
    EXPECT_FALSE(Completed());
}

}  // namespace
}  // namespace talvik::test
