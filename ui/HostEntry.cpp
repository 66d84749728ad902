// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/HostEntry.h"

#include <QRegularExpression>

namespace talvik {

QString HostRowText(const QString& typed) {
    static const QRegularExpression breaks(QStringLiteral("[\\r\\n\\x{2028}\\x{2029}]+"));
    return typed.split(breaks, Qt::SkipEmptyParts).join(QLatin1Char(' '));
}

}  // namespace talvik
