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

    bool Completed() const {
        return std::any_of(messages.shown.begin(), messages.shown.end(),
                           [](const ShownMessage& m) { return m.text == kScanComplete; });
    }
};

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

    arp->Release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Completed(); }, 10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->Engine().IsScanRunning(); }, 10000));
    ExpectRunning(false);
    EXPECT_EQ(dialog->ResultRows().GetItemText(1, 1), kRunning);
    EXPECT_EQ(dialog->ResultRows().GetItemText(1, 2), "02-00-5e-10-00-02");
    EXPECT_EQ(dialog->ResultRows().GetItemText(0, 1), "");
    EXPECT_EQ(dialog->progressBar()->value(), 3);
    EXPECT_EQ(OpenListMenu().enabled, std::vector<bool>(5, true));

    // Right after the scan, delete selected removes the selected rows.
    dialog->resultList()->topLevelItem(1)->setSelected(true);
    dialog->OnDeleteSelected();
    EXPECT_EQ(Rows(), (QStringList{"203.0.113.1", "203.0.113.3"}));
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
