// SPDX-License-Identifier: GPL-3.0-or-later
#include <QProgressBar>
#include <QScrollArea>

#include "tests/support/FakeWires.h"
#include "tests/ui/DialogFixture.h"
#include "ui/DeviceMarks.h"
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

namespace talvik::test {
namespace {

struct RecordedNotifier final : INotifier {
    bool Available() override { return available; }
    void Notify(const QString& summary, const QString& body) override {
        sent.push_back({summary, body});
    }
    void Update(const QString& summary, const QString& body) override {
        updated.push_back({summary, body});
    }
    bool available = true;
    std::vector<std::pair<QString, QString>> sent;
    std::vector<std::pair<QString, QString>> updated;
};

constexpr std::uint32_t kLab = 0xCB007100;  // 203.0.113.0
const Mac kKnown{0x00, 0x16, 0x3e, 0, 0, 2};
const Mac kNewcomer{0x00, 0x16, 0x3e, 0, 0, 3};
const Mac kGateway{0x00, 0x16, 0x3e, 0, 0, 254};
const Mac kSpoofer{0x00, 0x16, 0x3e, 0, 0, 66};

class WatchTest : public DialogTest {
protected:
    void SetUp() override {
        wires = fakeWires;
        makeNotifier = [this] {
            ++notifiersMade;
            return recorded;
        };
        identify = [](std::uint32_t target) {
            NetworkIdentity identity;
            identity.interfaceName = "tvk-watch0";
            identity.address = kLab + 1;
            identity.prefixLength = 24;
            identity.gateway = kLab + 254;
            identity.gatewayMac = kGateway;
            return (target & 0xFFFFFF00u) == kLab ? std::optional(identity) : std::nullopt;
        };
        DialogTest::SetUp();
        AddRows({"203.0.113.2", "203.0.113.3"});
        arp->Script(kLab + 2, Answers(kKnown));
        arp->Script(kLab + 3, ArpAnswer{});
    }
    QAction* Watch() const { return dialog->menuAction(ID_WATCH_NETWORK); }
    QList<QAction*> Intervals() const {
        return dialog->menuAction(ID_WATCH_INTERVAL)->menu()->actions();
    }
    int Scans() const {
        return static_cast<int>(
            std::count_if(messages.shown.begin(), messages.shown.end(),
                          [](const ShownMessage& m) { return m.text == kScanComplete; }));
    }
    void WaitForScans(int count) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return Scans() == count; }, 10000));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->Engine().IsScanRunning(); }, 10000));
    }
    QImage Mark(int row) const {
        return dialog->resultList()->topLevelItem(row)->icon(2).pixmap(16).toImage();
    }
    std::shared_ptr<FakeWires> fakeWires = std::make_shared<FakeWires>();
    std::shared_ptr<RecordedNotifier> recorded = std::make_shared<RecordedNotifier>();
    int notifiersMade = 0;
};

TEST_F(WatchTest, ListensRescansMarksAndNotifies) {
    const QList<QAction*> settings = dialog->menuBar()->actions()[1]->menu()->actions();
    ASSERT_EQ(settings.size(), 5);
    EXPECT_EQ(settings[2], dialog->menuAction(ID_REMEMBER_DEVICES));
    EXPECT_EQ(settings[3], Watch());
    EXPECT_EQ(Watch()->text(), "监视网络(&W)");
    EXPECT_EQ(settings[4]->text(), "监视间隔(&I)");
    EXPECT_TRUE(Watch()->isCheckable());
    EXPECT_FALSE(Watch()->isChecked());
    QStringList texts;
    for (QAction* choice : Intervals()) {
        texts << choice->text() + (choice->isChecked() ? "*" : "");
    }
    EXPECT_EQ(texts, QStringList({"1 分钟", "5 分钟*", "15 分钟", "60 分钟"}));
    EXPECT_TRUE(fakeWires->opened.empty());
    EXPECT_EQ(notifiersMade, 0);  // the session bus is not asked before the watch

    // On: it listens on the targets' interface, and its first scan is what it knows.
    Watch()->trigger();
    EXPECT_TRUE(Watch()->isChecked());
    EXPECT_TRUE(dialog->IsListening());
    EXPECT_EQ(fakeWires->opened, std::vector<std::string>{"tvk-watch0"});
    EXPECT_EQ(dialog->watchTimer()->interval(), 5 * 60 * 1000);
    WaitForScans(1);
    EXPECT_TRUE(messages.shown.size() == 1u);  // nothing else said
    EXPECT_EQ(notifiersMade, 1);

    // The interval chosen is the one the rescans keep, and each tick rescans.
    Intervals()[0]->trigger();
    EXPECT_TRUE(Intervals()[0]->isChecked());
    EXPECT_FALSE(Intervals()[1]->isChecked());
    EXPECT_EQ(dialog->watchTimer()->interval(), 60 * 1000);
    EXPECT_TRUE(dialog->watchTimer()->isActive());
    dialog->OnWatchTick();
    WaitForScans(2);
    EXPECT_TRUE(recorded->sent.empty());

    // A device heard between scans is marked on its row and told on the desktop.
    fakeWires->latest->Claim(kLab + 3, kNewcomer);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !recorded->sent.empty(); }, 5000));
    EXPECT_EQ(recorded->sent[0].first, "发现新设备");
    EXPECT_TRUE(recorded->sent[0].second.startsWith("203.0.113.3\nMAC 地址：00-16-3e-00-00-03"))
        << recorded->sent[0].second.toStdString();
    EXPECT_EQ(Mark(1), NewDeviceMark().pixmap(16).toImage());
    EXPECT_TRUE(Mark(0).isNull());
    EXPECT_TRUE(ToolTip(1).contains("发现新设备（MAC 地址 00-16-3e-00-00-03）"));
    EXPECT_TRUE(dialog->progressBar()->text().contains("监视：203.0.113.3 发现新设备"));

    // Another MAC claiming the gateway is the warning of all.
    fakeWires->latest->Claim(kLab + 254, kSpoofer);
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorded->sent.size() == 2u; }, 5000));
    EXPECT_EQ(recorded->sent[1].first, "网关 MAC 地址已变，可能遭到 ARP 欺骗");
    EXPECT_TRUE(recorded->sent[1].second.endsWith("原 MAC 地址：00-16-3e-00-00-fe"))
        << recorded->sent[1].second.toStdString();
    // The bar tells it on its one line; the row's tooltip has the rest.
    const QProgressBar* bar = dialog->progressBar();
    EXPECT_TRUE(bar->text().contains("监视：203.0.113.254 网关 MAC 地址已变"));
    EXPECT_LE(bar->fontMetrics().horizontalAdvance(bar->text()), bar->contentsRect().width())
        << bar->text().toStdString();

    // A rescan that finds the newcomer keeps its mark; off takes the marks away and stops
    // listening.
    arp->Script(kLab + 3, Answers(kNewcomer));
    dialog->OnWatchTick();
    WaitForScans(3);
    EXPECT_EQ(Mark(1), NewDeviceMark().pixmap(16).toImage());
    Watch()->trigger();
    EXPECT_FALSE(Watch()->isChecked());
    EXPECT_FALSE(dialog->IsListening());
    EXPECT_FALSE(dialog->watchTimer()->isActive());
    EXPECT_TRUE(Mark(1).isNull());
    EXPECT_EQ(messages.shown.size(), 3u);
}

