// The advanced options dialog, driven through its real modal loop as a user would drive it.
#include <QAction>
#include <QCheckBox>
#include <QPushButton>
#include <QSlider>

#include "scan/CommandIds.h"
#include "scan/ScanEngine.h"
#include "tests/ui/DialogFixture.h"
#include "ui/AdvancedOptionsDlg.h"

namespace talvik::test {
namespace {

using Dlg = CAdvancedOptionsDlg;

QSlider* Speed(Dlg& d) {
    return d.findChild<QSlider*>(QStringLiteral("IDC_SPEED_SLIDER"));
}
QSlider* Net(Dlg& d) {
    return d.findChild<QSlider*>(QStringLiteral("IDC_NET_SLIDER"));
}
void Click(Dlg& d, const char* button) {
    d.findChild<QPushButton*>(QString::fromLatin1(button))->click();
}
// Keys go to whatever has the focus, as from the keyboard.
void Keys(Dlg& d, const std::initializer_list<Qt::Key>& keys) {
    for (Qt::Key key : keys) {
        QTest::keyClick(d.focusWidget() != nullptr ? d.focusWidget() : &d, key);
    }
}

TEST(AdvancedOptionsTest, AcceptingTakesWhatTheSlidersShowAndClearsTheFlag) {
    using K = std::initializer_list<Qt::Key>;
    struct Case {
        const char* name;
        ScanSettings start;
        std::function<void(Dlg&)> act;
        bool accepted;
        std::int32_t workerLimit;
        std::int32_t networkCondition;
    } cases[] = {
        {"ok",
         {1, 2500, 12},
         [](Dlg& d) {
             EXPECT_FALSE(d.findChild<QCheckBox*>()->isVisible());
             EXPECT_EQ(d.focusWidget(), Net(d));
             Click(d, "IDC_ADV_OK");
         },
         true,
         12,
         2500},
        {"defaults, cancel",
         {1, 3000, 7},
         [](Dlg& d) {
             Click(d, "IDC_ADV_DEFAULTS");
             EXPECT_EQ(Speed(d)->value(), 40);
             EXPECT_EQ(Net(d)->value(), 1000);
             Click(d, "IDC_ADV_CANCEL");
         },
         false,
         7,
         3000},
        {"defaults, ok",
         {0, 3000, 7},
         [](Dlg& d) {
             Click(d, "IDC_ADV_DEFAULTS");
             Click(d, "IDC_ADV_OK");
         },
         true,
         40,
         1000},
        {"escape",
         {0, 1000, 50},
         [](Dlg& d) {
             Keys(d, K{Qt::Key_End, Qt::Key_Escape});
         },
         false,
         50,
         1000},
        {"close box",
         {0, 1000, 50},
         [](Dlg& d) {
             Speed(d)->setValue(3);
             d.close();
         },
         false,
         50,
         1000},
        {"enter on the sliders",
         {0, 1000, 50},
         [](Dlg& d) {
             Keys(d, K{Qt::Key_Right, Qt::Key_Tab, Qt::Key_Left, Qt::Key_Left, Qt::Key_Return});
         },
         true,
         48,
         1001},
        {"keypad enter",
         {0, 1000, 50},
         [](Dlg& d) {
             Keys(d, K{Qt::Key_Left});
             QTest::keyClick(d.focusWidget(), Qt::Key_Enter, Qt::KeypadModifier);
         },
         true,
         50,
         999},
        {"enter on buttons",
         {0, 3000, 7},
         [](Dlg& d) {
             d.findChild<QPushButton*>(QStringLiteral("IDC_ADV_DEFAULTS"))->setFocus();
             Keys(d, K{Qt::Key_Return});
             EXPECT_EQ(Speed(d)->value(), 40);
             EXPECT_TRUE(d.isVisible());
             d.findChild<QPushButton*>(QStringLiteral("IDC_ADV_CANCEL"))->setFocus();
             Keys(d, K{Qt::Key_Return});
         },
         false,
         7,
         3000},
        {"clamped", {0, 99999, -5}, [](Dlg& d) { Click(d, "IDC_ADV_OK"); }, true, 1, 5000},
        {"extremes",
         {0, 1000, 50},
         [](Dlg& d) {
             Keys(d, K{Qt::Key_Home, Qt::Key_PageDown, Qt::Key_Tab});
             for (int i = 0; i < 20; ++i) {
                 Keys(d, K{Qt::Key_PageUp});
             }
             Keys(d, K{Qt::Key_Return});
         },
         true,
         64,
         100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScanSettings settings = c.start;
        bool accepted = false;
        EXPECT_TRUE(
            WithModal<Dlg>([&] { accepted = EditAdvancedOptions(settings, nullptr); }, c.act));
        EXPECT_EQ(accepted, c.accepted);
        EXPECT_EQ(settings.workerLimit, c.workerLimit);
        EXPECT_EQ(settings.networkCondition, c.networkCondition);
        EXPECT_EQ(settings.scanUnpinged, c.accepted ? 0 : c.start.scanUnpinged);
    }
}

using AdvancedCommandTest = DialogTest;

TEST_F(AdvancedCommandTest, MenuAndToolbarEditTheEnginesSettingsFromTheLastAccepted) {
    EXPECT_EQ(WithModal<Dlg>([&] { dialog->menuAction(ID_ADVANCED)->trigger(); },
                             [](Dlg& d) {
                                 EXPECT_EQ(Speed(d)->value(), 50);
                                 EXPECT_EQ(Net(d)->value(), 1000);
                                 Speed(d)->setValue(4);
                                 Net(d)->setValue(700);
                                 Click(d, "IDC_ADV_OK");
                             }),
              dialog.get());
    EXPECT_EQ(dialog->Engine().Settings().workerLimit, 4);
    EXPECT_EQ(dialog->Engine().Settings().networkCondition, 700);

    for (int showing = 0; showing < 2; ++showing) {  // a cancelled showing does not leak
        EXPECT_EQ(WithModal<Dlg>([&] { dialog->toolAction(ID_ADVANCED)->trigger(); },
                                 [](Dlg& d) {
                                     EXPECT_EQ(Speed(d)->value(), 4);
                                     Speed(d)->setValue(64);
                                     Click(d, "IDC_ADV_CANCEL");
                                 }),
                  dialog.get());
    }
    EXPECT_EQ(dialog->Engine().Settings().workerLimit, 4);
}

}  // namespace
}  // namespace talvik::test
