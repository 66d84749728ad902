// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// An IPv4 address field: four parts of 0..255 with fixed dots between them. Typing "." or
// filling a part moves on to the next part, Backspace at the start of a part moves back, and a
// blank part reads as 0.

#include <QFrame>
#include <QString>
#include <array>

#include "ui/AddressRange.h"

class QLineEdit;
class QLabel;

namespace talvik {

// Text as an input method in Chinese punctuation mode gives it: full-width digits and the
// ideographic and full-width full stops become ASCII digits and ".".
QString AddressInputText(const QString& text);

class IpAddressEdit final : public QFrame {
    Q_OBJECT

public:
    static constexpr int kParts = 4;

    explicit IpAddressEdit(QWidget* parent = nullptr);

    Octets address() const;
    void setAddress(const Octets& octets);
    // Dotted text sets the address; values above 255 become 255. Text that is not four dotted
    // groups of at most three digits leaves the field as it was and gives false.
    bool setText(const QString& text);
    // The parts as shown, blank ones left empty ("10..2.3").
    QString text() const;
    void clear();

    QLineEdit* part(int index) const { return parts_[index]; }
    // Names the field and each of its parts for screen readers.
    void setFieldName(const QString& name);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    // Raised by every edit of a part and by every move of the caret out of a part; not by
    // changes made through the setters.
    void fieldChanged(int part, int value);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    int indexOf(const QObject* object) const;
    void onPartEdited(int index);
    void focusPart(int index, bool selectAll, bool caretAtEnd);
    int partValue(int index) const;
    // Feeds digits and dots to the parts as keys typed from part `index` on; anything else is
    // dropped.
    void typeText(int index, const QString& text);
    // A whole dotted address fills the field; anything else is typed into the part.
    void pasteText(int index, const QString& text);

    std::array<QLineEdit*, kParts> parts_{};
    std::array<QLabel*, kParts - 1> dots_{};
    // Set when a full part moved the caret on, so the "." the user types next out of habit
    // does not skip a part.
    bool advanced_ = false;
};

}  // namespace talvik
