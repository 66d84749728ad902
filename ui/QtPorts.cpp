// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/QtPorts.h"

#include <QAction>
#include <QGridLayout>
#include <QMessageBox>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTextDocument>
#include <QTreeWidget>
#include <algorithm>

#include "names/MacVendors.h"

namespace talvik {

namespace {

constexpr int kColumns = 3;
constexpr int kMacColumn = 2;
constexpr int kMinimumBoxWidth = 220;
// Beside the text: the icon, the margins and the gap between them.
constexpr int kBoxIconRoom = 80;

// A row that knows its facts and words its own tooltip when asked, so the tooltip always
// tells what is known now (a maker or name found later, the scan's end).
class ResultItem final : public QTreeWidgetItem {
public:
    explicit ResultItem(std::shared_ptr<const RowDescriber> describe)
        : describe_(std::move(describe)) {}

    QVariant data(int column, int role) const override {
        if ((role == Qt::ToolTipRole || role == Qt::AccessibleDescriptionRole) && describe_ &&
            *describe_) {
            const QString described = (*describe_)(text(0), facts);
            // A tooltip whose first line looks like markup would be shown as such; a name the
            // user gave can be anything.
            if (role == Qt::ToolTipRole && Qt::mightBeRichText(described)) {
                return Qt::convertFromPlainText(described, Qt::WhiteSpaceNormal);
            }
            return described;
        }
        return QTreeWidgetItem::data(column, role);
    }

