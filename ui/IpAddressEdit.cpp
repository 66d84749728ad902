// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/IpAddressEdit.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QEvent>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionFrame>
#include <algorithm>
#include <utility>

namespace talvik {

namespace {

constexpr int kMaxOctet = 255;

}  // namespace

QString AddressInputText(const QString& text) {
    // Compatibility decomposition maps the full-width forms (and the half-width ideographic full
    // stop to the ideographic one); the ideographic full stop has no ASCII decomposition.
    return text.normalized(QString::NormalizationForm_KC).replace(QChar(0x3002), QLatin1Char('.'));
}

IpAddressEdit::IpAddressEdit(QWidget* parent) : QFrame(parent) {
    // The first part is the field's tab stop; the frame only passes the focus on.
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_InputMethodEnabled, false);

    auto* layout = new QHBoxLayout(this);
    const int frame = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    layout->setContentsMargins(frame + 1, frame, frame + 1, frame);
    layout->setSpacing(0);

    auto* validator =
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,3}")), this);
    for (int i = 0; i < kParts; ++i) {
        auto* part = new QLineEdit(this);
        part->setFrame(false);
        part->setAlignment(Qt::AlignCenter);
        part->setValidator(validator);
        part->setMaxLength(3);
        part->setContextMenuPolicy(Qt::NoContextMenu);
        part->setAttribute(Qt::WA_MacShowFocusRect, false);
        part->setTextMargins(0, 0, 0, 0);
        part->setAttribute(Qt::WA_InputMethodEnabled, false);
        // The frame paints the one background, so its inner top shadow runs unbroken.
        QPalette transparent = part->palette();
        transparent.setColor(QPalette::Base, Qt::transparent);
        part->setPalette(transparent);
        part->installEventFilter(this);
        // Tab leaves the field as a whole; the parts are reached by click, "." and the arrows.
        part->setFocusPolicy(i == 0 ? Qt::StrongFocus : Qt::ClickFocus);
        connect(part, &QLineEdit::textEdited, this, [this, i] { onPartEdited(i); });
        parts_[i] = part;
        layout->addWidget(part, 1);
        if (i + 1 < kParts) {
            auto* dot = new QLabel(QStringLiteral("."), this);
            dot->setAlignment(Qt::AlignCenter);
            dot->setAttribute(Qt::WA_TransparentForMouseEvents);
            dots_[i] = dot;
            layout->addWidget(dot);
        }
    }
    setFocusProxy(parts_[0]);
}

QSize IpAddressEdit::sizeHint() const {
    const QFontMetrics metrics(font());
    const int frame = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    return QSize(metrics.horizontalAdvance(QStringLiteral("000.000.000.000")) + 4 * frame + 16,
                 metrics.height() + 2 * frame + 2);
}

QSize IpAddressEdit::minimumSizeHint() const {
    return sizeHint();
}

Octets IpAddressEdit::address() const {
    Octets octets{};
    for (int i = 0; i < kParts; ++i) {
        octets[i] = static_cast<std::uint8_t>(partValue(i));
    }
    return octets;
}

void IpAddressEdit::setAddress(const Octets& octets) {
    for (int i = 0; i < kParts; ++i) {
        parts_[i]->setText(QString::number(octets[i]));
    }
}

bool IpAddressEdit::setText(const QString& text) {
    const QStringList groups = text.trimmed().split(QLatin1Char('.'));
    if (groups.size() != kParts) {
        return false;
    }
    static const QRegularExpression digits(QStringLiteral("^[0-9]{0,3}$"));
    for (const QString& group : groups) {
        if (!digits.match(group).hasMatch()) {
            return false;
        }
    }
    for (int i = 0; i < kParts; ++i) {
        const QString& group = groups[i];
        parts_[i]->setText(group.isEmpty() ? QString()
                                           : QString::number(std::min(group.toInt(), kMaxOctet)));
    }
    return true;
}

QString IpAddressEdit::text() const {
    QStringList groups;
    for (const QLineEdit* part : parts_) {
        groups << part->text();
    }
    return groups.join(QLatin1Char('.'));
}

void IpAddressEdit::clear() {
    for (QLineEdit* part : parts_) {
        part->clear();
    }
}

int IpAddressEdit::partValue(int index) const {
    const QString& text = parts_[index]->text();
    return text.isEmpty() ? 0 : std::min(text.toInt(), kMaxOctet);
}

int IpAddressEdit::indexOf(const QObject* object) const {
    for (int i = 0; i < kParts; ++i) {
        if (parts_[i] == object) {
            return i;
        }
    }
    return -1;
}

void IpAddressEdit::focusPart(int index, bool selectAll, bool caretAtEnd) {
    QLineEdit* part = parts_[index];
    part->setFocus(Qt::OtherFocusReason);
    if (selectAll) {
        part->selectAll();
    } else {
        part->deselect();
        part->setCursorPosition(caretAtEnd ? static_cast<int>(part->text().size()) : 0);
    }
}

