// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/GroupFrame.h"

#include <QFontMetrics>
#include <QGroupBox>

namespace talvik {

void PutTitleOnFrameLine(QGroupBox* group, int titleLeft) {
    group->setStyleSheet(
        QStringLiteral(
            "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: %1px; }"
            "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
            " left: %2px; padding: 0px; }")
            .arg(QFontMetrics(group->font()).height() / 2)
            .arg(titleLeft));
}

}  // namespace talvik
