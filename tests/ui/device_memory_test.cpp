// SPDX-License-Identifier: GPL-3.0-or-later
// The window over a real device store in a folder of the test's own.
#include <QComboBox>
#include <ctime>

#include "store/DeviceStore.h"
#include "tests/support/FakeWires.h"
#include "tests/ui/DialogFixture.h"
#include "ui/DeviceMarks.h"
#include "ui/DeviceRecordsDlg.h"
#include "ui/ScannerCommands.h"

namespace talvik::test {
namespace {

constexpr std::uint32_t kHost = 0xCB007100;  // 203.0.113.0
const store::NetworkId kLab{"203.0.113.0/24", ""};

Mac LabMac(std::uint8_t last) {
    return {2, 0, 0x5e, 0x10, 0, last};
}

class MemoryTest : public DialogTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isValid());
        deviceStore.path = home.filePath("talvik/devices.sqlite3").toStdString();
        networkOf = [](std::span<const store::ScanRow>) { return std::optional(kLab); };
        Open();
    }

    // A window as a new run of the program makes it.
    void Open() {
        dialog.reset();
        DialogTest::SetUp();
        AddRows({"203.0.113.1", "203.0.113.2", "203.0.113.3"});
    }

    QAction* Remember() const { return dialog->menuAction(ID_REMEMBER_DEVICES); }

    int Count(const char* text) const {
        return static_cast<int>(
            std::count_if(messages.shown.begin(), messages.shown.end(),
                          [&](const ShownMessage& m) { return m.text == text; }));
    }

    // Scans every row (or the selected ones) and waits until the store has answered with what
    // changed.
    void Scan(int command = ID_SCAN_ALL) {
        const int before = Count(kScanComplete);
        dialog->OnCommand(command);
        ASSERT_TRUE(QTest::qWaitFor([&] { return Count(kScanComplete) > before; }, 10000));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->Engine().IsScanRunning(); }, 10000));
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                for (int row = 0; row < dialog->resultList()->topLevelItemCount(); ++row) {
                    if (ToolTip(row).contains("首次发现")) {
                        return true;
                    }
                }
                return false;
            },
            10000));
        scannedAt = store::LocalDateText(std::time(nullptr));
    }

    QString ProgressText() const {
        return dialog->progressBar()->isTextVisible() ? dialog->progressBar()->text() : QString();
    }

    // The tooltip's text as a screen reader gets it, never as markup.
    QString Described(int row) const {
        return dialog->resultList()
            ->topLevelItem(row)
            ->data(2, Qt::AccessibleDescriptionRole)
            .toString();
    }

    QImage Mark(int row) const {
        return dialog->resultList()->topLevelItem(row)->icon(2).pixmap(16).toImage();
    }

    // The rows as the CSV export writes them, header and line ends left off.
    QStringList ExportedLines() {
        const QString file = home.filePath("rows.csv");
        QFile::remove(file);
        exports.answers.push_back(file);
        dialog->menuAction(ID_EXPORT_RESULTS)->trigger();
        QFile read(file);
        EXPECT_TRUE(read.open(QIODevice::ReadOnly));
        QStringList lines = QString::fromUtf8(read.readAll()).split("\r\n", Qt::SkipEmptyParts);
        lines.removeFirst();
        return lines;
    }

    // Whether the sender was told `mac` at `address` after its first `from` devices.
    bool Told(std::size_t from, std::uint32_t address, const Mac& mac) const {
        const std::vector<KnownDevice> told = arp->Remembered();
        return std::any_of(told.begin() + static_cast<std::ptrdiff_t>(std::min(from, told.size())),
                           told.end(), [&](const KnownDevice& device) {
                               return device.address == address && device.mac == mac;
                           });
    }

    QTemporaryDir home;
    std::string scannedAt;
};

