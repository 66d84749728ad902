// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's device memory: the switch in the settings menu, what each scan is compared
// with and written as, the rows' marks and tooltip lines, naming a row's device and the device
// records window.

#include <QAction>
#include <QInputDialog>
#include <QMenu>
#include <QTreeWidget>
#include <ctime>

#include "scan/Address.h"
#include "scan/ScanEngine.h"
#include "ui/DeviceMarks.h"
#include "ui/DeviceRecordsDlg.h"
#include "ui/DeviceText.h"
#include "ui/IpAddressEdit.h"
#include "ui/ScannerCommands.h"
#include "ui/ScannerDlg.h"

namespace talvik {

namespace {

constexpr int kMacColumn = 2;
constexpr const char* kTurnOffQuestion = "关闭后将删除已记住的 %1 台设备。是否继续？";

QString Utf8(const std::string& text) {
    return QString::fromStdString(text);
}

bool SameMac(const QString& cell, const std::string& mac) {
    const auto normal = store::NormalMac(cell.toStdString());
    return normal && *normal == mac;
}

QString NetworkText(const store::NetworkId& network) {
    QString text = Utf8(network.subnet);
    if (network.gatewayMac.empty()) {
        return text;
    }
    // The address names the gateway; the MAC tells this router from another at that address.
    if (network.gateway != 0) {
        return text +
               QStringLiteral("（网关 %1，MAC 地址 %2）")
                   .arg(Utf8(FormatDottedDecimal(network.gateway)), Utf8(network.gatewayMac));
    }
    text += QStringLiteral("（网关 MAC 地址 %1）").arg(Utf8(network.gatewayMac));
    return text;
}

}  // namespace

void CScannerDlg::CreateDeviceMemory() {
    memory_ = std::make_unique<DeviceMemory>(services_.deviceStore, services_.networkOf, poster_,
                                             services_.arp);
    if (QAction* remember = menuAction(ID_REMEMBER_DEVICES)) {
        remember->setCheckable(true);
    }
    UpdateMemoryCommands();
}

void CScannerDlg::UpdateMemoryCommands() {
    const bool on = memory_->IsOn();
    if (QAction* remember = menuAction(ID_REMEMBER_DEVICES)) {
        remember->setChecked(on);
    }
    if (QAction* records = menuAction(ID_DEVICE_RECORDS)) {
        records->setEnabled(on);
    }
}

void CScannerDlg::OnRememberDevices() {
    if (!memory_->IsOn()) {
        const store::StoreStatus status = memory_->TurnOn();
        if (!status.Ok()) {
            Message(store::DescribeProblem(status).c_str(), kMbIconInformation);
        }
        UpdateMemoryCommands();
        return;
    }
    // A store that cannot be read cannot say how many it holds; it is deleted all the same.
    const std::optional<long> count = memory_->CountDevices();
    const std::string question = count
                                     ? QString::fromUtf8(kTurnOffQuestion).arg(*count).toStdString()
                                     : std::string("关闭后将删除设备记录。是否继续？");
    if (Message(question.c_str(), kMbYesNo | kMbIconQuestion) == kIdYes) {
        if (const store::StoreStatus status = memory_->TurnOff(); !status.Ok()) {
            Message(store::DescribeProblem(status).c_str(), kMbIconStop);
        }
        ForgetScanChanges();
        UpdateProgressText();
    }
    UpdateMemoryCommands();
}

void CScannerDlg::TellStoreProblem(const store::StoreStatus& status) {
    if (status.Ok() || storeProblemTold_) {
        return;
    }
    storeProblemTold_ = true;
    Message(store::DescribeProblem(status).c_str(), kMbIconInformation);
}

void CScannerDlg::ForgetScanChanges() {
    ++memoryRound_;
    scanChanges_.clear();
    newMacs_.clear();
    newDevices_ = 0;
    for (int row = 0; row < resultList_->topLevelItemCount(); ++row) {
        // The watch's marks stay while it runs: its events outlive a rescan.
        resultList_->topLevelItem(row)->setIcon(kMacColumn,
                                                WatchMark(resultRows_->Facts(row), row));
    }
}

void CScannerDlg::OnScanEnded(bool /*completed*/) {
    scanEnded_ = true;
    UpdateProgressText();
    OnWatchScanEnded();
    if (!memory_->IsOn()) {
        return;
    }
    const MacRegistry* registry = vendors_ ? vendors_->Loaded() : nullptr;
    std::vector<store::ScanRow> rows;
    for (int row = 0; row < resultRows_->GetItemCount(); ++row) {
        const RowFacts* facts = resultRows_->Facts(row);
        // A stopped scan's rows that were never asked say nothing of their hosts.
        if (facts == nullptr || facts->address == 0 ||
            (facts->outcome != RowOutcome::Answered && facts->outcome != RowOutcome::Silent)) {
            continue;
        }
        store::ScanRow scanned;
        scanned.address = facts->address;
        if (facts->outcome != RowOutcome::Answered || facts->macs.isEmpty()) {
            rows.push_back(std::move(scanned));
            continue;
        }
        // Every host that answered for the address is remembered, the cell's first; the host
        // name was asked of the address, so it goes with that one only.
        for (const QString& answered : facts->macs) {
            const std::string mac = answered.toStdString();
            scanned.mac = store::NormalMac(mac).value_or(std::string());
            scanned.maker = MakerOf(mac, registry);
            if (const auto name = hostNames_.find(facts->address);
                name != hostNames_.end() && &answered == &facts->macs.front()) {
                scanned.hostName = name->second;
            } else {
                scanned.hostName.clear();
            }
            rows.push_back(scanned);
        }
    }
    if (rows.empty()) {
        return;
    }
    const auto when = static_cast<store::Seconds>(std::time(nullptr));
    memory_->RecordScan(
        std::move(rows), when,
        [this, when, round = memoryRound_](const DeviceMemory::ScanRecorded& recorded) {
            // The rows may have been scanned again since, or memory turned off.
            if (round == memoryRound_) {
                OnScanRecorded(recorded);
                scanRecordedAt_ = when;
            } else {
                TellStoreProblem(recorded.write.status);
            }
        });
}

void CScannerDlg::OnScanRecorded(const DeviceMemory::ScanRecorded& recorded) {
    if (!recorded.write.status.Ok()) {
        TellStoreProblem(recorded.write.status);
        return;
    }
    TellStoreProblem(recorded.opening);
    ForgetScanChanges();
    // The first change of an address is its cell's MAC; the others of a conflict follow it.
    for (const store::RowChange& change : recorded.write.changes) {
        scanChanges_.try_emplace(change.address, change);
        if (change.isNew && !change.previous) {
            newMacs_.insert(change.mac);
        }
    }
    UpdateMarks();
}

void CScannerDlg::UpdateMarks() {
    newDevices_ = static_cast<int>(newMacs_.size());
    for (int row = 0; row < resultRows_->GetItemCount(); ++row) {
        const RowFacts* facts = resultRows_->Facts(row);
        const store::RowChange* change = facts ? ChangeOf(*facts) : nullptr;
        QIcon mark;
        // The warning wins where a new device also took over a known address.
        if (change != nullptr && !change->mac.empty()) {
            mark = change->previous ? ChangedMacMark() : change->isNew ? NewDeviceMark() : QIcon();
        }
        resultList_->topLevelItem(row)->setIcon(kMacColumn,
                                                mark.isNull() ? WatchMark(facts, row) : mark);
    }
    UpdateProgressText();
}

const store::RowChange* CScannerDlg::ChangeOf(const RowFacts& facts) const {
    const auto found = scanChanges_.find(facts.address);
    if (found == scanChanges_.end()) {
        return nullptr;
    }
    const store::RowChange& change = found->second;
    if (facts.outcome == RowOutcome::Answered) {
        return !facts.macs.isEmpty() && SameMac(facts.macs.front(), change.mac) ? &change : nullptr;
    }
    return facts.outcome == RowOutcome::Silent && change.mac.empty() ? &change : nullptr;
}

void CScannerDlg::AddMemoryLines(QStringList& lines, const RowFacts& facts) const {
    const store::RowChange* change = ChangeOf(facts);
    if (change == nullptr) {
        return;
    }
    if (facts.outcome == RowOutcome::Silent) {
        if (change->lastOnline) {
            const store::LastOnline& last = *change->lastOnline;
            lines << Utf8(
                LastOnlineText(last.when, last.mac, last.name.empty() ? last.hostName : last.name));
        }
        return;
    }
    if (change->isNew) {
        lines << Utf8(NewDeviceText());
    }
    if (change->previous) {
        lines << Utf8(
            ChangedMacText(change->previous->mac, change->previous->maker, change->previous->when));
    }
    // A new device was first seen by this scan, as its line says already.
    if (!change->isNew) {
        lines << Utf8(FirstSeenText(change->firstSeen));
    }
}

int CScannerDlg::RowToName() const {
    const QTreeWidgetItem* current = resultList_->currentItem();
    int chosen = -1;
    for (int row = resultRows_->GetNextItem(-1, ItemFilter::Selected); row != -1;
         row = resultRows_->GetNextItem(row, ItemFilter::Selected)) {
        const RowFacts* facts = resultRows_->Facts(row);
        if (facts == nullptr || ChangeOf(*facts) == nullptr ||
            facts->outcome != RowOutcome::Answered) {
            continue;
        }
        if (chosen == -1 || resultList_->topLevelItem(row) == current) {
            chosen = row;
        }
    }
    return chosen;
}

void CScannerDlg::AddMemoryItems(QMenu& menu, bool scanning) {
    if (!memory_->IsOn()) {
        return;
    }
    menu.addSeparator();
    const Command& command = *FindCommand(ID_NAME_DEVICE);
    QAction* action = menu.addAction(QString::fromUtf8(command.text));
    action->setData(ID_NAME_DEVICE);
    action->setEnabled(MayRun(command, scanning) && RowToName() != -1);
}

void CScannerDlg::OnNameDevice() {
    const int row = RowToName();
    if (row == -1 || !memory_->IsOn()) {
        return;
    }
    const store::RowChange change = *ChangeOf(*resultRows_->Facts(row));
    const auto network = memory_->CurrentNetwork(change.address);
    if (!network) {
        return;
    }
    bool accepted = false;
    const QString name =
        QInputDialog::getText(this, QStringLiteral("命名设备"),
                              QStringLiteral("%1 的名称（留空则清除）：").arg(Utf8(change.mac)),
                              QLineEdit::Normal, Utf8(change.name), &accepted)
            .trimmed();
    if (!accepted) {
        return;
    }
    const std::string text = name.toStdString();
    if (const store::StoreStatus status = memory_->Rename(*network, change.mac, text);
        !status.Ok()) {
        Message(("无法保存名称：" + store::DescribeProblem(status)).c_str(), kMbIconStop);
        return;
    }
    // The name follows the MAC, wherever it answered in this scan.
    for (auto& [address, known] : scanChanges_) {
        if (known.mac == change.mac) {
            known.name = text;
        }
    }
}

void CScannerDlg::OnDeviceRecords() {
    if (!memory_->IsOn()) {
        return;
    }
    const auto current = memory_->CurrentNetwork(
        ParseDottedDecimal(startAddress_->text().toStdString()).value_or(0));
    store::KnownNetworks known = memory_->Networks();
    if (!known.status.Ok()) {
        Message(store::DescribeProblem(known.status).c_str(), kMbIconStop);
        return;
    }
    // The latest scan's network keeps its gateway's address, which the store does not hold.
    std::vector<store::NetworkId> networks = std::move(known.networks);
    int currentIndex = -1;
    if (current) {
        const auto found = std::find(networks.begin(), networks.end(), *current);
        if (found == networks.end()) {
            networks.push_back(*current);
        } else {
            *found = *current;
        }
        currentIndex = static_cast<int>(std::find(networks.begin(), networks.end(), *current) -
                                        networks.begin());
    }
    if (networks.empty()) {
        Message("尚不知道当前网络：请先扫描一次。", kMbIconInformation);
        return;
    }
    std::vector<DeviceRow> rows;
    std::vector<QString> texts;
    for (std::size_t i = 0; i < networks.size(); ++i) {
        store::NetworkDevices devices = memory_->Devices(networks[i]);
        if (!devices.status.Ok()) {
            Message(store::DescribeProblem(devices.status).c_str(), kMbIconStop);
            return;
        }
        for (DeviceRow& row : DeviceRowsOf(std::move(devices.devices))) {
            row.network = static_cast<int>(i);
            rows.push_back(std::move(row));
        }
        texts.push_back(NetworkText(networks[i]));
    }
    const auto failure = [](const store::StoreStatus& status) -> std::optional<std::string> {
        if (status.Ok()) {
            return std::nullopt;
        }
        return store::DescribeProblem(status);
    };
    const auto ofNetwork = [&](int network) -> const store::NetworkId& {
        return networks[static_cast<std::size_t>(network)];
    };
    // Only the latest scan's network has rows in the main list that follow the records.
    CDeviceRecordsDlg::Actions actions;
    actions.rename = [&](const DeviceRow& row, const std::string& name) {
        const auto error = failure(memory_->Rename(ofNetwork(row.network), row.mac, name));
        if (!error && row.network == currentIndex) {
            for (auto& [address, change] : scanChanges_) {
                if (change.mac == row.mac) {
                    change.name = name;
                }
            }
        }
        return error;
    };
    // What the rows said of a forgotten device is no longer so.
    actions.forget = [&](const DeviceRow& row) {
        const auto error = failure(memory_->ForgetDevice(ofNetwork(row.network), row.mac));
        if (!error && row.network == currentIndex) {
            std::erase_if(scanChanges_,
                          [&](const auto& entry) { return entry.second.mac == row.mac; });
            newMacs_.erase(row.mac);
            UpdateMarks();
        }
        return error;
    };
    actions.forgetNetwork = [&](int network) {
        const auto error = failure(memory_->ForgetNetwork(ofNetwork(network)));
        if (!error && network == currentIndex) {
            ForgetScanChanges();
            UpdateProgressText();
        }
        return error;
    };
    actions.ask = [this](QWidget* /*owner*/, const std::string& text, bool question) {
        return Message(text.c_str(), question ? kMbYesNo | kMbIconQuestion : kMbIconStop) ==
               (question ? kIdYes : kIdOk);
    };
    CDeviceRecordsDlg records(std::move(rows), std::move(texts), currentIndex, std::move(actions),
                              this);
    records.exec();
}

}  // namespace talvik
