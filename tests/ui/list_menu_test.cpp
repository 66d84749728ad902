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

TEST_F(ListMenuTest, OpensAtThePointerEnabledExactlyWhenTheIdleListHasRows) {
    const QPoint pointer = dialog->resultList()->mapToGlobal(QPoint(40, 60));
    QCursor::setPos(pointer);
    const ListMenu empty = OpenListMenu();
    ASSERT_TRUE(empty.opened);
    EXPECT_EQ(empty.position, pointer);
    EXPECT_EQ(empty.texts,
              (QStringList{"删除所有IP地址", "删除选中的IP地址", "-", "扫描选中的IP地址",
                           "扫描所有IP地址", "-", "清空扫描结果"}));
    EXPECT_EQ(empty.enabled, std::vector<bool>(5, false));

    AddRows({"10.0.0.1", "10.0.0.2"});
    dialog->resultList()->clearSelection();
    EXPECT_EQ(OpenListMenu().enabled, std::vector<bool>(5, true));  // whatever the selection
    EXPECT_EQ(Rows().size(), 2);                                    // dismissing chose nothing
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
