// SPDX-License-Identifier: GPL-3.0-or-later
// Not a test: pictures of the boxes and menus as a user sees them, taken by
// scripts/screenshots.sh under a real window manager. Skipped unless it names a folder.

#include "arp/ArpSenders.h"
#include "tests/ui/DialogFixture.h"
#include "ui/DeviceRecordsDlg.h"

namespace talvik::test {
namespace {

class Screenshots : public DialogTest {
protected:
    void SetUp() override {
        folder = qEnvironmentVariable("TALVIK_SCREENSHOT_DIR");
        if (folder.isEmpty()) {
            GTEST_SKIP() << "run by scripts/screenshots.sh";
        }
        DialogTest::SetUp();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
        QTest::qWait(500);
    }
    // The whole screen, window manager's frames included.
    void Shoot(const QString& name) {
        QTest::qWait(400);
        QProcess::execute(QStringLiteral("import"),
                          {QStringLiteral("-window"), QStringLiteral("root"),
                           folder + QLatin1Char('/') + name + QStringLiteral(".png")});
    }
    QString folder;
};

TEST_F(Screenshots, MenusBoxesAndTooltips) {
    // The system menu with its keys.
    auto* system = qobject_cast<QMenu*>(dialog->menuAction(ID_SCAN_ALL)->parent());
    ASSERT_NE(system, nullptr);
    system->popup(dialog->mapToGlobal(QPoint(10, 30)));
    Shoot(QStringLiteral("menu-system"));
    system->close();

    // The list's menu, a row selected.
    arp->Script(0xCB007102, Answers({2, 0, 0x5e, 0x10, 0, 2}));
    AddRows({"203.0.113.1", "203.0.113.2", "203.0.113.3"});
    dialog->OnScanAll();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->Engine().IsScanRunning(); }, 10000));
    dialog->resultList()->topLevelItem(1)->setSelected(true);
    const QPoint at = dialog->resultList()->viewport()->mapToGlobal(QPoint(60, 30));
    QTimer::singleShot(0, [&] {
        Shoot(QStringLiteral("menu-list"));
        if (QWidget* popup = QApplication::activePopupWidget()) {
            popup->close();
        }
    });
    dialog->OpenListMenu(at);

    // The fallback notice for a helper beside the program without the capability.
    const std::string tried = "/home/user/talvik/build/release/bin/talvik-arp";
    QtMessageBox box(dialog.get());
    QTimer::singleShot(300, [&] {
        Shoot(QStringLiteral("notice-fallback"));
        if (QWidget* modal = QApplication::activeModalWidget()) {
            modal->close();
        }
    });
    box.MessageBox(FallbackNotice(ArpSenderKind::Neighbour, kErrorNotSupported, tried), "Talvik",
                   kMbOk);
}

TEST_F(Screenshots, TheRecordsOfTwoNetworks) {
    const std::int64_t day = 1'796'000'000;  // December 2026
    const auto row = [&](const char* name, std::uint32_t address, const char* mac,
                         const char* maker, const char* host, int hours, bool online, int network) {
        return DeviceRow{name,   address, mac,    maker, host, day, day + hours * 3600,
                         online, true,    network};
    };
    std::vector<DeviceRow> rows{
        row("客厅树莓派", 0xCB00710A, "b8-27-eb-12-34-56", "Raspberry Pi Foundation", "pi.local",
            30, true, 0),
        row("", 0xCB007105, "f0-18-98-aa-bb-01", "Apple, Inc.", "", 2, false, 0),
        row("打印机", 0xCB007114, "00-17-88-01-02-03", "Philips Lighting BV", "", 30, true, 0),
        row("", 0xC6336401, "00-1b-21-0a-0b-0c", "Intel Corporate", "gw.office", 5, true, 1),
        row("会议室电视", 0xC633640C, "3c-5a-b4-11-22-33", "Google, Inc.", "", 5, true, 1),
        row("", 0xC6336421, "00-0c-29-3a-4b-5c", "VMware, Inc.", "build-01", 4, false, 1)};
    CDeviceRecordsDlg records(
        std::move(rows),
        {QStringLiteral("203.0.113.0/24（网关 203.0.113.254，MAC 地址 02-54-56-00-00-fe）"),
         QStringLiteral("198.51.100.0/24（网关 198.51.100.1，MAC 地址 00-1b-21-0a-0b-0c）")},
        0, {}, dialog.get());
    records.networkChoice()->setCurrentIndex(0);  // 全部网络
    records.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&records));
    Shoot(QStringLiteral("device-records"));
}

}  // namespace
}  // namespace talvik::test