void IpAddressEdit::typeText(int index, const QString& text) {
    for (const QChar c : AddressInputText(text)) {
        if (c != QLatin1Char('.') && (c < QLatin1Char('0') || c > QLatin1Char('9'))) {
            continue;
        }
        for (int i = 0; i < kParts; ++i) {
            if (parts_[i]->hasFocus()) {
                index = i;
            }
        }
        const int key = c == QLatin1Char('.') ? Qt::Key_Period : Qt::Key_0 + (c.unicode() - '0');
        QKeyEvent typed(QEvent::KeyPress, key, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(parts_[index], &typed);
    }
}

void IpAddressEdit::pasteText(int index, const QString& text) {
    const QString pasted = AddressInputText(text).trimmed();
    if (pasted.count(QLatin1Char('.')) == kParts - 1 && setText(pasted)) {
        focusPart(kParts - 1, false, true);
        emit fieldChanged(0, partValue(0));
        return;
    }
    typeText(index, pasted);
}

void IpAddressEdit::onPartEdited(int index) {
    QLineEdit* part = parts_[index];
    if (!part->text().isEmpty() && part->text().toInt() > kMaxOctet) {
        part->setText(QString::number(kMaxOctet));
    }
    const int value = partValue(index);
    emit fieldChanged(index, value);

    // A part is full when it has three digits or one more digit would pass 255.
    const bool full =
        part->text().size() == 3 || (!part->text().isEmpty() && value * 10 > kMaxOctet);
    if (full && index + 1 < kParts && part->cursorPosition() == part->text().size()) {
        focusPart(index + 1, true, false);
        advanced_ = true;
    }
}

bool IpAddressEdit::eventFilter(QObject* watched, QEvent* event) {
    const int index = indexOf(watched);
    if (index < 0) {
        return QFrame::eventFilter(watched, event);
    }
    QLineEdit* part = parts_[index];

    if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut) {
        update();  // the frame shows whether any part has the focus
    }
    if (event->type() == QEvent::FocusOut) {
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        // Leaving a part for another part or another control ends its edit; a menu or another
        // window taking the focus for a moment does not.
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            emit fieldChanged(index, partValue(index));
        }
        return false;
    }
    switch (event->type()) {
        case QEvent::InputMethod:
            // Only a commit counts; a composition in progress is not shown in a part.
            typeText(index, static_cast<QInputMethodEvent*>(event)->commitString());
            return true;
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick: {
            if (static_cast<QMouseEvent*>(event)->button() != Qt::MiddleButton) {
                return false;
            }
            const QClipboard* clipboard = QGuiApplication::clipboard();
            if (event->type() == QEvent::MouseButtonRelease && clipboard->supportsSelection()) {
                focusPart(index, true, false);  // a part is too short to insert into
                pasteText(index, clipboard->text(QClipboard::Selection));
            }
            return true;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            if (drop->mimeData()->hasText()) {
                focusPart(index, true, false);  // a part is too short to insert into
                pasteText(index, drop->mimeData()->text());
                drop->acceptProposedAction();
            }
            return true;
        }
        case QEvent::KeyPress:
            break;
        default:
            return false;
    }

    auto* key = static_cast<QKeyEvent*>(event);
    const bool advanced = std::exchange(advanced_, false);
    if (key->matches(QKeySequence::Paste)) {
        pasteText(index, QGuiApplication::clipboard()->text());
        return true;
    }
    if (key->key() == Qt::Key_Backtab && index > 0) {
        // The later parts are no tab stops: leave backwards from the first part, as the field.
        parts_[0]->setFocus(Qt::BacktabFocusReason);
        QKeyEvent backtab(QEvent::KeyPress, Qt::Key_Backtab, key->modifiers());
        QCoreApplication::sendEvent(parts_[0], &backtab);
        return true;
    }
    if (!key->text().isEmpty() && AddressInputText(key->text()) != key->text()) {
        typeText(index, key->text());
        return true;
    }
    const bool noSelection = !part->hasSelectedText();
    const int caret = part->cursorPosition();
    const int length = static_cast<int>(part->text().size());

    switch (key->key()) {
        case Qt::Key_Period:
            if (index + 1 < kParts && length > 0 && !advanced) {
                focusPart(index + 1, true, false);
            }
            return true;  // a dot is never part of a part's text
        case Qt::Key_Backspace:
            if (caret == 0 && noSelection && index > 0) {
                focusPart(index - 1, false, true);
                return true;
            }
            return false;
        case Qt::Key_Left:
            if (caret == 0 && noSelection && index > 0 && key->modifiers() == Qt::NoModifier) {
                focusPart(index - 1, false, true);
                return true;
            }
            return false;
        case Qt::Key_Right:
            if (caret == length && noSelection && index + 1 < kParts &&
                key->modifiers() == Qt::NoModifier) {
                focusPart(index + 1, false, false);
                return true;
            }
            return false;
        default:
            break;
    }

    // A digit typed into a full part goes on into the next one.
    const QString typed = key->text();
    if (typed.size() == 1 && typed[0].isDigit() && length == 3 && noSelection && caret == length &&
        index + 1 < kParts) {
        focusPart(index + 1, true, false);
        QKeyEvent forwarded(key->type(), key->key(), key->modifiers(), key->text());
        QCoreApplication::sendEvent(parts_[index + 1], &forwarded);
        advanced_ = false;
        return true;
    }
    return false;
}

void IpAddressEdit::setFieldName(const QString& name) {
    setAccessibleName(name);
    for (int i = 0; i < kParts; ++i) {
        parts_[i]->setAccessibleName(QStringLiteral("%1 第%2段").arg(name).arg(i + 1));
    }
}

void IpAddressEdit::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    QStyleOptionFrame option;
    option.initFrom(this);
    option.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, this);
    option.midLineWidth = 0;
    option.state |= QStyle::State_Sunken;
    for (const QLineEdit* part : parts_) {
        if (part->hasFocus()) {
            option.state |= QStyle::State_HasFocus;
        }
    }
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &painter, this);
}

}  // namespace talvik
