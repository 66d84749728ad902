// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/DeviceRecordsDlg.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSortFilterProxyModel>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "names/MacVendors.h"
#include "scan/Address.h"
#include "store/DeviceChanges.h"
#include "ui/DialogUnits.h"

namespace talvik {

namespace {

QString Utf8(const std::string& text) {
    return QString::fromStdString(text);
}

qulonglong MacKey(const std::string& text) {
    const auto mac = ParseMacText(text);
    qulonglong key = 0;
    if (mac) {
        for (const std::uint8_t byte : *mac) {
            key = (key << 8) | byte;
        }
    }
    return key;
}

// Matches the typed text in any column, and a MAC also as the exports write it, with colons.
class DeviceFilter final : public QSortFilterProxyModel {
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    void SetText(const QString& text) {
        text_ = text.trimmed();
        invalidateFilter();
    }
    void SetNetwork(int network) {
        network_ = network;
        invalidateFilter();
    }

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
        if (network_ >= 0 &&
            static_cast<const DeviceTableModel*>(sourceModel())->Row(row).network != network_) {
            return false;
        }
        if (text_.isEmpty()) {
            return true;
        }
        for (int column = 0; column < DeviceTableModel::ColumnCount; ++column) {
            // A network matches by its gateway too, which its cell leaves to the tooltip.
            QString cell =
                sourceModel()
                    ->index(row, column, parent)
                    .data(column == DeviceTableModel::Network ? Qt::ToolTipRole : Qt::DisplayRole)
                    .toString();
            if (cell.contains(text_, Qt::CaseInsensitive) ||
                (column == DeviceTableModel::Mac && cell.replace(QLatin1Char('-'), QLatin1Char(':'))
                                                        .contains(text_, Qt::CaseInsensitive))) {
                return true;
            }
        }
        return false;
    }

private:
    QString text_;
    int network_ = -1;
};

}  // namespace

std::vector<DeviceRow> DeviceRowsOf(std::vector<store::Device> devices) {
    std::vector<DeviceRow> rows;
    rows.reserve(devices.size());
    for (store::Device& device : devices) {
        rows.push_back({std::move(device.name), device.address, std::move(device.mac),
                        std::move(device.maker), std::move(device.hostName), device.firstSeen,
                        device.lastSeen, device.online, device.asked});
    }
    return rows;
}

DeviceTableModel::DeviceTableModel(std::vector<DeviceRow> rows, std::vector<QString> networks,
                                   QObject* parent)
    : QAbstractTableModel(parent), rows_(std::move(rows)), networks_(std::move(networks)) {
    // A network's text is its subnet, then its gateway in full-width brackets.
    for (const QString& text : networks_) {
        shortNetworks_.push_back(text.section(QChar(0xFF08), 0, 0));
    }
    for (std::size_t i = 0; i < shortNetworks_.size(); ++i) {
        if (std::count(shortNetworks_.begin(), shortNetworks_.end(), shortNetworks_[i]) > 1) {
            shortNetworks_[i] = networks_[i];
        }
    }
}

int DeviceTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int DeviceTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant DeviceTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const DeviceRow& row = Row(index.row());
    if (role == SortRole) {
        switch (index.column()) {
            case Address:
                return QVariant::fromValue(row.address);
            case Mac:
                return QVariant::fromValue(MacKey(row.mac));
            case FirstSeen:
                return QVariant::fromValue(static_cast<qlonglong>(row.firstSeen));
            case LastSeen:
                return QVariant::fromValue(static_cast<qlonglong>(row.lastSeen));
            case State:
                return row.online ? 2 : row.asked ? 0 : 1;
            default:
                return data(index, Qt::DisplayRole);
        }
    }
    if (role != Qt::DisplayRole && role != Qt::EditRole && role != Qt::ToolTipRole) {
        return {};
    }
    switch (index.column()) {
        case Name:
            return Utf8(row.name);
        case Address:
            return row.address == 0 ? QString() : Utf8(FormatDottedDecimal(row.address));
        case Mac:
            return Utf8(row.mac);
        case Maker:
            return Utf8(row.maker);
        case HostName:
            return Utf8(row.hostName);
        case Network:
            if (row.network < 0 || static_cast<std::size_t>(row.network) >= networks_.size()) {
                return QString();
            }
            return (role == Qt::ToolTipRole
                        ? networks_
                        : shortNetworks_)[static_cast<std::size_t>(row.network)];
        case FirstSeen:
            return Utf8(store::LocalDateText(row.firstSeen));
        case LastSeen:
            return Utf8(store::LocalDateText(row.lastSeen));
        case State:
            if (row.online) {
                return QStringLiteral("在线");
            }
            // Not asked is not offline: the device may well be there still.
            return row.asked
                       ? QStringLiteral("离线")
                       : QStringLiteral("最后发现于 ") + Utf8(store::LocalDateText(row.lastSeen));
        default:
            return {};
    }
}

