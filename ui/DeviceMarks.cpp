// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/DeviceMarks.h"

#include <QFont>
#include <QPainter>
#include <QPixmap>

#include "ui/DialogUnits.h"

namespace talvik {

namespace {

// A badge drawn at each size a list may ask for, so it stays sharp on dense screens too.
QIcon Badge(const QColor& fill, const QString& glyph, bool round) {
    QIcon icon;
    for (const int size : {16, 24, 32, 48}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::TextAntialiasing);
        painter.setPen(fill.darker(130));
        painter.setBrush(fill);
        const QRectF box(0.5, 0.5, size - 1.0, size - 1.0);
        if (round) {
            painter.drawEllipse(box);
        } else {
            painter.drawRoundedRect(box, size / 5.0, size / 5.0);
        }
        QFont font = DialogFont();
        font.setBold(true);
        font.setPixelSize(size * 3 / 4);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(box, Qt::AlignCenter, glyph);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace

QIcon NewDeviceMark() {
    return Badge(QColor(0x1f, 0x8f, 0x4e), QStringLiteral("新"), false);
}

QIcon ChangedMacMark() {
    return Badge(QColor(0xd9, 0x5b, 0x0b), QStringLiteral("!"), true);
}

}  // namespace talvik