TEST_F(MemoryTest, TheSwitchMakesTheStoreAndAsksBeforeItDeletesIt) {
    const QList<QAction*> settings = dialog->menuBar()->actions()[1]->menu()->actions();
    ASSERT_EQ(settings.size(), 5);
    EXPECT_EQ(settings[0]->text(), "高级选项(&P)");
    EXPECT_EQ(settings[2], Remember());
    EXPECT_EQ(Remember()->text(), "记住设备(&R)");
    EXPECT_EQ(dialog->menuBar()->actions()[0]->menu()->actions().back(),
              dialog->menuAction(ID_DEVICE_RECORDS));
    EXPECT_TRUE(Remember()->isCheckable());
    EXPECT_FALSE(Remember()->isChecked());
    EXPECT_FALSE(dialog->menuAction(ID_DEVICE_RECORDS)->isEnabled());

    Remember()->trigger();
    EXPECT_TRUE(QFile::exists(QString::fromStdString(deviceStore.path)));
    EXPECT_TRUE(Remember()->isChecked());
    EXPECT_TRUE(dialog->menuAction(ID_DEVICE_RECORDS)->isEnabled());
    arp->Script(kHost + 2, Answers(LabMac(2)));
    arp->Script(kHost + 3, Answers(LabMac(3)));
    Scan();

    // The next run finds memory on.
    Open();
    EXPECT_TRUE(Remember()->isChecked());
    const std::size_t before = messages.shown.size();
    messages.answers = {kIdNo};
    Remember()->trigger();
    const ShownMessage asked{"关闭后将删除已记住的 2 台设备。是否继续？", kCaption,
                             kMbYesNo | kMbIconQuestion};
    EXPECT_EQ(messages.shown.back(), asked);
    EXPECT_TRUE(Remember()->isChecked());
    EXPECT_TRUE(QFile::exists(QString::fromStdString(deviceStore.path)));

    messages.answers = {kIdYes};
    Remember()->trigger();
    EXPECT_EQ(messages.shown.size(), before + 2);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(deviceStore.path)));
    EXPECT_FALSE(Remember()->isChecked());
    EXPECT_FALSE(dialog->menuAction(ID_DEVICE_RECORDS)->isEnabled());
}

TEST_F(MemoryTest, MarksAndTooltipsTellWhatChangedSinceTheLastScan) {
    // Off, a scan leaves no trace.
    arp->Script(kHost + 2, Answers(LabMac(2)));
    arp->Script(kHost + 3, Answers(LabMac(3)));
    dialog->OnCommand(ID_SCAN_ALL);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count(kScanComplete) == 1; }, 10000));
    QTest::qWait(100);
    EXPECT_EQ(ToolTip(1), "在线");
    EXPECT_FALSE(QFile::exists(QString::fromStdString(deviceStore.path)));

    Remember()->trigger();
    // The marks come while the completion box is still up.
    QString whileBoxUp;
    messages.whileShown = [&](const ShownMessage& box) {
        if (box.text == kScanComplete) {
            static_cast<void>(
                QTest::qWaitFor([&] { return ProgressText().contains("新设备"); }, 5000));
            whileBoxUp = ProgressText();
        }
    };
    Scan();
    messages.whileShown = nullptr;
    EXPECT_EQ(whileBoxUp, "3/3 · 2 台在线 · 2 台新设备");
    EXPECT_EQ(ProgressText(), "3/3 · 2 台在线 · 2 台新设备");
    EXPECT_EQ(ToolTip(0), "无响应");
    EXPECT_EQ(ToolTip(1), "在线\n新设备（首次发现）");
    EXPECT_TRUE(Mark(0).isNull());
    EXPECT_EQ(Mark(1), NewDeviceMark().pixmap(16).toImage());
    // The cells stay the Part's own.
    EXPECT_EQ(dialog->ResultRows().GetItemText(1, 2), "02-00-5e-10-00-02");
    const std::string first = scannedAt;

    // .2 answers with another MAC, .3 left.
    arp->Script(kHost + 2, Answers(LabMac(9)));
    arp->Script(kHost + 3, ArpAnswer{});
    Scan();
    EXPECT_EQ(ProgressText(), "3/3 · 1 台在线");  // marked as a change, not counted as new
    EXPECT_EQ(ToolTip(1), "在线\n新设备（首次发现）\n上次为 02-00-5e-10-00-02，" +
                              QString::fromStdString(first));
    EXPECT_EQ(Mark(1), ChangedMacMark().pixmap(16).toImage());
    EXPECT_NE(ChangedMacMark().pixmap(16).toImage(), NewDeviceMark().pixmap(16).toImage());
    const QString second = QString::fromStdString(scannedAt);
    EXPECT_EQ(ToolTip(2),
              "无响应\n最后发现：" + QString::fromStdString(first) + "（02-00-5e-10-00-03）");
    EXPECT_TRUE(Mark(2).isNull());

    // Known devices carry no mark; clearing the results takes the marks away.
    Scan();
    EXPECT_EQ(ProgressText(), "3/3 · 1 台在线");
    EXPECT_TRUE(Mark(1).isNull());
    EXPECT_EQ(ToolTip(1), "在线\n首次发现：" + second);
    EXPECT_EQ(Count(kScanComplete), 4);
    EXPECT_EQ(messages.shown.size(), 4u);  // no other box
}