QVariant DeviceTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    static const char* const titles[ColumnCount] = {
        "名称", "IP地址", "MAC地址", "厂商", "主机名", "首次发现", "最后发现", "状态", "网络"};
    return section >= 0 && section < ColumnCount ? QString::fromUtf8(titles[section]) : QVariant();
}

Qt::ItemFlags DeviceTableModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags flags = QAbstractTableModel::flags(index);
    if (index.isValid() && index.column() == Name) {
        flags |= Qt::ItemIsEditable;
    }
    return flags;
}

bool DeviceTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || index.column() != Name || role != Qt::EditRole || !rename) {
        return false;
    }
    DeviceRow& row = rows_[static_cast<std::size_t>(index.row())];
    const std::string name = value.toString().trimmed().toStdString();
    if (name == row.name) {
        return true;
    }
    if (rename(row, name)) {
        return false;
    }
    row.name = name;
    emit dataChanged(index, index);
    return true;
}

void DeviceTableModel::RemoveRow(int row) {
    beginRemoveRows({}, row, row);
    rows_.erase(rows_.begin() + row);
    endRemoveRows();
}

void DeviceTableModel::RemoveNetwork(int network) {
    beginResetModel();
    std::erase_if(rows_, [network](const DeviceRow& row) { return row.network == network; });
    endResetModel();
}

int DeviceTableModel::CountOnline() const {
    int count = 0;
    for (const DeviceRow& row : rows_) {
        count += row.online ? 1 : 0;
    }
    return count;
}

