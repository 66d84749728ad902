#include "tests/ui/DialogFixture.h"

namespace talvik::test {
namespace {

using MainWindowTest = DialogTest;

TEST_F(MainWindowTest, OpensIdleInRangeModeWithEmptyList) {
    EXPECT_EQ(dialog->windowTitle(), "Talvik");
    EXPECT_EQ(dialog->startAddress()->text(), "192.168.3.129");
    EXPECT_EQ(dialog->endAddress()->text(), "192.168.3.129");
    EXPECT_TRUE(dialog->modeIpButton()->isChecked());
    EXPECT_FALSE(dialog->urlEdit()->isEnabled());
    EXPECT_TRUE(dialog->urlEdit()->text().isEmpty());
    EXPECT_TRUE(dialog->startAddress()->isEnabled());
    EXPECT_TRUE(dialog->endAddress()->isEnabled());
    EXPECT_EQ(dialog->resultList()->topLevelItemCount(), 0);
    EXPECT_EQ(dialog->progressBar()->value(), 0);
    EXPECT_TRUE(dialog->resultList()->hasFocus());
    EXPECT_FALSE(dialog->menuAction(ID_ABOUT_DESCRIPTION)->isEnabled());
    EXPECT_TRUE(messages.shown.empty());
    const QTreeWidgetItem* header = dialog->resultList()->headerItem();
    EXPECT_EQ(QStringList({header->text(0), header->text(1), header->text(2)}),
              QStringList({"主机IP", "状态", "MAC地址"}));
    // The bars push the controls down rather than cover them, and the window does not resize.
    EXPECT_GE(dialog->startAddress()->y(), dialog->toolBar()->geometry().bottom());
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());

    const QRect screen = dialog->screen()->availableGeometry();
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return dialog->frameGeometry().center() == screen.center(); }, 1000));
}

TEST_F(MainWindowTest, ColumnsAreThirdsOfTheListsOuterWidth) {
    QTreeWidget list;
    list.setColumnCount(3);
    list.setGeometry(0, 0, 601, 200);
    CScannerDlg::SizeColumns(&list);
    for (int column = 0; column < 3; ++column) {
        EXPECT_EQ(list.header()->sectionSize(column), 200);
    }
}

TEST_F(MainWindowTest, EnterAndEscapeNeverCloseTheWindowNorPressAButton) {
    dialog->addButton()->setFocus();
    QTest::keyClick(dialog->addButton(), Qt::Key_Space);
    ASSERT_EQ(Rows(), QStringList{"192.168.3.129"});
    QWidget* targets[] = {dialog->resultList(),          dialog->startAddress()->part(0),
                          dialog->endAddress()->part(2), dialog->addButton(),
                          dialog->modeIpButton(),        dialog->urlEdit()};
    for (QWidget* target : targets) {
        if (target == dialog->urlEdit()) {
            dialog->modeUrlButton()->click();
        }
        target->setFocus();
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
            QTest::keyClick(QApplication::focusWidget(), key);
            EXPECT_TRUE(dialog->isVisible()) << target->metaObject()->className() << key;
        }
    }
    EXPECT_EQ(Rows(), QStringList{"192.168.3.129"});  // Enter pressed no button either
}

TEST_F(MainWindowTest, ExitAndTheCloseBoxEndTheWindow) {
    for (QAction* exit : {dialog->toolAction(ID_EXIT), dialog->menuAction(ID_EXIT)}) {
        dialog->show();
        exit->trigger();
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_EQ(dialog->result(), QDialog::Accepted);
    }
    dialog->show();
    dialog->close();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
}

}  // namespace
}  // namespace talvik::test