TEST_F(MemoryTest, ANameFollowsItsMacIntoTooltipsCopiesAndTheNextRun) {
    Remember()->trigger();
    arp->Script(kHost + 2, Answers(LabMac(2)));
    Scan();
    QTreeWidget* list = dialog->resultList();
    list->setCurrentItem(list->topLevelItem(1));
    const ListMenu menu = OpenListMenu();
    ASSERT_TRUE(menu.opened);
    EXPECT_EQ(menu.texts.mid(7), (QStringList{"-", "复制(&C)", "-", "命名(&N)…"}));
    EXPECT_TRUE(menu.enabled.back());

    std::optional<QString> label;
    WithModal<QInputDialog>([&] { dialog->OnCommand(ID_NAME_DEVICE); },
                            [&](QInputDialog& input) {
                                label = input.labelText();
                                input.setTextValue("  客厅<b>电视</b> ");
                                input.accept();
                            });
    EXPECT_EQ(label, "02-00-5e-10-00-02 的名称（留空则清除）：");
    EXPECT_TRUE(Described(1).startsWith("客厅<b>电视</b>\n在线\n")) << Described(1).toStdString();
    // A name is shown as typed, never as markup.
    EXPECT_TRUE(ToolTip(1).contains("客厅&lt;b&gt;电视&lt;/b&gt;")) << ToolTip(1).toStdString();
    dialog->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    list->setFocus();
    QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(),
              "203.0.113.2\trunning\t02-00-5e-10-00-02\t\t客厅<b>电视</b>\n");
    // The export says what the window shows: a new device, first and last seen by this scan.
    const QString time =
        QStringLiteral("(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d)");
    QStringList lines = ExportedLines();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], "203.0.113.1,silent,,,,,,,,,,");
    QRegularExpressionMatch match =
        QRegularExpression("^203\\.0\\.113\\.2,answered,02:00:5e:10:00:02,,,客厅<b>电视</b>," +
                           time + "," + time + ",true,,,$")
            .match(lines[1]);
    ASSERT_TRUE(match.hasMatch()) << lines[1].toStdString();
    EXPECT_EQ(match.captured(1), match.captured(2));
    const QString firstSeen = match.captured(1);

    // Next run, the device moved to .3; the sender knows its MAC before the scan asks.
    const std::size_t told = arp->Remembered().size();
    Open();
    EXPECT_TRUE(QTest::qWaitFor([&] { return Told(told, kHost + 2, LabMac(2)); }, 5000));
    arp->Script(kHost + 2, ArpAnswer{});
    arp->Script(kHost + 3, Answers(LabMac(2)));
    Scan();
    EXPECT_TRUE(Described(2).startsWith("客厅<b>电视</b>\n在线\n")) << Described(2).toStdString();
    lines = ExportedLines();
    ASSERT_EQ(lines.size(), 3);
    // The device that left: when it was last seen there, and its MAC.
    EXPECT_EQ(lines[1],
              "203.0.113.2,silent,,,,客厅<b>电视</b>,," + firstSeen + ",,02:00:5e:10:00:02,,");
    match = QRegularExpression("^203\\.0\\.113\\.3,answered,02:00:5e:10:00:02,,,客厅<b>电视</b>," +
                               time + "," + time + ",false,,,$")
                .match(lines[2]);
    ASSERT_TRUE(match.hasMatch()) << lines[2].toStdString();
    EXPECT_EQ(match.captured(1), firstSeen);
    // A silent row cannot be named.
    list = dialog->resultList();
    list->clearSelection();
    list->topLevelItem(0)->setSelected(true);
    EXPECT_FALSE(OpenListMenu().enabled.back());
}

