// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/HostEntry.h"

#include <QRegularExpression>

namespace talvik {

QString HostRowText(const QString& typed) {
    static const QRegularExpression breaks(QStringLiteral("[\\r\\n\\x{2028}\\x{2029}]+"));
    static const QRegularExpression outerBreaks(
        QStringLiteral("^[\\r\\n\\x{2028}\\x{2029}]+|[\\r\\n\\x{2028}\\x{2029}]+$"));
    QString text = typed;
    return text.remove(outerBreaks).replace(breaks, QStringLiteral(" "));
}

}  // namespace talvik
