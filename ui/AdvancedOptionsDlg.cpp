// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/AdvancedOptionsDlg.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QSlider>
#include <algorithm>

#include "ui/DialogUnits.h"
#include "ui/GroupFrame.h"

namespace talvik {

namespace {

// A silent target is asked again from 200 ms after its first request at the latest.
constexpr std::chrono::milliseconds kAskAgainFrom{200};

QLabel* MakeLabel(QWidget* parent, const QString& text, const QRect& geometry,
                  Qt::Alignment alignment) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(alignment);
    label->setGeometry(geometry);
    return label;
}

QSlider* MakeSlider(QWidget* parent, const char* name, const QRect& geometry) {
    auto* slider = new QSlider(Qt::Horizontal, parent);
    slider->setObjectName(QString::fromLatin1(name));
    slider->setTickPosition(QSlider::NoTicks);
    slider->setFocusPolicy(Qt::StrongFocus);
    slider->setGeometry(geometry);
    return slider;
}

QPushButton* MakeButton(QWidget* parent, const QString& text, const char* name,
                        const QRect& geometry) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(geometry);
    return button;
}

void SetRange(QSlider* slider, int minimum, int maximum) {
    slider->setRange(minimum, maximum);
    // A track bar pages by a fifth of its range.
    slider->setPageStep(std::max(1, (maximum - minimum) / 5));
    slider->setSingleStep(1);
}

}  // namespace

CAdvancedOptionsDlg::CAdvancedOptionsDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("高级选项"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    const DialogUnits du(font());
    setFixedSize(du.size(225, 87));

    // Frame and labels first, so they stay below the sliders and never take their clicks.
    auto* group = new QGroupBox(QStringLiteral(" 扫描参数配置 "), this);
    group->setGeometry(du.rect(7, 8, 211, 51));
    PutTitleOnFrameLine(group, du.x(5));
    MakeLabel(this, QStringLiteral("扫描速度：   慢"), du.rect(17, 35, 61, 16),
              Qt::AlignLeft | Qt::AlignVCenter);
    MakeLabel(this, QStringLiteral("网络状况：   差"), du.rect(17, 18, 65, 11),
              Qt::AlignLeft | Qt::AlignVCenter);
    MakeLabel(this, QStringLiteral("好"), du.rect(203, 20, 9, 8), Qt::AlignLeft | Qt::AlignTop);
    MakeLabel(this, QStringLiteral("快"), du.rect(202, 39, 9, 8), Qt::AlignLeft | Qt::AlignTop);

    unpingedBox_ = new QCheckBox(QStringLiteral(" 扫描未ping通的主机"), this);
    unpingedBox_->setObjectName(QStringLiteral("IDC_SCAN_UNPINGED"));
    unpingedBox_->setGeometry(du.rect(29, 57, 90, 12));
    // Part of the dialog but never offered to the user.
    unpingedBox_->hide();

    netSlider_ = MakeSlider(this, "IDC_NET_SLIDER", du.rect(80, 18, 120, 13));
    speedSlider_ = MakeSlider(this, "IDC_SPEED_SLIDER", du.rect(80, 38, 120, 13));
    auto* ok = MakeButton(this, QStringLiteral("确定"), "IDC_ADV_OK", du.rect(122, 67, 42, 13));
    auto* cancel =
        MakeButton(this, QStringLiteral("取消"), "IDC_ADV_CANCEL", du.rect(176, 67, 42, 13));
    auto* defaults =
        MakeButton(this, QStringLiteral("恢复默认值"), "IDC_ADV_DEFAULTS", du.rect(7, 67, 50, 13));

    netSlider_->setAccessibleName(QStringLiteral("网络状况"));
    speedSlider_->setAccessibleName(QStringLiteral("扫描速度"));
    // Each slider tells its value and what it means, as the value changes.
    connect(netSlider_, &QSlider::valueChanged, this, [this](int value) {
        const auto window = LateWindow(value);
        QString tip =
            QStringLiteral("网络状况：%1\n未应答的主机再等 %2 毫秒").arg(value).arg(window.count());
        // Only a window longer than the first gap holds any ask beyond the first ones.
        if (window >= kAskAgainFrom) {
            tip +=
                QStringLiteral("，其间不时再问（间隔渐长）\n省电休眠的手机、传感器醒来时便能应答");
        }
        netSlider_->setToolTip(tip);
    });
    connect(speedSlider_, &QSlider::valueChanged, this, [this](int value) {
        speedSlider_->setToolTip(QStringLiteral("扫描速度：%1\n同时探测 %1 台主机").arg(value));
    });

    setTabOrder(unpingedBox_, netSlider_);
    setTabOrder(netSlider_, speedSlider_);
    setTabOrder(speedSlider_, ok);
    setTabOrder(ok, cancel);
    setTabOrder(cancel, defaults);

    connect(ok, &QPushButton::clicked, this, &CAdvancedOptionsDlg::OnAdvancedOk);
    connect(cancel, &QPushButton::clicked, this, &CAdvancedOptionsDlg::reject);
    connect(defaults, &QPushButton::clicked, this, &CAdvancedOptionsDlg::OnRestoreDefaults);
}

void CAdvancedOptionsDlg::OnInitDialog() {
    unpingedBox_->setChecked(unpingedCheck_ != 0);
    SetRange(speedSlider_, kMinWorkerLimit, kMaxWorkerLimit);
    SetRange(netSlider_, kMinNetworkCondition, kMaxNetworkCondition);
    // The sliders clamp values outside their ranges.
    speedSlider_->setValue(settings_.workerLimit);
    netSlider_->setValue(settings_.networkCondition);
    netSlider_->setFocus(Qt::OtherFocusReason);
}

void CAdvancedOptionsDlg::showEvent(QShowEvent* event) {
    if (!initialised_) {
        initialised_ = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

void CAdvancedOptionsDlg::OnAdvancedOk() {
    accept();
}

void CAdvancedOptionsDlg::accept() {
    unpingedCheck_ = unpingedBox_->isChecked() ? 1 : 0;
    settings_.workerLimit = speedSlider_->value();
    settings_.networkCondition = netSlider_->value();
    settings_.scanUnpinged = unpingedCheck_;
    QDialog::accept();
}

void CAdvancedOptionsDlg::OnRestoreDefaults() {
    speedSlider_->setValue(kDefaultWorkerLimit);
    netSlider_->setValue(kDefaultNetworkCondition);
    unpingedBox_->setChecked(unpingedCheck_ != 0);
}

void CAdvancedOptionsDlg::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const bool plain = event->modifiers() == Qt::NoModifier ||
                       (event->modifiers() == Qt::KeypadModifier && event->key() == Qt::Key_Enter);
    // A focused push button takes Enter itself; anywhere else Enter means "确定", so what the
    // sliders show is kept rather than silently dropped.
    if (enter && plain && qobject_cast<QPushButton*>(focusWidget()) == nullptr) {
        OnAdvancedOk();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool EditAdvancedOptions(ScanSettings& settings, QWidget* owner,
                         const DialogRunner<CAdvancedOptionsDlg>& run) {
    CAdvancedOptionsDlg dialog(owner);
    // The flag is never carried in: an accepted dialog always hands back its own unticked state.
    dialog.settings().networkCondition = settings.networkCondition;
    dialog.settings().workerLimit = settings.workerLimit;
    if (run(dialog) != QDialog::Accepted) {
        return false;
    }
    settings.scanUnpinged = dialog.settings().scanUnpinged;
    settings.networkCondition = dialog.settings().networkCondition;
    settings.workerLimit = dialog.settings().workerLimit;
    return true;
}

}  // namespace talvik