TEST_F(MemoryTest, AStoreThatCannotBeOpenedIsToldOnceAndScansStillRun) {
    // Memory is on (something is there) but it is no database file.
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(deviceStore.path)));
    Open();
    EXPECT_TRUE(Remember()->isChecked());
    arp->Script(kHost + 2, Answers(LabMac(2)));
    for (int scan = 1; scan <= 2; ++scan) {
        dialog->OnCommand(ID_SCAN_ALL);
        ASSERT_TRUE(QTest::qWaitFor([&] { return Count(kScanComplete) == scan; }, 10000));
        ASSERT_TRUE(QTest::qWaitFor([&] { return messages.shown.size() >= 2; }, 10000));
        QTest::qWait(100);
    }
    ASSERT_EQ(messages.shown.size(), 3u);
    EXPECT_EQ(messages.shown[1].caption, kCaption);
    EXPECT_FALSE(messages.shown[1].text.empty());
    EXPECT_EQ(dialog->ResultRows().GetItemText(1, 1), kRunning);
    EXPECT_EQ(ToolTip(1), "在线");
    // Turning it off cannot count what it cannot read.
    Remember()->trigger();
    EXPECT_EQ(messages.shown.back().text, "关闭后将删除设备记录。是否继续？");
}

TEST_F(MemoryTest, ADamagedStoreReplacedWhileOpeningIsTold) {
    ASSERT_TRUE(QDir().mkpath(home.filePath("talvik")));
    const std::string path = deviceStore.path;
    // Damage in the first page, and damage that only reading the tables meets.
    for (const bool deep : {false, true}) {
        QFile::remove(QString::fromStdString(path));
        if (deep) {
            auto made = store::DeviceStore::Create(path);
            ASSERT_TRUE(made.store);
            std::vector<store::ScanRow> rows;
            for (std::uint32_t i = 1; i < 200; ++i) {
                char mac[18];
                std::snprintf(mac, sizeof mac, "02-00-5e-10-00-%02x", i);
                rows.push_back({kHost + i, mac, std::string(100, 'm'), ""});
            }
            ASSERT_TRUE(made.store->RecordScan(kLab, rows, 1'800'000'000).status.Ok());
        }
        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        const qint64 from = deep ? 4096 : 0;
        ASSERT_TRUE(file.seek(from));
        file.write(
            QByteArray(static_cast<int>(std::max<qint64>(file.size() - from, 8192)), '\xff'));
        file.close();
        messages.shown.clear();
        Open();
        arp->Script(kHost + 2, Answers(LabMac(2)));
        Scan();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return std::any_of(messages.shown.begin(), messages.shown.end(), [](const auto& m) {
                    return m.text.find("设备记录文件已损坏，已改名保存为") != std::string::npos;
                });
            },
            3000))
            << "deep=" << deep;
    }
}