    RowFacts facts;

private:
    std::shared_ptr<const RowDescriber> describe_;
};

ResultItem* ItemAt(QTreeWidget* list, int row) {
    return dynamic_cast<ResultItem*>(list->topLevelItem(row));
}

}  // namespace

int QtResultList::GetItemCount() const {
    return list_->topLevelItemCount();
}

int QtResultList::GetNextItem(int start, ItemFilter filter) const {
    const int count = list_->topLevelItemCount();
    for (int row = std::max(start + 1, 0); row < count; ++row) {
        if (filter == ItemFilter::All || list_->topLevelItem(row)->isSelected()) {
            return row;
        }
    }
    return -1;
}

std::string QtResultList::GetItemText(int row, int column) const {
    const QTreeWidgetItem* item = list_->topLevelItem(row);
    if (item == nullptr || column < 0 || column >= kColumns) {
        return {};
    }
    return item->text(column).toStdString();
}

void QtResultList::SetItemText(int row, int column, const std::string& text) {
    QTreeWidgetItem* item = list_->topLevelItem(row);
    if (item == nullptr || column < 0 || column >= kColumns) {
        return;
    }
    const QString value = QString::fromStdString(text);
    if (column == kMacColumn) {
        if (ResultItem* result = ItemAt(list_, row)) {
            QStringList& macs = result->facts.macs;
            if (!ParseMacText(text)) {
                macs.clear();
                result->setIcon(0, QIcon());
            } else if (macs.isEmpty()) {
                macs << value;
            } else {
                // A second host claims the address; the first answer stays in the cell.
                if (!macs.contains(value, Qt::CaseInsensitive)) {
                    macs << value;
                    result->setIcon(0, list_->style()->standardIcon(QStyle::SP_MessageBoxWarning));
                }
                return;
            }
        }
    }
    item->setText(column, value);
}

void QtResultList::SetRowOutcome(int row, RowOutcome outcome, std::uint32_t address) {
    ResultItem* item = ItemAt(list_, row);
    if (item == nullptr) {
        return;
    }
    item->facts.outcome = outcome;
    item->facts.confirmedBefore.reset();
    if (address != 0 || outcome == RowOutcome::NotScanned) {
        item->facts.address = address;
    }
    if (outcomeChanged) {
        outcomeChanged(row, item->facts);
    }
}

void QtResultList::SetRowNotAsked(int row, NotAskedReason why, std::uint32_t address) {
    if (ResultItem* item = ItemAt(list_, row)) {
        item->facts.notAsked = why;
    }
    SetRowOutcome(row, RowOutcome::NotAsked, address);
}

void QtResultList::SetRowConfirmedBefore(int row, std::chrono::milliseconds ago) {
    ResultItem* item = ItemAt(list_, row);
    if (item == nullptr) {
        return;
    }
    item->facts.confirmedBefore =
        static_cast<int>(std::chrono::round<std::chrono::seconds>(ago).count());
    if (outcomeChanged) {
        outcomeChanged(row, item->facts);
    }
}

const RowFacts* QtResultList::Facts(int row) const {
    const ResultItem* item = ItemAt(list_, row);
    return item == nullptr ? nullptr : &item->facts;
}

int QtResultList::CountAnswered() const {
    int count = 0;
    for (int row = 0; row < list_->topLevelItemCount(); ++row) {
        const RowFacts* facts = Facts(row);
        count += facts != nullptr && facts->outcome == RowOutcome::Answered ? 1 : 0;
    }
    return count;
}

int QtResultList::CountNotAsked() const {
    int count = 0;
    for (int row = 0; row < list_->topLevelItemCount(); ++row) {
        const RowFacts* facts = Facts(row);
        count += facts != nullptr && facts->outcome == RowOutcome::NotAsked ? 1 : 0;
    }
    return count;
}

int QtResultList::InsertItem(int index, const QString& text) {
    const int row = std::clamp(index, 0, list_->topLevelItemCount());
    auto* item = new ResultItem(describe_);
    item->setText(0, text);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    list_->insertTopLevelItem(row, item);
    return row;
}

void QtResultList::DeleteItem(int row) {
    delete list_->takeTopLevelItem(row);
}

void QtResultList::DeleteAllItems() {
    list_->clear();
}

QtProgressBar::QtProgressBar(QProgressBar* bar) : bar_(bar) {
    minimum_ = bar_->minimum();
    maximum_ = bar_->maximum();
    position_ = std::clamp(bar_->value(), minimum_, maximum_);
    bar_->setValue(position_);
}

void QtProgressBar::SetRange(int minimum, int maximum) {
    minimum_ = minimum;
    maximum_ = std::max(minimum, maximum);
    position_ = std::clamp(position_, minimum_, maximum_);
    if (maximum_ == minimum_) {
        bar_->setRange(minimum_, minimum_ + 1);
    } else {
        bar_->setRange(minimum_, maximum_);
    }
    bar_->setValue(position_);
    if (changed) {
        changed();
    }
}

void QtProgressBar::SetPos(int position) {
    position_ = std::clamp(position, minimum_, maximum_);
    bar_->setValue(position_);
    if (changed) {
        changed();
    }
}

int QtProgressBar::GetPos() const {
    return position_;
}

void QtCommandStates::EnableButton(int command, bool enable) {
    if (auto it = buttons_.find(command); it != buttons_.end()) {
        it->second->setEnabled(enable);
    }
}

void QtCommandStates::EnableMenuItem(int command, unsigned flags) {
    if (auto it = menuItems_.find(command); it != menuItems_.end()) {
        it->second->setEnabled((flags & kMfGrayed) == 0);
    }
}

int QtMessageBox::MessageBox(const std::string& text, const std::string& caption, unsigned type) {
    QMessageBox box(owner_);
    box.setWindowTitle(QString::fromStdString(caption));
    // The dialog font draws an underscore below its own descent and a label clips its last line
    // there, so a command's underscores would vanish: the lines get a little more height. Texts
    // can carry names the user typed; escaped, they are shown as they are, never as markup.
    const QString plain = QString::fromStdString(text);
    box.setTextFormat(Qt::RichText);
    box.setText(QStringLiteral("<p style=\"white-space:pre-wrap; line-height:115%\">") +
                plain.toHtmlEscaped() + QStringLiteral("</p>"));
    switch (type & 0xF0u) {
        case kMbIconStop:
            box.setIcon(QMessageBox::Critical);
            break;
        case kMbIconQuestion:
            box.setIcon(QMessageBox::Question);
            break;
        case kMbIconInformation:
            box.setIcon(QMessageBox::Information);
            break;
        default:
            box.setIcon(QMessageBox::NoIcon);
            break;
    }
    // A box as narrow as a short notice would cut off its own caption; one with a command in it
    // is as wide as its longest line, so the command is never wrapped.
    int width = kMinimumBoxWidth;
    const QFontMetrics metrics(box.font());
    for (const QString& line : plain.split(QLatin1Char('\n'))) {
        width = std::max(width, metrics.horizontalAdvance(line) + kBoxIconRoom);
    }
    if (const QScreen* screen = owner_ != nullptr ? owner_->screen() : nullptr) {
        width = std::min(width, screen->availableGeometry().width() * 9 / 10);
    }
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    // What a notice says (a path, a command) can be selected and copied; a question's text has
    // nothing to copy, and its keys stay with its buttons.
    if ((type & 0x0Fu) != kMbYesNo) {
        box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    if ((type & 0x0Fu) == kMbYesNo) {
        QPushButton* yes = box.addButton(QStringLiteral("是(&Y)"), QMessageBox::YesRole);
        QPushButton* no = box.addButton(QStringLiteral("否(&N)"), QMessageBox::NoRole);
        box.setDefaultButton(yes);
        box.setEscapeButton(no);
        box.exec();
        return box.clickedButton() == yes ? kIdYes : kIdNo;
    }
    QPushButton* ok = box.addButton(QStringLiteral("确定"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
    return kIdOk;
}

void QtUiPoster::Post(std::function<void()> task) {
    const std::lock_guard lock(mutex_);
    if (context_ == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(
        context_, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

void QtUiPoster::Detach() {
    const std::lock_guard lock(mutex_);
    context_ = nullptr;
}

}  // namespace talvik
