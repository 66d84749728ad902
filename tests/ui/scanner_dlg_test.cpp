// SPDX-License-Identifier: GPL-3.0-or-later
#include <QScrollArea>

#include "tests/ui/DialogFixture.h"
#include "ui/WindowPlacement.h"

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
    EXPECT_FALSE(dialog->resultList()->horizontalScrollBar()->isVisible());
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

    // Run also on small screens, at scale 2, and under openbox: centred along each axis where the
    // frame fits, else from the screen's near edge, so the title bar and the menus are on the
    // screen.
    const QRect screen = dialog->screen()->availableGeometry();
    const auto placed = [&](int length, int start, int room, int at) {
        return length <= room ? std::abs(2 * (at - start) - (room - length)) <= 1 : at == start;
    };
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            const QRect frame = dialog->frameGeometry();
            return placed(frame.width(), screen.left(), screen.width(), frame.left()) &&
                   placed(frame.height(), screen.top(), screen.height(), frame.top());
        },
        5000))
        << dialog->frameGeometry().x() << "," << dialog->frameGeometry().y() << " "
        << dialog->frameGeometry().width() << "x" << dialog->frameGeometry().height() << " on "
        << screen.width() << "x" << screen.height();

    // Every control in reach: the window within the screen, its page scrolled where it is larger.
    EXPECT_TRUE(QTest::qWaitFor([&] { return screen.contains(dialog->frameGeometry()); }, 5000))
        << dialog->frameGeometry().height() << " on " << screen.height();
    auto* scroll = dialog->findChild<QScrollArea*>();
    ASSERT_NE(scroll, nullptr);
    for (QWidget* control : {static_cast<QWidget*>(dialog->progressBar()),
                             static_cast<QWidget*>(dialog->addButton())}) {
        scroll->ensureWidgetVisible(control, 0, 0);
        EXPECT_TRUE(dialog->rect().contains(
            QRect(control->mapTo(dialog.get(), QPoint(0, 0)), control->size())));
    }
}

TEST(WindowPlacement, CentresTheFrameWhereItFitsAndElseKeepsItsTopLeftOnTheScreen) {
    const QMargins frame(4, 30, 4, 4);
    struct Case {
        QSize size;
        QRect available;
        QPoint topLeft;
    } cases[] = {
        {{592, 466}, {0, 0, 1280, 900}, {340, 200}},
        {{592, 466}, {0, 27, 1280, 873}, {340, 213}},   // a panel along the top
        {{592, 466}, {1280, 0, 800, 600}, {1380, 50}},  // a second screen to the right
        {{592, 466}, {0, 0, 800, 480}, {100, 0}},       // too tall: the title bar stays
        {{1184, 932}, {0, 0, 640, 450}, {0, 0}},        // scale 2 on 1280x900
        {{600, 500}, {-800, -100, 600, 500}, {-800, -100}},
        {{592, 450}, {0, 0, 600, 484}, {0, 0}},  // fits exactly
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FrameTopLeft(c.size, frame, c.available), c.topLeft)
            << c.available.width() << "x" << c.available.height();
    }
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

TEST_F(MainWindowTest, EnterPressesAddOnlyFromTheEntryFieldsAndNeverClosesTheWindow) {
    dialog->addButton()->setFocus();
    QTest::keyClick(dialog->addButton(), Qt::Key_Space);
    ASSERT_EQ(Rows(), QStringList{"192.168.3.129"});
    struct Case {
        QWidget* target;
        bool adds;
    } cases[] = {{dialog->resultList(), false},         {dialog->startAddress()->part(0), true},
                 {dialog->endAddress()->part(2), true}, {dialog->addButton(), false},
                 {dialog->modeIpButton(), false},       {dialog->urlEdit(), true}};
    for (const Case& c : cases) {
        if (c.target == dialog->urlEdit()) {
            dialog->modeUrlButton()->click();
            dialog->urlEdit()->setText("beta.lab");
        }
        c.target->setFocus();
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
            messages.shown.clear();
            messages.answers = {kIdYes};
            QTest::keyClick(QApplication::focusWidget(), key);
            EXPECT_TRUE(dialog->isVisible()) << c.target->metaObject()->className() << key;
            // The add command asks first whether to clear the rows.
            EXPECT_EQ(messages.shown.size(), c.adds && key != Qt::Key_Escape ? 1u : 0u)
                << c.target->metaObject()->className() << key;
        }
    }
    EXPECT_EQ(Rows(), QStringList{"beta.lab"});
}

TEST_F(MainWindowTest, KeysAndScreenReadersReachEveryControl) {
    // Every control that has no label of its own is named, the toolbar as it reads.
    for (QWidget* control : std::initializer_list<QWidget*>{
             dialog->urlEdit(), dialog->startAddress(), dialog->endAddress(),
             dialog->startAddress()->part(3), dialog->progressBar(), dialog->resultList()}) {
        EXPECT_FALSE(
            QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name).isEmpty())
            << control->metaObject()->className();
    }
    EXPECT_EQ(dialog->startAddress()->part(3)->accessibleName(), "起始IP地址 第4段");
    QWidget* scanAll = dialog->toolBar()->widgetForAction(dialog->toolAction(ID_SCAN_ALL));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(scanAll)->text(QAccessible::Name), " 扫描全部");

    // An arrow key in the radio group acts as a click: the URL field takes the focus.
    dialog->modeIpButton()->setFocus();
    QTest::keyClick(dialog->modeIpButton(), Qt::Key_Down);
    EXPECT_TRUE(dialog->modeUrlButton()->isChecked());
    EXPECT_TRUE(dialog->urlEdit()->isEnabled());
    EXPECT_EQ(QApplication::focusWidget(), dialog->urlEdit());
    dialog->modeUrlButton()->setFocus();
    QTest::keyClick(dialog->modeUrlButton(), Qt::Key_Up);
    EXPECT_TRUE(dialog->modeIpButton()->isChecked());
    EXPECT_FALSE(dialog->urlEdit()->isEnabled());
    // The focused control draws its ring, also after the focus was set by a click; the list
    // draws it on a current row, which selects nothing.
    AddRows({"r0", "r1"});
    dialog->resultList()->setFocus(Qt::MouseFocusReason);
    EXPECT_TRUE(dialog->testAttribute(Qt::WA_KeyboardFocusChange));
    EXPECT_EQ(dialog->resultList()->currentItem(), dialog->resultList()->topLevelItem(0));
    EXPECT_TRUE(dialog->resultList()->selectedItems().isEmpty());
}

TEST_F(MainWindowTest, ShiftTabLeavesAnAddressFieldBackwardsFromAnyPart) {
    for (IpAddressEdit* field : {dialog->startAddress(), dialog->endAddress()}) {
        field->part(0)->setFocus();
        QTest::keyClick(field->part(0), Qt::Key_Backtab, Qt::ShiftModifier);
        QWidget* previous = QApplication::focusWidget();
        ASSERT_FALSE(field->isAncestorOf(previous));
        for (int part = 1; part < IpAddressEdit::kParts; ++part) {
            field->part(part)->setFocus();
            QTest::keyClick(field->part(part), Qt::Key_Backtab, Qt::ShiftModifier);
            EXPECT_EQ(QApplication::focusWidget(), previous) << part;
        }
    }
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