TEST_F(MemoryTest, TheRecordsWindowSortsFiltersRenamesAndForgets) {
    dialog.reset();
    DialogTest::SetUp();
    AddRows({"203.0.113.2", "203.0.113.9", "203.0.113.10", "203.0.113.100"});
    for (const std::uint8_t last :
         {std::uint8_t{2}, std::uint8_t{9}, std::uint8_t{10}, std::uint8_t{100}}) {
        arp->Script(kHost + last, Answers(LabMac(last)));
    }
    Remember()->trigger();
    Scan();
    arp->Script(kHost + 2, ArpAnswer{});
    Scan();

    const auto column = [](CDeviceRecordsDlg& records, int which) {
        QStringList texts;
        for (int row = 0; row < records.sorted()->rowCount(); ++row) {
            texts << records.sorted()->index(row, which).data().toString();
        }
        return texts;
    };
    bool opened = false;
    WithModal<CDeviceRecordsDlg>(
        [&] { dialog->OnCommand(ID_DEVICE_RECORDS); },
        [&](CDeviceRecordsDlg& records) {
            opened = true;
            EXPECT_EQ(records.windowTitle(), "设备记录");
            EXPECT_EQ(records.table()->accessibleName(), "设备列表");
            EXPECT_EQ(records.filterEdit()->accessibleName(), "筛选");
            EXPECT_TRUE(records.isSizeGripEnabled());
            // Addresses in numeric order, not as text.
            EXPECT_EQ(column(records, DeviceTableModel::Address),
                      (QStringList{"203.0.113.2", "203.0.113.9", "203.0.113.10", "203.0.113.100"}));
            EXPECT_EQ(column(records, DeviceTableModel::State),
                      (QStringList{"离线", "在线", "在线", "在线"}));
            records.table()->sortByColumn(DeviceTableModel::Address, Qt::DescendingOrder);
            EXPECT_EQ(column(records, DeviceTableModel::Address).first(), "203.0.113.100");
            records.table()->sortByColumn(DeviceTableModel::State, Qt::AscendingOrder);
            EXPECT_EQ(column(records, DeviceTableModel::State).first(), "离线");
            EXPECT_EQ(records.countLabel()->text(), "共 4 台设备，3 台在线");

            QTest::keyClicks(records.filterEdit(), "00-0A");
            EXPECT_EQ(column(records, DeviceTableModel::Mac), QStringList{"02-00-5e-10-00-0a"});
            EXPECT_EQ(records.countLabel()->text(), "共 4 台设备，3 台在线（显示 1 台）");

            // Rename the one shown; the row of the main list follows.
            const QModelIndex name = records.sorted()->index(0, DeviceTableModel::Name);
            EXPECT_TRUE(records.sorted()->setData(name, " 打印机 "));
            EXPECT_EQ(name.data().toString(), "打印机");
            EXPECT_TRUE(ToolTip(2).startsWith("打印机\n")) << ToolTip(2).toStdString();

            // Forget it, once the user agrees.
            records.table()->setCurrentIndex(name);
            messages.answers = {kIdNo, kIdYes};
            records.OnForget();
            EXPECT_EQ(records.sorted()->rowCount(), 1);
            records.OnForget();
            EXPECT_EQ(records.sorted()->rowCount(), 0);
            records.filterEdit()->clear();
            EXPECT_EQ(records.countLabel()->text(), "共 3 台设备，2 台在线");

            messages.answers = {kIdYes};
            records.OnForgetNetwork();
            EXPECT_EQ(messages.shown.back().text, "忘记此网络的全部 3 台设备？");
            EXPECT_EQ(records.sorted()->rowCount(), 0);
            EXPECT_EQ(ToolTip(3), "在线");  // nothing is remembered of it now
            records.reject();
        });
    ASSERT_TRUE(opened);
    const store::NetworkDevices left = dialog->Memory().Devices(kLab);
    EXPECT_TRUE(left.status.Ok());
    EXPECT_TRUE(left.devices.empty());
}

