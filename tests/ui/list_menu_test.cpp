// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/ui/DialogFixture.h"

namespace talvik::test {
namespace {

class ListMenuTest : public DialogTest {
protected:
    void Select(std::initializer_list<int> rows) {
        dialog->resultList()->clearSelection();
        for (int row : rows) {
            dialog->resultList()->topLevelItem(row)->setSelected(true);
        }
    }
};

// A registry of the test's own: one block of a maker that is no real one.
class CopyTest : public ListMenuTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        QFile oui(folder.filePath("oui.csv"));
        ASSERT_TRUE(oui.open(QIODevice::WriteOnly));
        oui.write(
            "Registry,Assignment,Organization Name,Organization Address\n"
            "MA-L,00AA01,\"Talvik Test Devices, Inc.\",Nowhere\n");
        oui.close();
        registryDirectory = folder.path().toStdString();
        ListMenuTest::SetUp();
    }
    QTemporaryDir folder;
};

TEST_F(CopyTest, CtrlCCopiesTheSelectedRowsWithTheirMakers) {
    arp->Script(0xCB007101, Answers({0x00, 0xaa, 0x01, 1, 2, 3}));
    arp->Script(0xCB007103, Answers({0x00, 0xbb, 0x02, 1, 2, 3}));
    AddRows({"203.0.113.1", "203.0.113.2", "203.0.113.3"});
    dialog->OnCommand(ID_SCAN_ALL);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->Engine().IsScanRunning(); }, 10000));
    // The registry is read off this thread once a host answered; the tooltip names it then.
    ASSERT_TRUE(QTest::qWaitFor([&] { return ToolTip(0).contains("Talvik Test Devices"); }, 5000));
    EXPECT_EQ(ToolTip(0), "在线\n厂商：Talvik Test Devices, Inc.");
    EXPECT_EQ(ToolTip(2), "在线\n厂商：未知");
    Select({0, 2});
    dialog->resultList()->setFocus();
    QTest::keyClick(dialog->resultList(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(),
              "203.0.113.1\trunning\t00-aa-01-01-02-03\tTalvik Test Devices, Inc.\n"
              "203.0.113.3\trunning\t00-bb-02-01-02-03\t\n");
}

TEST_F(ListMenuTest, WithoutARegistryTheTooltipNamesNoMaker) {
    arp->Script(0xCB007101, Answers({0x00, 0xaa, 0x01, 1, 2, 3}));
    AddRows({"203.0.113.1"});
    dialog->OnCommand(ID_SCAN_ALL);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->Engine().IsScanRunning(); }, 10000));
    QTest::qWait(100);
    EXPECT_EQ(ToolTip(0), "在线");
}

TEST_F(ListMenuTest, OpensAtThePointerEnabledExactlyWhenTheIdleListHasRows) {
    const QPoint pointer = dialog->resultList()->mapToGlobal(QPoint(40, 60));
    QCursor::setPos(pointer);
    const ListMenu empty = OpenListMenu();
    ASSERT_TRUE(empty.opened);
    EXPECT_EQ(empty.position, pointer);
    EXPECT_EQ(empty.texts,
              (QStringList{"删除所有IP地址", "删除选中的IP地址", "-", "扫描选中的IP地址",
                           "扫描所有IP地址", "-", "清空扫描结果", "-", "复制(&C)"}));
    EXPECT_EQ(empty.keys, (QStringList{"", "Del", "", "F5", "", "Ctrl+C"}));
    EXPECT_EQ(empty.enabled, std::vector<bool>(5, false));
    EXPECT_FALSE(empty.copyEnabled);

    AddRows({"10.0.0.1", "10.0.0.2"});
    dialog->resultList()->clearSelection();
    const ListMenu rows = OpenListMenu();
    EXPECT_EQ(rows.enabled, std::vector<bool>(5, true));  // whatever the selection
    EXPECT_FALSE(rows.copyEnabled);                       // copy needs one
    EXPECT_EQ(Rows().size(), 2);                          // dismissing chose nothing

    // Copy from the menu copies what Ctrl+C does.
    Select({1});
    ASSERT_TRUE(OpenListMenu(ID_COPY_ROWS).copyEnabled);
    EXPECT_EQ(QApplication::clipboard()->text(), "10.0.0.2\t\t\t\n");
}

