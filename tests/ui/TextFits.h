#pragma once
// Whether a fixed-size control shows its whole text: fixed layouts clip silently otherwise.

#include <QAbstractButton>
#include <QFontMetrics>
#include <QLabel>
#include <QStringList>
#include <QWidget>

namespace talvik {

inline QStringList ClippedTexts(const QWidget& dialog) {
    QStringList clipped;
    for (const QLabel* label : dialog.findChildren<QLabel*>()) {
        const QFontMetrics metrics(label->font());
        const QStringList lines = label->text().split(QLatin1Char('\n'));
        bool fits = metrics.height() * lines.size() <= label->height();
        for (const QString& line : lines) {
            fits = fits && metrics.horizontalAdvance(line) <= label->width();
        }
        if (!fits) {
            clipped << label->text();
        }
    }
    for (const QAbstractButton* button : dialog.findChildren<QAbstractButton*>()) {
        // A push button's frame takes a few pixels on each side.
        const int frame = 6;
        if (button->isVisibleTo(&dialog) &&
            QFontMetrics(button->font()).horizontalAdvance(button->text()) + 2 * frame >
                button->width()) {
            clipped << button->text();
        }
    }
    return clipped;
}

}  // namespace talvik
