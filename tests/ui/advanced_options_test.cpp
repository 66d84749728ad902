// The advanced options dialog, driven through its real modal loop as a user would drive it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <functional>

#include "tests/ui/TextFits.h"
#include "ui/AdvancedOptionsDlg.h"
#include "ui/DialogUnits.h"

namespace talvik {
namespace {

using Act = std::function<void(CAdvancedOptionsDlg&)>;

QSlider* Speed(CAdvancedOptionsDlg& d) {
    return d.findChild<QSlider*>(QStringLiteral("IDC_SPEED_SLIDER"));
}
QSlider* Net(CAdvancedOptionsDlg& d) {
    return d.findChild<QSlider*>(QStringLiteral("IDC_NET_SLIDER"));
}
QPushButton* Button(CAdvancedOptionsDlg& d, const char* name) {
    return d.findChild<QPushButton*>(QString::fromLatin1(name));
}

// Sends a key to whatever has the focus in the dialog, as the keyboard would.
void Key(CAdvancedOptionsDlg& d, Qt::Key key) {
    QWidget* target = d.focusWidget() != nullptr ? d.focusWidget() : &d;
    QTest::keyClick(target, key);
}

// Runs the dialog modally, acting on it once its event loop runs; a dialog that the actions
// leave open fails the test instead of hanging it.
DialogRunner<CAdvancedOptionsDlg> Working(Act act) {
    return [act](CAdvancedOptionsDlg& d) {
        QTimer::singleShot(0, &d, [&d, act] { act(d); });
        QTimer::singleShot(5000, &d, [&d] {
            ADD_FAILURE() << "the dialog was left open";
            d.done(-1);
        });
        return d.exec();
    };
}

ScanSettings StartSettings() {
    return ScanSettings{0, kStartNetworkCondition, kStartWorkerLimit};
}

TEST(AdvancedOptionsDialog, FirstShowingStartsFromTheLiveSettings) {
    ScanSettings settings = StartSettings();
    int shownSpeed = -1;
    int shownNet = -1;
    bool checkHidden = false;
    QString focused;
    EditAdvancedOptions(settings, nullptr, Working([&](CAdvancedOptionsDlg& d) {
                            shownSpeed = Speed(d)->value();
                            shownNet = Net(d)->value();
                            checkHidden = !d.findChild<QCheckBox*>()->isVisible();
                            focused = d.focusWidget() != nullptr ? d.focusWidget()->objectName()
                                                                 : QString();
                            Net(d)->setValue(4000);
                            Key(d, Qt::Key_Escape);
                        }));
    EXPECT_EQ(shownSpeed, 50);
    EXPECT_EQ(shownNet, 1000);
    EXPECT_TRUE(checkHidden);
    EXPECT_EQ(focused, QStringLiteral("IDC_NET_SLIDER"));
    EXPECT_EQ(settings.networkCondition, 1000);
}

TEST(AdvancedOptionsDialog, OkKeepsWhatIsShownAndClearsTheFlag) {
    ScanSettings settings{1, 2500, 12};
    EXPECT_TRUE(EditAdvancedOptions(settings, nullptr, Working([](CAdvancedOptionsDlg& d) {
                                        Button(d, "IDC_ADV_OK")->click();
                                    })));
    EXPECT_EQ(settings.workerLimit, 12);
    EXPECT_EQ(settings.networkCondition, 2500);
    EXPECT_EQ(settings.scanUnpinged, 0);

    EXPECT_TRUE(EditAdvancedOptions(settings, nullptr, Working([](CAdvancedOptionsDlg& d) {
                                        Speed(d)->setValue(33);
                                        Net(d)->setValue(4200);
                                        Button(d, "IDC_ADV_OK")->click();
                                    })));
    EXPECT_EQ(settings.workerLimit, 33);
    EXPECT_EQ(settings.networkCondition, 4200);
}

TEST(AdvancedOptionsDialog, RestoreDefaultsOnlyMovesTheSliders) {
    ScanSettings settings{0, 3000, 7};
    int speedAfterDefaults = -1;
    int netAfterDefaults = -1;
    EXPECT_FALSE(EditAdvancedOptions(settings, nullptr, Working([&](CAdvancedOptionsDlg& d) {
                                         Button(d, "IDC_ADV_DEFAULTS")->click();
                                         speedAfterDefaults = Speed(d)->value();
                                         netAfterDefaults = Net(d)->value();
                                         Button(d, "IDC_ADV_CANCEL")->click();
                                     })));
    EXPECT_EQ(speedAfterDefaults, 40);
    EXPECT_EQ(netAfterDefaults, 1000);
    EXPECT_EQ(settings.workerLimit, 7);
    EXPECT_EQ(settings.networkCondition, 3000);

    EXPECT_TRUE(EditAdvancedOptions(settings, nullptr, Working([](CAdvancedOptionsDlg& d) {
                                        Button(d, "IDC_ADV_DEFAULTS")->click();
                                        Button(d, "IDC_ADV_OK")->click();
                                    })));
    EXPECT_EQ(settings.workerLimit, 40);
    EXPECT_EQ(settings.networkCondition, 1000);
}

TEST(AdvancedOptionsDialog, EscapeAndTheCloseBoxDiscardChanges) {
    ScanSettings settings = StartSettings();
    EXPECT_FALSE(EditAdvancedOptions(settings, nullptr, Working([](CAdvancedOptionsDlg& d) {
                                         Key(d, Qt::Key_End);
                                         Key(d, Qt::Key_Escape);
                                     })));
    EXPECT_FALSE(EditAdvancedOptions(settings, nullptr, Working([](CAdvancedOptionsDlg& d) {
                                         Speed(d)->setValue(3);
                                         d.close();
                                     })));
    EXPECT_EQ(settings.workerLimit, 50);
    EXPECT_EQ(settings.networkCondition, 1000);
}

TEST(AdvancedOptionsDialog, EnterOnASliderAcceptsWhatTheSlidersShow) {
    ScanSettings settings = StartSettings();
    EXPECT_TRUE(EditAdvancedOptions(settings, nullptr, Working([](CAdvancedOptionsDlg& d) {
                                        Key(d, Qt::Key_Right);  // network slider has the focus
                                        Key(d, Qt::Key_Tab);
                                        Key(d, Qt::Key_Left);
                                        Key(d, Qt::Key_Left);
                                        Key(d, Qt::Key_Return);
                                    })));
    EXPECT_EQ(settings.networkCondition, 1001);
    EXPECT_EQ(settings.workerLimit, 48);

    EXPECT_TRUE(EditAdvancedOptions(settings, nullptr, Working([](CAdvancedOptionsDlg& d) {
                                        Key(d, Qt::Key_PageDown);
                                        QTest::keyClick(d.focusWidget(), Qt::Key_Enter,
                                                        Qt::KeypadModifier);
                                    })));
    EXPECT_LT(settings.networkCondition, 1001);
    EXPECT_EQ(settings.workerLimit, 48);
}

TEST(AdvancedOptionsDialog, EnterOnAButtonPressesThatButton) {
    ScanSettings settings{0, 3000, 7};
    int speedAfterDefaults = -1;
    bool openAfterDefaults = false;
    EXPECT_FALSE(EditAdvancedOptions(settings, nullptr, Working([&](CAdvancedOptionsDlg& d) {
                                         Button(d, "IDC_ADV_DEFAULTS")->setFocus();
                                         Key(d, Qt::Key_Return);
                                         speedAfterDefaults = Speed(d)->value();
                                         openAfterDefaults = d.isVisible();
                                         Button(d, "IDC_ADV_CANCEL")->setFocus();
                                         Key(d, Qt::Key_Return);
                                     })));
    EXPECT_EQ(speedAfterDefaults, 40);
    EXPECT_TRUE(openAfterDefaults);
    EXPECT_EQ(settings.workerLimit, 7);
}

TEST(AdvancedOptionsDialog, SlidersClampAndStoreTheirExtremes) {
    ScanSettings settings{0, 99999, -5};
    int shownSpeed = 0;
    int shownNet = 0;
    EXPECT_TRUE(EditAdvancedOptions(settings, nullptr, Working([&](CAdvancedOptionsDlg& d) {
                                        shownSpeed = Speed(d)->value();
                                        shownNet = Net(d)->value();
                                        Button(d, "IDC_ADV_OK")->click();
                                    })));
    EXPECT_EQ(shownSpeed, 1);
    EXPECT_EQ(shownNet, 5000);
    EXPECT_EQ(settings.workerLimit, 1);
    EXPECT_EQ(settings.networkCondition, 5000);

    EXPECT_TRUE(EditAdvancedOptions(settings, nullptr, Working([](CAdvancedOptionsDlg& d) {
                                        Key(d, Qt::Key_Home);
                                        Key(d, Qt::Key_PageDown);
                                        Key(d, Qt::Key_Tab);
                                        for (int i = 0; i < 20; ++i) {
                                            Key(d, Qt::Key_PageUp);
                                        }
                                        Key(d, Qt::Key_Return);
                                    })));
    EXPECT_EQ(settings.networkCondition, 100);
    EXPECT_EQ(settings.workerLimit, 64);
}

TEST(AdvancedOptionsDialog, ReopeningShowsTheValuesLastAccepted) {
    ScanSettings settings = StartSettings();
    ASSERT_TRUE(EditAdvancedOptions(settings, nullptr, Working([](CAdvancedOptionsDlg& d) {
                                        Speed(d)->setValue(9);
                                        Net(d)->setValue(250);
                                        Button(d, "IDC_ADV_OK")->click();
                                    })));
    // A cancelled showing in between must not leak into the next one.
    ASSERT_FALSE(EditAdvancedOptions(settings, nullptr, Working([](CAdvancedOptionsDlg& d) {
                                         Speed(d)->setValue(60);
                                         Button(d, "IDC_ADV_CANCEL")->click();
                                     })));
    int shownSpeed = 0;
    int shownNet = 0;
    EditAdvancedOptions(settings, nullptr, Working([&](CAdvancedOptionsDlg& d) {
                            shownSpeed = Speed(d)->value();
                            shownNet = Net(d)->value();
                            Key(d, Qt::Key_Escape);
                        }));
    EXPECT_EQ(shownSpeed, 9);
    EXPECT_EQ(shownNet, 250);
}

TEST(AdvancedOptionsDialog, LayoutFollowsTheTemplate) {
    CAdvancedOptionsDlg d;
    d.settings() = StartSettings();
    d.show();
    const DialogUnits du(d.font());
    EXPECT_EQ(d.windowTitle(), QStringLiteral("高级选项"));
    EXPECT_EQ(d.size(), du.size(225, 87));
    EXPECT_EQ(Speed(d)->geometry(), du.rect(80, 38, 120, 13));
    EXPECT_EQ(Net(d)->geometry(), du.rect(80, 18, 120, 13));
    EXPECT_EQ(Speed(d)->tickPosition(), QSlider::NoTicks);
    EXPECT_EQ(Net(d)->tickPosition(), QSlider::NoTicks);
    EXPECT_EQ(d.findChild<QGroupBox*>()->title(), QStringLiteral(" 扫描参数配置 "));

    QStringList labels;
    for (const QLabel* label : d.findChildren<QLabel*>()) {
        labels << label->text();
    }
    labels.sort();
    QStringList expected = {QStringLiteral("扫描速度：   慢"), QStringLiteral("网络状况：   差"),
                            QStringLiteral("好"), QStringLiteral("快")};
    expected.sort();
    EXPECT_EQ(labels, expected);
    EXPECT_EQ(ClippedTexts(d).join(QStringLiteral(" | ")).toStdString(), "");
    EXPECT_EQ(Button(d, "IDC_ADV_OK")->text(), QStringLiteral("确定"));
    EXPECT_EQ(Button(d, "IDC_ADV_CANCEL")->text(), QStringLiteral("取消"));
    EXPECT_EQ(Button(d, "IDC_ADV_DEFAULTS")->text(), QStringLiteral("恢复默认值"));

    // Tab walks the template's order and never reaches the hidden check box.
    QStringList walk;
    for (int i = 0; i < 6; ++i) {
        walk << (d.focusWidget() != nullptr ? d.focusWidget()->objectName() : QString());
        Key(d, Qt::Key_Tab);
    }
    EXPECT_EQ(walk, QStringList({"IDC_NET_SLIDER", "IDC_SPEED_SLIDER", "IDC_ADV_OK",
                                 "IDC_ADV_CANCEL", "IDC_ADV_DEFAULTS", "IDC_NET_SLIDER"}));
}

}  // namespace
}  // namespace talvik