// Runs of the command fill several networks: the window lists them all, each row with its
// network, shows the latest scan's network first and forgets only the network chosen.
TEST_F(MemoryTest, TheRecordsWindowListsEveryNetworkWithAColumnAndAFilter) {
    Remember()->trigger();
    arp->Script(kHost + 2, Answers(LabMac(2)));
    Scan();
    {
        const store::NetworkId other{"198.51.100.0/24", "02-00-5e-10-00-fe"};
        const store::ScanRow rows[] = {{0xC6336405, "02:00:5e:10:00:33", "", ""},
                                       {0xC6336406, "02:00:5e:10:00:34", "", ""}};
        const auto opened = store::DeviceStore::Open(deviceStore.path);
        ASSERT_TRUE(opened.store);
        ASSERT_TRUE(opened.store->RecordScan(other, rows, std::time(nullptr)).status.Ok());
    }
    const auto column = [](CDeviceRecordsDlg& records, int which) {
        QStringList texts;
        for (int row = 0; row < records.sorted()->rowCount(); ++row) {
            texts << records.sorted()->index(row, which).data().toString();
        }
        return texts;
    };
    const QString otherText = "198.51.100.0/24（网关 MAC 地址 02-00-5e-10-00-fe）";
    bool opened = false;
    WithModal<CDeviceRecordsDlg>(
        [&] { dialog->OnCommand(ID_DEVICE_RECORDS); },
        [&](CDeviceRecordsDlg& records) {
            opened = true;
            QComboBox* choice = records.networkChoice();
            ASSERT_EQ(choice->count(), 3);
            EXPECT_EQ(choice->itemText(0), "全部网络");
            EXPECT_EQ(choice->itemText(1), otherText);
            EXPECT_EQ(choice->currentText(), "203.0.113.0/24");
            EXPECT_EQ(records.model()->headerData(DeviceTableModel::Network, Qt::Horizontal,
                                                  Qt::DisplayRole),
                      "网络");
            EXPECT_EQ(column(records, DeviceTableModel::Address), QStringList{"203.0.113.2"});
            EXPECT_EQ(column(records, DeviceTableModel::Network), QStringList{"203.0.113.0/24"});
            choice->setCurrentIndex(0);
            EXPECT_EQ(column(records, DeviceTableModel::Address),
                      (QStringList{"198.51.100.5", "198.51.100.6", "203.0.113.2"}));
            // The cell names the subnet; its tooltip and the filter know the gateway too.
            EXPECT_EQ(column(records, DeviceTableModel::Network),
                      (QStringList{"198.51.100.0/24", "198.51.100.0/24", "203.0.113.0/24"}));
            EXPECT_EQ(records.sorted()->index(0, DeviceTableModel::Network).data(Qt::ToolTipRole),
                      otherText);
            // The text filter works across networks too.
            QTest::keyClicks(records.filterEdit(), "00:34");
            EXPECT_EQ(column(records, DeviceTableModel::Address), QStringList{"198.51.100.6"});
            records.filterEdit()->clear();
            QTest::keyClicks(records.filterEdit(), "10-00-fe");
            EXPECT_EQ(records.sorted()->rowCount(), 2);
            records.filterEdit()->clear();
            choice->setCurrentIndex(1);
            EXPECT_EQ(records.sorted()->rowCount(), 2);
            messages.answers = {kIdYes};
            records.OnForgetNetwork();
            EXPECT_EQ(messages.shown.back().text, "忘记此网络的全部 2 台设备？");
            choice->setCurrentIndex(0);
            EXPECT_EQ(column(records, DeviceTableModel::Address), QStringList{"203.0.113.2"});
            records.reject();
        });
    ASSERT_TRUE(opened);
    EXPECT_EQ(dialog->Memory().Devices(kLab).devices.size(), 1U);
    // Two routers' networks on one subnet are told apart by their whole text.
    std::vector<DeviceRow> rows(3);
    for (int i = 0; i < 3; ++i) {
        rows[static_cast<std::size_t>(i)].network = i;
    }
    const DeviceTableModel twins(std::move(rows),
                                 {"203.0.113.0/24（网关 MAC 地址 02-00-5e-10-00-01）",
                                  "203.0.113.0/24（网关 MAC 地址 02-00-5e-10-00-02）", otherText});
    EXPECT_EQ(twins.index(0, DeviceTableModel::Network).data(),
              "203.0.113.0/24（网关 MAC 地址 02-00-5e-10-00-01）");
    EXPECT_EQ(twins.index(2, DeviceTableModel::Network).data(), "198.51.100.0/24");
    EXPECT_TRUE(dialog->Memory().Devices({"198.51.100.0/24", "02-00-5e-10-00-fe"}).devices.empty());
}

