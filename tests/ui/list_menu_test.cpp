#include <QMenu>
#include <QProgressBar>
#include <QTimer>

#include "scan/CommandIds.h"
#include "tests/ui/DialogFixture.h"

namespace talvik::test {
namespace {

class ListMenuTest : public DialogTest {
protected:
    struct Seen {
        bool opened = false;
        QPoint position;
        std::map<int, bool> enabled;  // command -> enabled
        QStringList texts;
    };

    // Opens the list's pop-up as a right click does, records it and then chooses `command`,
    // or dismisses it when `command` is 0.
    Seen OpenMenu(int command) {
        Seen seen;
        QTimer::singleShot(0, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (menu == nullptr) {
                return;
            }
            seen.opened = true;
            seen.position = menu->pos();
            QAction* chosen = nullptr;
            for (QAction* action : menu->actions()) {
                seen.texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
                if (!action->isSeparator()) {
                    seen.enabled[action->data().toInt()] = action->isEnabled();
                    if (action->data().toInt() == command) {
                        chosen = action;
                    }
                }
            }
            if (chosen != nullptr && chosen->isEnabled()) {
                menu->setActiveAction(chosen);
                QTest::keyClick(menu, Qt::Key_Return);
            } else {
                menu->close();
            }
        });
        dialog->OnResultListRClick();
        return seen;
    }

    void Select(std::initializer_list<int> rows) {
        dialog->resultList()->clearSelection();
        for (int row : rows) {
            dialog->resultList()->topLevelItem(row)->setSelected(true);
        }
    }

    static constexpr int kCommands[] = {ID_DELETE_ALL, ID_DELETE_SELECTED, ID_SCAN_SELECTED_POPUP,
                                        ID_SCAN_ALL_POPUP, ID_CLEAR_RESULTS};
};

TEST_F(ListMenuTest, EmptyListGraysEveryItem) {
    const Seen seen = OpenMenu(0);
    ASSERT_TRUE(seen.opened);
    EXPECT_EQ(seen.texts, (QStringList{"删除所有IP地址", "删除选中的IP地址", "-",
                                       "扫描选中的IP地址", "扫描所有IP地址", "-", "清空扫描结果"}));
    for (int command : kCommands) {
        EXPECT_FALSE(seen.enabled.at(command)) << command;
    }
}

TEST_F(ListMenuTest, RowsEnableEveryItemWhateverTheSelection) {
    AddRows({"10.0.0.1", "10.0.0.2"});
    dialog->resultList()->clearSelection();
    const Seen seen = OpenMenu(0);
    ASSERT_TRUE(seen.opened);
    for (int command : kCommands) {
        EXPECT_TRUE(seen.enabled.at(command)) << command;
    }
    EXPECT_EQ(Rows().size(), 2);  // dismissing chose nothing
}

TEST_F(ListMenuTest, OpensAtTheMousePointer) {
    const QPoint pointer = dialog->resultList()->mapToGlobal(QPoint(40, 60));
    QCursor::setPos(pointer);
    if (QCursor::pos() != pointer) {
        GTEST_SKIP() << "this platform does not move the pointer";
    }
    EXPECT_EQ(OpenMenu(0).position, pointer);
}

TEST_F(ListMenuTest, DeleteSelectedKeepsTheOthersInOrder) {
    AddRows({"r0", "r1", "r2", "r3", "r4", "r5"});
    Select({1, 3, 4});
    ASSERT_TRUE(OpenMenu(ID_DELETE_SELECTED).opened);
    EXPECT_EQ(Rows(), (QStringList{"r0", "r2", "r5"}));

    dialog->resultList()->clearSelection();
    dialog->OnDeleteSelected();
    EXPECT_EQ(Rows(), (QStringList{"r0", "r2", "r5"}));

    Select({0, 1, 2});
    dialog->OnDeleteSelected();
    EXPECT_TRUE(Rows().isEmpty());
}

TEST_F(ListMenuTest, DeleteAllAsksNothing) {
    AddRows({"a", "b", "c"});
    Select({1});
    ASSERT_TRUE(OpenMenu(ID_DELETE_ALL).opened);
    EXPECT_TRUE(Rows().isEmpty());
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(ListMenuTest, ClearResultsEmptiesStatusAndMacOnly) {
    AddRows({"10.0.0.1", "10.0.0.2"});
    for (int row = 0; row < 2; ++row) {
        dialog->ResultRows().SetItemText(row, 1, "running");
        dialog->ResultRows().SetItemText(row, 2, "00-0c-29-3a-4b-5c");
    }
    ASSERT_TRUE(OpenMenu(ID_CLEAR_RESULTS).opened);
    EXPECT_EQ(Rows(), (QStringList{"10.0.0.1", "10.0.0.2"}));
    for (int row = 0; row < 2; ++row) {
        EXPECT_EQ(dialog->ResultRows().GetItemText(row, 1), "");
        EXPECT_EQ(dialog->ResultRows().GetItemText(row, 2), "");
    }
}

TEST(ResultListPortTest, WalksRowsAndSelectionAndGuardsBadIndices) {
    QTreeWidget list;
    list.setColumnCount(3);
    list.setSelectionMode(QAbstractItemView::ExtendedSelection);
    QtResultList rows(&list);
    EXPECT_EQ(rows.GetNextItem(-1, ItemFilter::All), -1);
    for (int i = 0; i < 5; ++i) {
        rows.InsertItem(100, QStringLiteral("h%1").arg(i));  // past the end appends
    }
    EXPECT_EQ(rows.InsertItem(1, "x"), 1);
    EXPECT_EQ(rows.GetItemText(1, 0), "x");
    EXPECT_EQ(rows.GetItemText(2, 0), "h1");
    EXPECT_EQ(rows.GetItemCount(), 6);

    list.topLevelItem(2)->setSelected(true);
    list.topLevelItem(5)->setSelected(true);
    EXPECT_EQ(rows.GetNextItem(-1, ItemFilter::Selected), 2);
    EXPECT_EQ(rows.GetNextItem(2, ItemFilter::Selected), 5);
    EXPECT_EQ(rows.GetNextItem(5, ItemFilter::Selected), -1);
    EXPECT_EQ(rows.GetNextItem(-1, ItemFilter::All), 0);
    EXPECT_EQ(rows.GetNextItem(4, ItemFilter::All), 5);
    EXPECT_EQ(rows.GetNextItem(5, ItemFilter::All), -1);

    // Out-of-range cells are neither written nor read.
    rows.SetItemText(6, 0, "nope");
    rows.SetItemText(0, 3, "nope");
    rows.SetItemText(-1, 0, "nope");
    EXPECT_EQ(rows.GetItemText(6, 0), "");
    EXPECT_EQ(rows.GetItemText(0, 3), "");
    EXPECT_EQ(rows.GetItemCount(), 6);
}

TEST(ProgressPortTest, KeepsThePositionInRangeAndShowsAnEmptyRangeEmpty) {
    QProgressBar bar;
    QtProgressBar progress(&bar);
    progress.SetRange(0, 254);
    progress.SetPos(10);
    EXPECT_EQ(progress.GetPos(), 10);
    EXPECT_EQ(bar.value(), 10);
    progress.SetPos(300);
    EXPECT_EQ(progress.GetPos(), 254);
    progress.SetRange(0, 0);
    EXPECT_EQ(progress.GetPos(), 0);
    EXPECT_LT(bar.minimum(), bar.maximum());  // not the busy indicator
    EXPECT_EQ(bar.value(), bar.minimum());
}

}  // namespace
}  // namespace talvik::test
