#include <QAction>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>
#include <QToolBar>

#include "scan/CommandIds.h"
#include "tests/ui/DialogFixture.h"
#include "ui/DialogUnits.h"
#include "ui/IpAddressEdit.h"

namespace talvik::test {
namespace {

using StartStateTest = DialogTest;

TEST_F(StartStateTest, OpensIdleInRangeModeWithEmptyList) {
    EXPECT_EQ(dialog->windowTitle(), "Talvik");
    EXPECT_EQ(dialog->startAddress()->text(), "192.168.3.129");
    EXPECT_EQ(dialog->endAddress()->text(), "192.168.3.129");
    EXPECT_TRUE(dialog->modeIpButton()->isChecked());
    EXPECT_FALSE(dialog->modeUrlButton()->isChecked());
    EXPECT_FALSE(dialog->urlEdit()->isEnabled());
    EXPECT_TRUE(dialog->urlEdit()->text().isEmpty());
    EXPECT_TRUE(dialog->startAddress()->isEnabled());
    EXPECT_TRUE(dialog->endAddress()->isEnabled());
    EXPECT_EQ(dialog->resultList()->topLevelItemCount(), 0);
    EXPECT_EQ(dialog->progressBar()->value(), 0);
    EXPECT_TRUE(dialog->resultList()->hasFocus());
    EXPECT_TRUE(messages.shown.empty());

    const QTreeWidgetItem* header = dialog->resultList()->headerItem();
    ASSERT_EQ(dialog->resultList()->columnCount(), 3);
    EXPECT_EQ(header->text(0), "主机IP");
    EXPECT_EQ(header->text(1), "状态");
    EXPECT_EQ(header->text(2), "MAC地址");
}

TEST_F(StartStateTest, ToolbarHoldsEveryButtonWithinTheWindowWidth) {
    // Every button is on the bar itself, none pushed into an overflow menu.
    for (QAction* action : dialog->toolBar()->actions()) {
        if (QWidget* button = dialog->toolBar()->widgetForAction(action)) {
            EXPECT_LE(button->geometry().right(), dialog->toolBar()->width()) << action->text();
            EXPECT_TRUE(button->isVisible()) << action->text();
        }
    }
}

TEST_F(StartStateTest, WindowMenuOpensByKeyAndOnTheBannerAndRunsItsCommands) {
    auto openedBy = [&](auto open) {
        bool shown = false;
        QTimer::singleShot(50, [&] {
            shown = QApplication::activePopupWidget() == dialog->windowMenu();
            dialog->windowMenu()->close();
        });
        open();
        QTest::qWait(100);
        return shown;
    };
    EXPECT_TRUE(openedBy([&] { QTest::keyClick(dialog.get(), Qt::Key_Space, Qt::AltModifier); }));
    EXPECT_TRUE(openedBy([&] {
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 20),
                                dialog->banner()->mapToGlobal(QPoint(20, 20)));
        QApplication::sendEvent(dialog->banner(), &event);
    }));

    dialog->windowMenu()->actions().at(0)->trigger();
    EXPECT_TRUE(dialog->isMinimized());
    dialog->showNormal();
    dialog->windowMenu()->actions().at(1)->trigger();
    EXPECT_FALSE(dialog->isVisible());
}

using GeometryTest = DialogTest;

TEST_F(GeometryTest, ControlsSitAtTheirTemplatePlacesBelowTheBars) {
    const DialogUnits units(dialog->font());
    const int down = dialog->barsHeight();
    EXPECT_GE(down, dialog->toolBar()->height() + dialog->menuBar()->height());
    auto expected = [&](int x, int y, int w, int h) {
        return units.rect(x, y, w, h).translated(0, down);
    };
    EXPECT_EQ(dialog->progressBar()->geometry(), expected(99, 253, 298, 16));
    EXPECT_EQ(dialog->resultList()->geometry(), expected(99, 81, 298, 166));
    EXPECT_EQ(dialog->urlEdit()->geometry(), expected(164, 48, 214, 13));
    EXPECT_EQ(dialog->startAddress()->geometry(), expected(165, 12, 121, 13));
    EXPECT_EQ(dialog->endAddress()->geometry(), expected(165, 30, 121, 13));
    EXPECT_EQ(dialog->addButton()->geometry(), expected(310, 21, 68, 15));
    EXPECT_EQ(dialog->modeIpButton()->geometry(), expected(106, 14, 48, 13));
    EXPECT_EQ(dialog->modeUrlButton()->geometry(), expected(106, 48, 43, 13));
    EXPECT_EQ(dialog->banner()->pos(), expected(7, 7, 81, 268).topLeft());

    // Fixed size: the template grown by the bars.
    const QSize size(units.x(408), units.y(283) + down);
    EXPECT_EQ(dialog->size(), size);
    EXPECT_EQ(dialog->minimumSize(), size);
    EXPECT_EQ(dialog->maximumSize(), size);
    EXPECT_FALSE(dialog->windowFlags() & Qt::WindowMaximizeButtonHint);
}