TEST_F(MemoryTest, TheRecordsWindowNamesTheGatewayFindsColonsAndForgetsMarks) {
    networkOf = [](std::span<const store::ScanRow>) {
        return std::optional(store::NetworkId{"203.0.113.0/24", "02-00-5e-10-00-01", kHost + 1});
    };
    Open();
    Remember()->trigger();
    arp->Script(kHost + 2, Answers(LabMac(2)));
    arp->Script(kHost + 3, Answers(LabMac(3)));
    Scan();
    ASSERT_FALSE(Mark(1).isNull());
    WithModal<CDeviceRecordsDlg>(
        [&] { dialog->OnCommand(ID_DEVICE_RECORDS); },
        [&](CDeviceRecordsDlg& records) {
            const QList<QLabel*> labels = records.findChildren<QLabel*>();
            EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [](const QLabel* label) {
                return label->text() ==
                       "网络：203.0.113.0/24（网关 203.0.113.1，MAC 地址 02-00-5e-10-00-01）";
            }));
            // A MAC as the exports write it.
            QTest::keyClicks(records.filterEdit(), "5E:10:00:02");
            ASSERT_EQ(records.sorted()->rowCount(), 1);
            // F2 names the device from any cell of its row.
            records.table()->setFocus();
            records.table()->setCurrentIndex(records.sorted()->index(0, DeviceTableModel::Mac));
            QTest::keyClick(records.table(), Qt::Key_F2);
            const auto* editor = records.table()->viewport()->findChild<QLineEdit*>();
            EXPECT_TRUE(editor != nullptr && editor->isVisible());
            EXPECT_EQ(records.table()->currentIndex().column(), DeviceTableModel::Name);
            records.table()->setFocus();
            messages.answers = {kIdYes};
            records.OnForget();
            records.reject();
        });
    // The forgotten device's row no longer says it is new.
    EXPECT_TRUE(Mark(1).isNull());
    EXPECT_FALSE(Mark(2).isNull());
    EXPECT_EQ(ProgressText(), "3/3 · 2 台在线 · 1 台新设备");
}

TEST_F(MemoryTest, EveryMacOfAConflictIsRemembered) {
    Remember()->trigger();
    arp->Script(kHost + 2, Answers(LabMac(2)));
    dialog->OnCommand(ID_SCAN_ALL);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return dialog->ResultRows().GetItemText(1, 1) == kRunning; }, 10000));
    ASSERT_TRUE(arp->AnswerLate(kHost + 2, LabMac(9)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count(kScanComplete) == 1; }, 10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return ToolTip(1).contains("首次发现"); }, 10000));
    EXPECT_EQ(ProgressText(), "3/3 · 1 台在线 · 2 台新设备");
    const QString first = QString::fromStdString(store::LocalDateText(std::time(nullptr)));
    QTest::qWait(1100);

    // The conflict ends: the second is no stranger, and took the address from nobody.
    arp->Script(kHost + 2, Answers(LabMac(9)));
    Scan();
    EXPECT_EQ(ProgressText(), "3/3 · 1 台在线");
    EXPECT_TRUE(Mark(1).isNull());
    EXPECT_EQ(ToolTip(1), "在线\n首次发现：" + first);
    const store::NetworkDevices known = dialog->Memory().Devices(kLab);
    ASSERT_EQ(known.devices.size(), 2u);
    EXPECT_EQ(known.devices[0].firstSeen, known.devices[1].firstSeen);
}