TEST_F(ListMenuTest, TheMenuBarShowsTheKeysOfItsItems) {
    const auto keys = [&](int id) {
        return dialog->menuAction(id)->shortcut().toString(QKeySequence::NativeText);
    };
    EXPECT_EQ(keys(ID_SCAN_ALL), "F5");
    EXPECT_EQ(keys(ID_SAVE_RESULTS), "Ctrl+S");
    EXPECT_EQ(keys(ID_SCAN_SELECTED), "");
}

TEST_F(ListMenuTest, DeleteCommandsAskNothing) {
    AddRows({"r0", "r1", "r2", "r3", "r4", "r5"});
    Select({1, 3, 4});
    ASSERT_TRUE(OpenListMenu(ID_DELETE_SELECTED).opened);
    EXPECT_EQ(Rows(), (QStringList{"r0", "r2", "r5"}));

    Select({});
    dialog->OnDeleteSelected();
    EXPECT_EQ(Rows(), (QStringList{"r0", "r2", "r5"}));

    Select({1});
    ASSERT_TRUE(OpenListMenu(ID_DELETE_ALL).opened);
    EXPECT_TRUE(Rows().isEmpty());
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(ListMenuTest, KeysOpenThePopupAtTheCurrentRowAndDeleteTheSelection) {
    QTreeWidget* list = dialog->resultList();
    list->setFocus();
    QCursor::setPos(list->mapToGlobal(QPoint(200, 150)));  // the pointer plays no part
    for (const QKeySequence& keys :
         {QKeySequence(Qt::SHIFT | Qt::Key_F10), QKeySequence(Qt::Key_Menu)}) {
        list->setFocus();
        const ListMenu none = OpenListMenu(0, [&] { QTest::keySequence(list, keys); });
        ASSERT_TRUE(none.opened) << keys.toString().toStdString();
        EXPECT_EQ(none.position, list->mapToGlobal(QPoint(0, 0)));
        EXPECT_EQ(none.name, "结果列表菜单");
    }

    AddRows({"r0", "r1", "r2", "r3"});
    list->setCurrentItem(list->topLevelItem(2));
    const QRect row = list->visualItemRect(list->topLevelItem(2));
    const ListMenu atRow =
        OpenListMenu(0, [&] { QTest::keyClick(list, Qt::Key_F10, Qt::ShiftModifier); });
    ASSERT_TRUE(atRow.opened);
    EXPECT_EQ(atRow.position, list->viewport()->mapToGlobal(row.bottomLeft()));
    EXPECT_EQ(atRow.enabled, std::vector<bool>(5, true));

    Select({1, 2});
    QTest::keyClick(list, Qt::Key_Delete);
    EXPECT_EQ(Rows(), (QStringList{"r0", "r3"}));
    // In a field, Delete edits its text and leaves the rows alone.
    Select({0});
    dialog->modeUrlButton()->click();
    dialog->urlEdit()->setText("ab");
    dialog->urlEdit()->setCursorPosition(0);
    QTest::keyClick(dialog->urlEdit(), Qt::Key_Delete);
    EXPECT_EQ(dialog->urlEdit()->text(), "b");
    EXPECT_EQ(Rows(), (QStringList{"r0", "r3"}));
}

TEST(ProgressPortTest, KeepsThePositionInRangeAndShowsAnEmptyRangeEmpty) {
    QProgressBar bar;
    QtProgressBar progress(&bar);
    progress.SetRange(0, 254);
    progress.SetPos(300);
    EXPECT_EQ(progress.GetPos(), 254);
    EXPECT_EQ(bar.value(), 254);
    progress.SetRange(0, 0);  // a scan of nothing
    EXPECT_EQ(progress.GetPos(), 0);
    EXPECT_LT(bar.minimum(), bar.maximum());  // not the busy indicator
    EXPECT_EQ(bar.value(), bar.minimum());
}

}  // namespace
}  // namespace talvik::test
