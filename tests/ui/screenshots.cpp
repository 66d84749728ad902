// SPDX-License-Identifier: GPL-3.0-or-later
// Not a test: pictures of the boxes and menus as a user sees them, taken by
// scripts/screenshots.sh under a real window manager. Skipped unless it names a folder.

#include "arp/ArpSenders.h"
#include "tests/ui/DialogFixture.h"

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

}  // namespace
}  // namespace talvik::test
