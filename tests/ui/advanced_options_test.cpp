// SPDX-License-Identifier: GPL-3.0-or-later
// The advanced options dialog, driven through its real modal loop as a user would drive it.
#include <variant>

#include "tests/ui/DialogFixture.h"
#include "ui/AdvancedOptionsDlg.h"

namespace talvik::test {
namespace {

using Dlg = CAdvancedOptionsDlg;

// What a user does: a key to whatever has the focus, "close" for the close box, or a button's
// name: clicked, or given the focus when it starts with '>'.
using Step = std::variant<Qt::Key, const char*>;

void Work(Dlg& d, const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        const char* const* button = std::get_if<const char*>(&step);
        if (button == nullptr) {
            QTest::keyClick(d.focusWidget() != nullptr ? d.focusWidget() : &d,
                            std::get<Qt::Key>(step));
        } else if (**button == '>') {
            d.findChild<QPushButton*>(QString::fromLatin1(*button + 1))->setFocus();
        } else if (std::string_view(*button) == "close") {
            d.close();
        } else {
            d.findChild<QPushButton*>(QString::fromLatin1(*button))->click();
        }
    }
}

TEST(AdvancedOptionsTest, AcceptingTakesWhatTheSlidersShowAndClearsTheFlag) {
    struct Case {
        ScanSettings start;
        std::vector<Step> steps;
        bool accepted;
        std::int32_t workerLimit;
        std::int32_t networkCondition;
    };
    // clang-format off
    const Case cases[] = {
        {{1, 2500, 12}, {"IDC_ADV_OK"}, true, 12, 2500},
        {{1, 3000, 7}, {"IDC_ADV_DEFAULTS", "IDC_ADV_CANCEL"}, false, 7, 3000},
        {{1, 3000, 7}, {"IDC_ADV_DEFAULTS", "IDC_ADV_OK"}, true, 40, 1000},
        {{0, 3000, 7}, {">IDC_ADV_DEFAULTS", Qt::Key_Return, "IDC_ADV_OK"}, true, 40, 1000},
        {{0, 3000, 7}, {">IDC_ADV_DEFAULTS", Qt::Key_Return, ">IDC_ADV_CANCEL", Qt::Key_Return},
         false, 7, 3000},
        {{0, 1000, 50}, {Qt::Key_End, Qt::Key_Escape}, false, 50, 1000},
        {{0, 1000, 50}, {Qt::Key_End, "close"}, false, 50, 1000},
        // The network slider has the focus, the hidden check box is never reached, and Enter
        // takes the sliders as they are.
        {{0, 1000, 50}, {Qt::Key_Right, Qt::Key_Tab, Qt::Key_Left, Qt::Key_Left, Qt::Key_Return},
         true, 48, 1001},
        {{0, 1000, 50}, {Qt::Key_Left, Qt::Key_Enter}, true, 50, 999},
        {{0, 99999, -5}, {"IDC_ADV_OK"}, true, 1, 5000},
        {{0, 1000, 50},
         {Qt::Key_Home, Qt::Key_PageDown, Qt::Key_Tab, Qt::Key_End, Qt::Key_PageUp, Qt::Key_Return},
         true, 64, 100},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        ScanSettings settings = c.start;
        bool accepted = false;
        EXPECT_TRUE(WithModal<Dlg>([&] { accepted = EditAdvancedOptions(settings, nullptr); },
                                   [&](Dlg& d) { Work(d, c.steps); })
                        .has_value());
        EXPECT_EQ(accepted, c.accepted);
        EXPECT_EQ(settings.workerLimit, c.workerLimit);
        EXPECT_EQ(settings.networkCondition, c.networkCondition);
        EXPECT_EQ(settings.scanUnpinged, c.accepted ? 0 : c.start.scanUnpinged);
    }
}

TEST(AdvancedOptionsTest, SlidersTellTheirValueAndMeaning) {
    ScanSettings settings{0, 3000, 12};
    WithModal<Dlg>([&] { EditAdvancedOptions(settings, nullptr); },
                   [&](Dlg& d) {
                       auto* net = d.findChild<QSlider*>("IDC_NET_SLIDER");
                       auto* speed = d.findChild<QSlider*>("IDC_SPEED_SLIDER");
                       EXPECT_EQ(net->toolTip(), "网络状况：3000\n未应答的主机再等 166 毫秒");
                       EXPECT_EQ(speed->toolTip(), "扫描速度：12\n同时探测 12 台主机");
                       EXPECT_EQ(net->accessibleName(), "网络状况");
                       EXPECT_EQ(speed->accessibleName(), "扫描速度");
                       Work(d, {Qt::Key_Home, "IDC_ADV_CANCEL"});
                       EXPECT_EQ(
                           net->toolTip(),
                           "网络状况：100\n未应答的主机再等 5000 毫秒，其间不时再问（间隔渐长）\n"
                           "省电休眠的手机、传感器醒来时便能应答");
                   });
}

using AdvancedCommandTest = DialogTest;

TEST_F(AdvancedCommandTest, MenuAndToolbarEditTheEnginesSettingsFromTheLastAccepted) {
    const auto show = [&](QAction* command, const std::vector<Step>& steps) {
        EXPECT_EQ(WithModal<Dlg>([&] { command->trigger(); }, [&](Dlg& d) { Work(d, steps); }),
                  dialog.get());
        return std::pair(dialog->Engine().Settings().workerLimit,
                         dialog->Engine().Settings().networkCondition);
    };
    const std::vector<Step> bothLower = {Qt::Key_Left, Qt::Key_Tab, Qt::Key_Left, "IDC_ADV_OK"};
    EXPECT_EQ(show(dialog->menuAction(ID_ADVANCED), bothLower), std::pair(49, 999));
    EXPECT_EQ(show(dialog->toolAction(ID_ADVANCED), {Qt::Key_End, "IDC_ADV_CANCEL"}),
              std::pair(49, 999));
    EXPECT_EQ(show(dialog->toolAction(ID_ADVANCED), bothLower), std::pair(48, 998));
}

}  // namespace
}  // namespace talvik::test
