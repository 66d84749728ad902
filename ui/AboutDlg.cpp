// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/AboutDlg.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "os/AboutLibrary.h"
#include "talvik/Version.h"
#include "ui/DialogUnits.h"

namespace talvik {

namespace {

QLabel* MakeText(QWidget* parent, const QString& text, const QRect& geometry, const char* name) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    // Shown exactly as written: no rich text, no mnemonics.
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setGeometry(geometry);
    return label;
}

}  // namespace

namespace {

std::string& ArpWay() {
    static std::string way;
    return way;
}

}  // namespace

void SetAboutArpWay(const std::string& way) {
    ArpWay() = way;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromUtf8(kProductName));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    const DialogUnits du(font());
    setFixedSize(du.size(219, ArpWay().empty() ? 63 : 72));

    // An icon static takes the size of its icon; without the pictures the place stays empty.
    QIcon aboutIcon;
    aboutIcon.addFile(QStringLiteral(":/about-32.png"), QSize(32, 32));
    aboutIcon.addFile(QStringLiteral(":/about-16.png"), QSize(16, 16));
    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("IDI_ABOUT"));
    icon->setGeometry(du.x(7), du.y(7), 32, 32);
    if (!aboutIcon.availableSizes().isEmpty()) {
        icon->setPixmap(aboutIcon.pixmap(QSize(32, 32)));
    }

    MakeText(this,
             QStringLiteral("%1 %2 版")
                 .arg(QString::fromUtf8(kProductName), QString::fromUtf8(kVersion)),
             du.rect(40, 10, 119, 8), "IDC_VERSION_TEXT");
    MakeText(this, QStringLiteral("版权所有 (C) 2026 %1").arg(QString::fromUtf8(kProductName)),
             du.rect(40, 25, 119, 8), "rights");
    // No contact address until the project has a public home: the licence instead.
    MakeText(this, QStringLiteral("许可证：GPL-3.0-or-later\n自由软件，不提供任何担保"),
             du.rect(40, 39, 130, 17), "licence");
    if (!ArpWay().empty()) {
        MakeText(this, QString::fromUtf8(ArpWay()), du.rect(40, 58, 172, 8), "arpWay");
    }

    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName(QStringLiteral("IDOK"));
    ok->setGeometry(du.rect(162, 7, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &CAboutDlg::accept);
    ok->setFocus(Qt::OtherFocusReason);
}

void ShowAboutSoftware(IAboutLibrary& library, std::uint32_t mainIcon, QWidget* owner,
                       const DialogRunner<CAboutDlg>& run) {
    if (library.ShowAbout(mainIcon)) {
        return;
    }
    ShowBuiltInAbout(owner, run);
}

void ShowBuiltInAbout(QWidget* owner, const DialogRunner<CAboutDlg>& run) {
    CAboutDlg dialog(owner);
    static_cast<void>(run(dialog));
}

}  // namespace talvik