TEST_F(MemoryTest, TheRecordsCallOfflineOnlyADeviceTheLastScanAsked) {
    Remember()->trigger();
    arp->Script(kHost + 1, Answers(LabMac(1)));
    arp->Script(kHost + 2, Answers(LabMac(2)));
    arp->Script(kHost + 3, Answers(LabMac(3)));
    Scan();
    const QString seen = QString::fromStdString(scannedAt);
    // Then .1 alone, still there, and .2 alone, gone: .3 was not asked since.
    arp->Script(kHost + 2, ArpAnswer{});
    QTreeWidget* list = dialog->resultList();
    list->clearSelection();
    list->topLevelItem(0)->setSelected(true);
    list->topLevelItem(1)->setSelected(true);
    Scan(ID_SCAN_SELECTED);
    WithModal<CDeviceRecordsDlg>(
        [&] { dialog->OnCommand(ID_DEVICE_RECORDS); },
        [&](CDeviceRecordsDlg& records) {
            // Within the screen, the last button inside the window.
            const QRect screen = records.screen()->availableGeometry();
            EXPECT_LE(records.width(), screen.width()) << screen.width();
            EXPECT_LE(records.height(), screen.height());
            const auto buttons = records.findChildren<QPushButton*>();
            ASSERT_FALSE(buttons.isEmpty());
            for (const QPushButton* button : buttons) {
                EXPECT_TRUE(records.rect().contains(
                    QRect(button->mapTo(&records, QPoint(0, 0)), button->size())))
                    << button->text().toStdString();
            }
            QStringList states;
            for (int row = 0; row < 3; ++row) {
                states << records.sorted()->index(row, DeviceTableModel::State).data().toString();
            }
            EXPECT_EQ(states, (QStringList{"在线", "离线", "最后发现于 " + seen}));
            EXPECT_EQ(records.countLabel()->text(),
                      "共 3 台设备，1 台在线，1 台不在上次扫描范围内");
            records.reject();
        });
}

TEST_F(MemoryTest, AWatchWritesWhatItHeardAndToldIntoTheNetworksRecord) {
    const auto fakeWires = std::make_shared<FakeWires>();
    wires = fakeWires;
    identify = [](std::uint32_t) {
        NetworkIdentity identity;
        identity.interfaceName = "tvk-watch0";
        identity.address = kHost + 1;
        identity.prefixLength = 24;
        return std::optional(identity);
    };
    Open();
    Remember()->trigger();
    arp->Script(kHost + 2, Answers(LabMac(2)));
    Scan();
    QAction* watch = dialog->menuAction(ID_WATCH_NETWORK);
    watch->trigger();
    ASSERT_TRUE(watch->isChecked());
    fakeWires->latest->Claim(kHost + 7, LabMac(7));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return ProgressText().contains("203.0.113.7 发现新设备"); }, 5000));
    // Turned off, the watch writes what it has not written yet; so does a window closed.
    watch->trigger();
    const auto heard = [&] {
        for (const store::Device& device : dialog->Memory().Devices(kLab).devices) {
            if (device.address == kHost + 7 && device.mac == "02-00-5e-10-00-07") {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(QTest::qWaitFor(heard, 5000));
    const auto opened = store::DeviceStore::Open(deviceStore.path);
    ASSERT_TRUE(opened.store);
    const auto events = opened.store->WatchEvents(kLab, 10);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, "new");
    EXPECT_EQ(events[0].address, kHost + 7);

    watch->trigger();
    fakeWires->latest->Claim(kHost + 8, LabMac(8));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return ProgressText().contains("203.0.113.8 发现新设备"); }, 5000));
    dialog.reset();
    EXPECT_EQ(opened.store->WatchEvents(kLab, 10).size(), 2u);
}

}  // namespace
}  // namespace talvik::test