TEST_F(GeometryTest, ColumnsAreThirdsOfTheListsOuterWidth) {
    const int third = dialog->resultList()->frameGeometry().width() / 3;
    for (int column = 0; column < 3; ++column) {
        EXPECT_EQ(dialog->resultList()->header()->sectionSize(column), third);
    }

    QTreeWidget list;
    list.setColumnCount(3);
    list.setGeometry(0, 0, 601, 200);
    CScannerDlg::SizeColumns(&list);
    for (int column = 0; column < 3; ++column) {
        EXPECT_EQ(list.header()->sectionSize(column), 200);
    }
}

TEST_F(GeometryTest, OpensCentredOnTheScreen) {
    const QRect screen = dialog->screen()->availableGeometry();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return dialog->frameGeometry().center() == screen.center(); }, 1000))
        << dialog->frameGeometry().center().x() << "," << dialog->frameGeometry().center().y();
}

using KeyTest = DialogTest;

TEST_F(KeyTest, EnterAndEscapeNeverCloseTheWindow) {
    QWidget* targets[] = {dialog->resultList(), dialog->startAddress()->part(0),
                          dialog->endAddress()->part(2), dialog->addButton(),
                          dialog->modeIpButton()};
    for (QWidget* target : targets) {
        target->setFocus();
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
            QTest::keyClick(QApplication::focusWidget(), key);
            EXPECT_TRUE(dialog->isVisible()) << target->metaObject()->className() << key;
        }
    }
    dialog->modeUrlButton()->click();
    QTest::keyClick(dialog->urlEdit(), Qt::Key_Escape);
    QTest::keyClick(dialog->urlEdit(), Qt::Key_Return);
    EXPECT_TRUE(dialog->isVisible());
    // Enter pressed no button on the way.
    EXPECT_EQ(dialog->resultList()->topLevelItemCount(), 0);
}

TEST_F(KeyTest, SpacePressesTheFocusedButton) {
    dialog->addButton()->setFocus();
    QTest::keyClick(dialog->addButton(), Qt::Key_Space);
    EXPECT_EQ(Rows(), QStringList{"192.168.3.129"});
}

TEST_F(KeyTest, TabFollowsTheTemplateOrder) {
    auto walk = [this](int steps) {
        dialog->resultList()->setFocus();
        std::vector<QWidget*> visited;
        for (int i = 0; i < steps; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited.push_back(QApplication::focusWidget());
        }
        return visited;
    };
    // Disabled fields drop out: range mode skips the URL field, host-name mode the addresses.
    EXPECT_EQ(walk(5), (std::vector<QWidget*>{dialog->startAddress()->part(0),
                                              dialog->endAddress()->part(0), dialog->addButton(),
                                              dialog->modeIpButton(), dialog->resultList()}));
    dialog->modeUrlButton()->click();
    EXPECT_EQ(walk(4), (std::vector<QWidget*>{dialog->urlEdit(), dialog->addButton(),
                                              dialog->modeUrlButton(), dialog->resultList()}));
}

TEST_F(KeyTest, ExitEndsTheWindowAndTheCloseBoxToo) {
    dialog->toolAction(ID_EXIT)->trigger();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);

    dialog->show();
    dialog->menuAction(ID_EXIT)->trigger();
    EXPECT_FALSE(dialog->isVisible());

    dialog->show();
    dialog->close();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
}

}  // namespace
}  // namespace talvik::test
