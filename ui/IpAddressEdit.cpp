#include "ui/IpAddressEdit.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QEvent>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
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
    if (event->type() != QEvent::KeyPress) {
        return false;
    }

    auto* key = static_cast<QKeyEvent*>(event);
    const bool advanced = std::exchange(advanced_, false);
    if (key->matches(QKeySequence::Paste)) {
        // A whole dotted address pasted anywhere fills the field; anything else goes to the part.
        const QString pasted = QGuiApplication::clipboard()->text().trimmed();
        if (pasted.count(QLatin1Char('.')) == kParts - 1 && setText(pasted)) {
            focusPart(kParts - 1, false, true);
            emit fieldChanged(0, partValue(0));
            return true;
        }
        return false;
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
