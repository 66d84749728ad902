// The main window's options and about commands reach their dialogs and take over what they
// should.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "platform/AboutInfo.h"
#include "platform/AboutLibrary.h"
#include "scan/CommandIds.h"
#include "scan/ScanEngine.h"
#include "tests/ui/ScriptedMessageBox.h"
#include "ui/AboutDlg.h"
#include "ui/AdvancedOptionsDlg.h"
#include "ui/ScannerDlg.h"

namespace talvik::test {
namespace {

class ScriptedAboutLibrary final : public IAboutLibrary {
public:
    explicit ScriptedAboutLibrary(bool present) : present_(present) {}
    bool ShowAbout(std::uint32_t mainIcon) override {
        icons.push_back(mainIcon);
        return present_;
    }
    std::vector<std::uint32_t> icons;

private:
    bool present_;
};

// Acts on the modal dialog of type D that `command` opens, and tells whether one opened, owned
// by `owner`. A dialog the action leaves open is closed so the test cannot hang.
template <typename D>
bool OpensModal(QWidget* owner, const std::function<void()>& command,
                const std::function<void(D&)>& act) {
    bool opened = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<D*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            return;
        }
        opened = dialog->parentWidget() == owner;
        act(*dialog);
        if (dialog->isVisible()) {
            ADD_FAILURE() << "the dialog was left open";
            dialog->done(-1);
        }
    });
    command();
    QCoreApplication::processEvents();
    return opened;
}

class DialogCommandsTest : public ::testing::Test {
protected:
    void Open(bool libraryPresent) {
        library = std::make_shared<ScriptedAboutLibrary>(libraryPresent);
        ScannerServices services;
        services.messageBox = &messages;
        services.aboutLibrary = library;
        dialog = std::make_unique<CScannerDlg>(std::move(services));
        dialog->show();
    }

    ScriptedMessageBox messages;
    std::shared_ptr<ScriptedAboutLibrary> library;
    std::unique_ptr<CScannerDlg> dialog;
};

TEST_F(DialogCommandsTest, AdvancedOptionsEditTheEnginesSettings) {
    Open(false);
    const auto setAndAccept = [](CAdvancedOptionsDlg& d) {
        EXPECT_EQ(d.findChild<QSlider*>("IDC_SPEED_SLIDER")->value(), 50);
        d.findChild<QSlider*>("IDC_SPEED_SLIDER")->setValue(4);
        d.findChild<QSlider*>("IDC_NET_SLIDER")->setValue(700);
        d.findChild<QPushButton*>("IDC_ADV_OK")->click();
    };
    EXPECT_TRUE(OpensModal<CAdvancedOptionsDlg>(
        dialog.get(), [&] { dialog->menuAction(ID_ADVANCED)->trigger(); }, setAndAccept));
    EXPECT_EQ(dialog->Engine().Settings().workerLimit, 4);
    EXPECT_EQ(dialog->Engine().Settings().networkCondition, 700);

    const auto moveAndCancel = [](CAdvancedOptionsDlg& d) {
        EXPECT_EQ(d.findChild<QSlider*>("IDC_SPEED_SLIDER")->value(), 4);
        d.findChild<QSlider*>("IDC_SPEED_SLIDER")->setValue(64);
        d.findChild<QPushButton*>("IDC_ADV_CANCEL")->click();
    };
    EXPECT_TRUE(OpensModal<CAdvancedOptionsDlg>(
        dialog.get(), [&] { dialog->toolAction(ID_ADVANCED)->trigger(); }, moveAndCancel));
    EXPECT_EQ(dialog->Engine().Settings().workerLimit, 4);
}

TEST_F(DialogCommandsTest, AboutSoftwareHandsTheMainIconToThePresentLibrary) {
    Open(true);
    EXPECT_FALSE(OpensModal<CAboutDlg>(
        dialog.get(), [&] { dialog->menuAction(ID_ABOUT_SOFTWARE)->trigger(); },
        [](CAboutDlg& d) { d.reject(); }));
    EXPECT_EQ(library->icons, std::vector<std::uint32_t>{kAboutMainIcon});
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(DialogCommandsTest, AboutSoftwareFallsBackToTheBuiltInDialog) {
    Open(false);
    EXPECT_TRUE(OpensModal<CAboutDlg>(
        dialog.get(), [&] { dialog->toolAction(ID_ABOUT_SOFTWARE)->trigger(); },
        [](CAboutDlg& d) { QTest::keyClick(&d, Qt::Key_Escape); }));
    EXPECT_EQ(library->icons.size(), 1u);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(DialogCommandsTest, WindowMenuAboutNeverAsksTheLibrary) {
    Open(true);
    for (unsigned command : {16u, 16u + 0x3u}) {
        EXPECT_TRUE(OpensModal<CAboutDlg>(
            dialog.get(), [&] { dialog->OnSysCommand(command); }, [](CAboutDlg& d) { d.accept(); }))
            << command;
    }
    EXPECT_TRUE(OpensModal<CAboutDlg>(
        dialog.get(), [&] { dialog->windowMenu()->actions().last()->trigger(); },
        [](CAboutDlg& d) { d.accept(); }));
    EXPECT_FALSE(OpensModal<CAboutDlg>(
        dialog.get(), [&] { dialog->OnSysCommand(32); }, [](CAboutDlg& d) { d.accept(); }));
    EXPECT_TRUE(library->icons.empty());
}

}  // namespace
}  // namespace talvik::test