CDeviceRecordsDlg::CDeviceRecordsDlg(std::vector<DeviceRow> rows, std::vector<QString> networks,
                                     int current, Actions actions, QWidget* parent)
    : QDialog(parent), actions_(std::move(actions)) {
    setWindowTitle(QStringLiteral("设备记录"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    setSizeGripEnabled(true);

    const QString currentText = current >= 0 && static_cast<std::size_t>(current) < networks.size()
                                    ? networks[static_cast<std::size_t>(current)]
                                    : QStringLiteral("尚未扫描");
    network_ = new QComboBox(this);
    network_->addItem(QStringLiteral("全部网络"));
    for (const QString& text : networks) {
        network_->addItem(text);
    }
    network_->setAccessibleName(QStringLiteral("网络"));
    model_ = new DeviceTableModel(std::move(rows), std::move(networks), this);
    model_->rename = [this](const DeviceRow& row, const std::string& name) {
        auto error = actions_.rename ? actions_.rename(row, name) : std::nullopt;
        if (error && actions_.ask) {
            actions_.ask(this, "无法保存名称：" + *error, false);
        }
        return error;
    };
    auto* filter = new DeviceFilter(this);
    proxy_ = filter;
    proxy_->setSourceModel(model_);
    proxy_->setSortRole(DeviceTableModel::SortRole);
    proxy_->setSortLocaleAware(true);

    auto* networkLabel = new QLabel(QStringLiteral("网络：") + currentText, this);
    networkLabel->setTextFormat(Qt::PlainText);
    // The latest scan's network is shown at first, as before there were others.
    auto* choiceLabel = new QLabel(QStringLiteral("显示网络(&W)："), this);
    choiceLabel->setBuddy(network_);
    network_->setCurrentIndex(current + 1);
    filter->SetNetwork(current);
    connect(network_, &QComboBox::currentIndexChanged, this, [this, filter](int index) {
        filter->SetNetwork(index - 1);
        UpdateCount();
    });

    auto* filterLabel = new QLabel(QStringLiteral("筛选(&F)："), this);
    filter_ = new QLineEdit(this);
    filter_->setPlaceholderText(QStringLiteral("名称、地址、MAC、厂商或主机名"));
    filter_->setClearButtonEnabled(true);
    filter_->setAccessibleName(QStringLiteral("筛选"));
    filterLabel->setBuddy(filter_);
    connect(filter_, &QLineEdit::textChanged, this,
            [filter](const QString& text) { filter->SetText(text); });
    connect(filter_, &QLineEdit::textChanged, this, &CDeviceRecordsDlg::UpdateCount);

    table_ = new QTableView(this);
    table_->setModel(proxy_);
    table_->setAccessibleName(QStringLiteral("设备列表"));
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    // Only the name is edited, from whichever cell of the row the user is on.
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(table_, &QTableView::doubleClicked, this, &CDeviceRecordsDlg::OnRename);
    table_->setSortingEnabled(true);
    table_->sortByColumn(DeviceTableModel::Address, Qt::AscendingOrder);
    table_->setWordWrap(false);
    table_->setAlternatingRowColors(true);
    table_->verticalHeader()->hide();
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
    table_->horizontalHeader()->setHighlightSections(false);
    table_->horizontalHeader()->setStretchLastSection(true);
    // Wide enough for the longest address, MAC and time without measuring every row.
    const QFontMetrics metrics(table_->font());
    const auto fits = [&](const char* sample) {
        return metrics.horizontalAdvance(QString::fromUtf8(sample)) +
               metrics.averageCharWidth() * 2;
    };
    const int widths[DeviceTableModel::ColumnCount] = {
        fits("客厅的树莓派"),      fits("255.255.255.255"),
        fits("00-00-00-00-00-00"), fits("Raspberry Pi Foundation"),
        fits("host-name.local"),   fits("2026-12-09 00:00"),
        fits("2026-12-09 00:00"),  fits("离线离线"),
        fits("198.51.100.0/24")};
    int tableWidth = 0;
    for (int column = 0; column < DeviceTableModel::ColumnCount; ++column) {
        table_->setColumnWidth(column, widths[column]);
        tableWidth += widths[column];
    }
    count_ = new QLabel(this);
    count_->setTextFormat(Qt::PlainText);

    renameButton_ = new QPushButton(QStringLiteral("命名(&R)…"), this);
    forgetButton_ = new QPushButton(QStringLiteral("忘记此设备(&D)"), this);
    forgetNetworkButton_ = new QPushButton(QStringLiteral("忘记此网络(&N)…"), this);
    auto* closeButton = new QPushButton(QStringLiteral("关闭"), this);
    for (QPushButton* button : {renameButton_, forgetButton_, forgetNetworkButton_, closeButton}) {
        button->setAutoDefault(false);
    }
    connect(renameButton_, &QPushButton::clicked, this, &CDeviceRecordsDlg::OnRename);
    connect(forgetButton_, &QPushButton::clicked, this, &CDeviceRecordsDlg::OnForget);
    connect(forgetNetworkButton_, &QPushButton::clicked, this, &CDeviceRecordsDlg::OnForgetNetwork);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::reject);
    table_->installEventFilter(this);
    auto* forgetKey = new QShortcut(QKeySequence::Delete, table_);
    forgetKey->setContext(Qt::WidgetShortcut);
    connect(forgetKey, &QShortcut::activated, this, &CDeviceRecordsDlg::OnForget);

    auto* filterRow = new QHBoxLayout;
    filterRow->addWidget(filterLabel);
    filterRow->addWidget(filter_, 1);
    filterRow->addWidget(choiceLabel);
    filterRow->addWidget(network_);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(count_, 1);
    buttons->addWidget(renameButton_);
    buttons->addWidget(forgetButton_);
    buttons->addWidget(forgetNetworkButton_);
    buttons->addWidget(closeButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(networkLabel);
    layout->addLayout(filterRow);
    layout->addWidget(table_, 1);
    layout->addLayout(buttons);

    connect(model_, &QAbstractItemModel::rowsRemoved, this, &CDeviceRecordsDlg::UpdateCount);
    connect(model_, &QAbstractItemModel::modelReset, this, &CDeviceRecordsDlg::UpdateCount);
    UpdateCount();
    // The count wraps rather than push the buttons off a narrow screen.
    count_->setWordWrap(true);
    const DialogUnits units(font());
    // As wide as the columns, but within the screen with room for the frame: the table scrolls
    // and every button stays in reach.
    const QScreen* shown = parent != nullptr ? parent->screen() : screen();
    QSize wanted(tableWidth + units.x(20), units.y(300));
    if (shown != nullptr) {
        const int titleBar = style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this);
        const QSize room = shown->availableGeometry().size() - QSize(2 * 8, titleBar + 2 * 8);
        wanted = wanted.boundedTo(room.expandedTo(minimumSizeHint()));
    }
    resize(wanted);
    table_->setFocus(Qt::OtherFocusReason);
    if (proxy_->rowCount() > 0) {
        table_->setCurrentIndex(proxy_->index(0, DeviceTableModel::Name));
    }
}

bool CDeviceRecordsDlg::eventFilter(QObject* watched, QEvent* event) {
    // F2 names the device of the current row, from whichever cell of it.
    if (watched == table_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_F2 &&
        static_cast<QKeyEvent*>(event)->modifiers() == Qt::NoModifier) {
        OnRename();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void CDeviceRecordsDlg::UpdateCount() {
    const int all = model_->rowCount();
    const int shown = proxy_->rowCount();
    QString text = QStringLiteral("共 %1 台设备，%2 台在线").arg(all).arg(model_->CountOnline());
    if (const int notAsked = model_->CountNotAsked(); notAsked > 0) {
        text += QStringLiteral("，%1 台不在上次扫描范围内").arg(notAsked);
    }
    if (shown != all) {
        text += QStringLiteral("（显示 %1 台）").arg(shown);
    }
    count_->setText(text);
    const bool any = shown > 0;
    renameButton_->setEnabled(any);
    forgetButton_->setEnabled(any);
    forgetNetworkButton_->setEnabled(ChosenNetwork() >= 0 && model_->CountIn(ChosenNetwork()) > 0);
}

int CDeviceRecordsDlg::ChosenNetwork() const {
    return network_->currentIndex() - 1;
}

int DeviceTableModel::CountIn(int network) const {
    return static_cast<int>(
        std::count_if(rows_.begin(), rows_.end(),
                      [network](const DeviceRow& row) { return row.network == network; }));
}

int DeviceTableModel::CountNotAsked() const {
    int count = 0;
    for (const DeviceRow& row : rows_) {
        count += row.online || row.asked ? 0 : 1;
    }
    return count;
}

int CDeviceRecordsDlg::CurrentRow() const {
    const QModelIndex current = table_->currentIndex();
    return current.isValid() ? proxy_->mapToSource(current).row() : -1;
}

void CDeviceRecordsDlg::OnRename() {
    const QModelIndex current = table_->currentIndex();
    if (!current.isValid()) {
        return;
    }
    const QModelIndex name = current.siblingAtColumn(DeviceTableModel::Name);
    table_->setCurrentIndex(name);
    table_->edit(name);
}

void CDeviceRecordsDlg::OnForget() {
    const int row = CurrentRow();
    if (row < 0) {
        return;
    }
    const DeviceRow& device = model_->Row(row);
    const std::string who =
        device.name.empty() ? device.mac : device.name + "（" + device.mac + "）";
    if (actions_.ask && !actions_.ask(this, "忘记设备 " + who + "？", true)) {
        return;
    }
    if (const auto error = actions_.forget ? actions_.forget(device) : std::nullopt) {
        if (actions_.ask) {
            actions_.ask(this, "无法忘记此设备：" + *error, false);
        }
        return;
    }
    model_->RemoveRow(row);
}

void CDeviceRecordsDlg::OnForgetNetwork() {
    const int network = ChosenNetwork();
    if (network < 0) {
        return;
    }
    const int all = model_->CountIn(network);
    if (actions_.ask &&
        !actions_.ask(this, "忘记此网络的全部 " + std::to_string(all) + " 台设备？", true)) {
        return;
    }
    if (const auto error =
            actions_.forgetNetwork ? actions_.forgetNetwork(network) : std::nullopt) {
        if (actions_.ask) {
            actions_.ask(this, "无法忘记此网络：" + *error, false);
        }
        return;
    }
    model_->RemoveNetwork(network);
}

}  // namespace talvik