TEST_F(WatchTest, AFloodOfForgedDevicesIsToldInAFewNotificationsAndTheGatewayStillAlone) {
    Watch()->trigger();
    WaitForScans(1);
    for (std::uint8_t host = 10; host < 110; ++host) {
        fakeWires->latest->Claim(kLab + host, Mac{0x02, 0x66, 0, 0, 0, host});
    }
    fakeWires->latest->Claim(kLab + 254, kSpoofer);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !recorded->updated.empty(); }, 10000));
    ASSERT_EQ(recorded->sent.size(), 6u);
    EXPECT_EQ(recorded->sent.back().first, "网关 MAC 地址已变，可能遭到 ARP 欺骗");
    EXPECT_EQ(recorded->updated,
              (std::vector<std::pair<QString, QString>>{
                  {"监视到的变化较多", "另有 95 项变化未逐一通知，详情请查看 Talvik 窗口。"}}));
    // Every one of them is still in the window.
    EXPECT_TRUE(dialog->progressBar()->text().contains("203.0.113.254 网关 MAC 地址已变"));
}

TEST_F(WatchTest, WithoutAWireOrANotificationServiceItSaysSoOnceAndOnlyRescans) {
    fakeWires->problem = "无法监听接口 tvk-watch0：接口未启用。";
    recorded->available = false;
    Watch()->trigger();
    EXPECT_TRUE(Watch()->isChecked());
    EXPECT_TRUE(dialog->IsWatching());
    EXPECT_FALSE(dialog->IsListening());
    WaitForScans(1);
    const std::vector<ShownMessage> told{
        {"无法监听接口 tvk-watch0：接口未启用。监视时只按间隔重新扫描。", kCaption,
         kMbIconInformation},
        {"未找到桌面通知服务，监视到的变化只在窗口中显示。", kCaption, kMbIconInformation},
        {kScanComplete, kCaption, 0}};
    EXPECT_EQ(messages.shown, told);
    Watch()->trigger();
    Watch()->trigger();
    WaitForScans(2);
    EXPECT_EQ(messages.shown.size(), 4u);  // not said again

    // Its rescans still find what changed, in the window alone.
    arp->Script(kLab + 3, Answers(kNewcomer));
    dialog->OnWatchTick();
    WaitForScans(3);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Mark(1).isNull(); }, 5000));
    EXPECT_EQ(Mark(1), NewDeviceMark().pixmap(16).toImage());
    EXPECT_TRUE(recorded->sent.empty());
    // A list with nothing on a network of this machine has nothing to watch.
    Watch()->trigger();
    dialog->OnDeleteAll();
    AddRows({"198.51.100.7"});
    Watch()->trigger();
    EXPECT_FALSE(Watch()->isChecked());
    EXPECT_EQ(messages.shown.back().text, "列表中的地址不在本机直接相连的网络上，无法监视。");
}

}  // namespace
}  // namespace talvik::test
