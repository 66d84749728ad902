// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The device records window: every device remembered on every network, sortable and
// filterable by text and by network, with its name editable. What renaming and forgetting do is the
// caller's.

#include <QAbstractTableModel>
#include <QDialog>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "store/DeviceChanges.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSortFilterProxyModel;
class QTableView;

namespace talvik {

// One remembered device as the window lists it.
struct DeviceRow {
    std::string name;           // the user's own, may be empty
    std::uint32_t address = 0;  // last address, host byte order
    std::string mac;            // as the result list writes it
    std::string maker;
    std::string hostName;
    std::int64_t firstSeen = 0;  // seconds since the epoch
    std::int64_t lastSeen = 0;
    bool online = false;  // answered in this network's last scan
    bool asked = false;   // its address was asked in that scan: not online then is offline
    int network = 0;      // which of the window's networks it was seen on
};

// The window's rows from the store's records of a network.
std::vector<DeviceRow> DeviceRowsOf(std::vector<store::Device> devices);

class DeviceTableModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column {
        Name,
        Address,
        Mac,
        Maker,
        HostName,
        FirstSeen,
        LastSeen,
        State,
        Network,
        ColumnCount
    };
    // What the columns sort by: numbers for addresses, MACs and times, text otherwise.
    static constexpr int SortRole = Qt::UserRole + 1;

    // `networks`: what the network column says for each row's network.
    DeviceTableModel(std::vector<DeviceRow> rows, std::vector<QString> networks,
                     QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // Only the name is edited; it asks `rename` and keeps the new name once that succeeded.
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

    const DeviceRow& Row(int row) const { return rows_[static_cast<std::size_t>(row)]; }
    void RemoveRow(int row);
    void RemoveNetwork(int network);
    int CountIn(int network) const;
    int CountOnline() const;
    // The devices the last scan did not reach, which it says nothing of.
    int CountNotAsked() const;

    // Gives an error text, or nothing when the name was kept.
    std::function<std::optional<std::string>(const DeviceRow& row, const std::string& name)> rename;

private:
    std::vector<DeviceRow> rows_;
    std::vector<QString> networks_;
    // What the column shows: the subnet alone, unless two networks share it.
    std::vector<QString> shortNetworks_;
};

class CDeviceRecordsDlg final : public QDialog {
    Q_OBJECT

public:
    // Each action gives an error text, or nothing when it was done.
    struct Actions {
        std::function<std::optional<std::string>(const DeviceRow&, const std::string& name)> rename;
        std::function<std::optional<std::string>(const DeviceRow&)> forget;
        std::function<std::optional<std::string>(int network)> forgetNetwork;
        // Asks a yes/no question or tells an error in a box owned by this window.
        std::function<bool(QWidget* owner, const std::string& text, bool question)> ask;
    };

    // `networks` names every network of the rows; `current` is the one of the latest scan
    // (-1: none), shown at first.
    CDeviceRecordsDlg(std::vector<DeviceRow> rows, std::vector<QString> networks, int current,
                      Actions actions, QWidget* parent = nullptr);

    DeviceTableModel* model() const { return model_; }
    QSortFilterProxyModel* sorted() const { return proxy_; }
    QTableView* table() const { return table_; }
    QLineEdit* filterEdit() const { return filter_; }
    QComboBox* networkChoice() const { return network_; }
    QLabel* countLabel() const { return count_; }

    void OnRename();
    void OnForget();
    void OnForgetNetwork();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void UpdateCount();
    // The network chosen to be shown; -1: all of them.
    int ChosenNetwork() const;
    // The source row of the current row in the view, or -1.
    int CurrentRow() const;

    Actions actions_;
    DeviceTableModel* model_ = nullptr;
    QSortFilterProxyModel* proxy_ = nullptr;
    QTableView* table_ = nullptr;
    QLineEdit* filter_ = nullptr;
    QComboBox* network_ = nullptr;
    QLabel* count_ = nullptr;
    QPushButton* renameButton_ = nullptr;
    QPushButton* forgetButton_ = nullptr;
    QPushButton* forgetNetworkButton_ = nullptr;
};

}  // namespace talvik
