// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Dialog templates give positions in dialog units: a quarter of the dialog font's average
// character width across and an eighth of its character height down.

#include <QFont>
#include <QRect>
#include <QSize>

namespace talvik {

// The dialogs' font: 宋体 9 point, or the closest Song-style CJK face the system has.
QFont DialogFont();

class DialogUnits final {
public:
    explicit DialogUnits(const QFont& font);

    int x(int units) const;
    int y(int units) const;
    QRect rect(int x, int y, int width, int height) const;
    QSize size(int width, int height) const;

private:
    int baseWidth_;
    int baseHeight_;
};

}  // namespace talvik
