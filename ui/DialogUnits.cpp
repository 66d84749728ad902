// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/DialogUnits.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringList>

namespace talvik {

namespace {

// Rounds a * b / c to nearest, as the window system's own conversion does.
int MulDiv(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    const long long half = c / 2;
    return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

}  // namespace

QFont DialogFont() {
    // Debian ships SimSun's look as AR PL UMing; the later faces keep CJK glyphs from ever
    // turning into boxes when it is missing.
    const QStringList families = {"SimSun",
                                  "宋体",
                                  "AR PL UMing CN",
                                  "AR PL UMing TW",
                                  "Noto Serif CJK SC",
                                  "Noto Sans CJK SC",
                                  "WenQuanYi Zen Hei"};
    QFont font;
    font.setFamilies(families);
    font.setPointSize(9);
    font.setStyleStrategy(QFont::PreferMatch);
    return font;
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // The base width is the average width of the 52 Latin letters, rounded half up.
    const int extent = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseWidth_ = (extent / 26 + 1) / 2;
    baseHeight_ = metrics.height();
}

int DialogUnits::x(int units) const {
    return MulDiv(units, baseWidth_, 4);
}

int DialogUnits::y(int units) const {
    return MulDiv(units, baseHeight_, 8);
}

QRect DialogUnits::rect(int left, int top, int width, int height) const {
    return QRect(x(left), y(top), x(width), y(height));
}

QSize DialogUnits::size(int width, int height) const {
    return QSize(x(width), y(height));
}

}  // namespace talvik
