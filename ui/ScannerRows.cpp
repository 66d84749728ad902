// SPDX-License-Identifier: GPL-3.0-or-later
// What the window tells about its rows beyond their cells: each row's tooltip, the progress
// text, the makers and names of the hosts that answered, and the rows as copied text.

#include <QApplication>
#include <QClipboard>
#include <QProgressBar>
#include <QThreadPool>
#include <QTreeWidget>

#include "names/HostNames.h"
#include "names/MacVendors.h"
#include "report/ResultExport.h"
#include "scan/Address.h"
#include "scan/ScanEngine.h"
#include "scan/ScanTypes.h"
#include "ui/DeviceText.h"
#include "ui/QtPorts.h"
#include "ui/ScannerDlg.h"

namespace talvik {

namespace {

// Host names asked at once; each may wait seconds for a silent resolver.
constexpr int kNameLookupThreads = 3;

QString Utf8(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

void CScannerDlg::CreateRowDetails() {
    vendors_ = std::make_shared<MacVendors>(services_.macRegistryDirectory);
    if (services_.hostNames) {
        // The answer comes on a lookup thread and reaches the rows through the window's queue,
        // which drops it once the window is going away.
        nameLookups_ = std::make_unique<HostNameLookups>(
            services_.hostNames, kNameLookupThreads,
            [this, poster = poster_](std::uint32_t address, std::optional<std::string> name) {
                poster->Post([this, address, name = std::move(name)] {
                    hostNames_[address] = name.value_or(std::string());
                });
            });
    }
}

// The first line is always one of ours and never markup, so the toolkit shows every line as
// plain text, whatever a name from the network holds.
QString CScannerDlg::DescribeRow(const QString& text, const RowFacts& facts) const {
    QStringList lines;
    const bool isName = !ParseDottedDecimal(text.toStdString()).has_value();
    switch (facts.outcome) {
        case RowOutcome::Answered:
            lines << QStringLiteral("在线");
            break;
        case RowOutcome::Silent:
            lines << QStringLiteral("无响应");
            break;
        case RowOutcome::Unresolved:
            lines << QStringLiteral("无法解析");
            break;
        case RowOutcome::NotAsked:
            lines << Utf8(kNotAskedRow) + QStringLiteral("（") +
                         Utf8(NotAskedReasonText(facts.notAsked)) + QStringLiteral("）");
            break;
        case RowOutcome::Waiting:
            lines << (engine_ != nullptr && engine_->IsScanRunning() ? QStringLiteral("正在扫描")
                                                                     : QStringLiteral("未扫描"));
            break;
        case RowOutcome::NotScanned:
            lines << QStringLiteral("未扫描");
            break;
    }
    if (isName && facts.address != 0) {
        lines << QStringLiteral("地址：") + Utf8(FormatDottedDecimal(facts.address));
    }
    if (facts.outcome == RowOutcome::Answered && facts.confirmedBefore) {
        lines << QStringLiteral("系统邻居表在扫描前 %1 秒确认过此主机，本次未重新应答")
                     .arg(*facts.confirmedBefore);
    }
    if (facts.outcome == RowOutcome::Answered) {
        const MacRegistry* registry = vendors_ ? vendors_->Loaded() : nullptr;
        if (facts.macs.size() > 1) {
            lines << QStringLiteral("IP 地址冲突：有 %1 个 MAC 地址应答").arg(facts.macs.size());
            for (const QString& mac : facts.macs) {
                const std::string maker = MakerText(mac.toStdString(), registry);
                lines << (maker.empty() ? mac : mac + QStringLiteral("  ") + Utf8(maker));
            }
        } else if (!facts.macs.isEmpty()) {
            if (const std::string maker = MakerText(facts.macs.front().toStdString(), registry);
                !maker.empty()) {
                lines << Utf8(maker);
            }
        }
        if (const auto name = hostNames_.find(facts.address); name != hostNames_.end()) {
            if (const std::string line = HostNameText(name->second); !line.empty()) {
                lines << Utf8(line);
            }
        }
    }
    AddMemoryLines(lines, facts);
    AddWatchLines(lines, facts);
    // The user's own name for the device heads its tooltip.
    if (const store::RowChange* change = ChangeOf(facts);
        change != nullptr && facts.outcome == RowOutcome::Answered && !change->name.empty()) {
        lines.prepend(Utf8(DeviceNameText(change->name)));
    }
    return lines.join(QLatin1Char('\n'));
}

void CScannerDlg::OnRowOutcome(int row, const RowFacts& facts) {
    if (facts.outcome != RowOutcome::Answered) {
        // A mark tells of the answer it was given for.
        resultList_->topLevelItem(row)->setIcon(2, QIcon());
    }
    if (facts.outcome == RowOutcome::Answered) {
        if (!vendorsLoading_) {
            // Read once, off this thread; the tooltips name makers once it is there.
            vendorsLoading_ = true;
            QThreadPool::globalInstance()->start([vendors = vendors_] { vendors->Load(); });
        }
        if (nameLookups_ && facts.address != 0 && hostNames_.try_emplace(facts.address).second) {
            nameLookups_->Ask(facts.address);
        }
    }
    UpdateProgressText();
}

void CScannerDlg::UpdateProgressText() {
    const int total = progressPort_->Maximum();
    const bool shown = progressShown_ && total > 0;
    progress_->setTextVisible(shown || !watchNote_.isEmpty());
    const QString text =
        shown ? Utf8(ProgressText(progressPort_->GetPos(), total, resultRows_->CountAnswered(),
                                  resultRows_->CountNotAsked()))
              : QString();
    const QString news =
        shown && newDevices_ > 0 ? QStringLiteral(" · %1 台新设备").arg(newDevices_) : QString();
    // Every target asked, the scan still listens for hosts that answer late (up to 5 s at 差):
    // a full bar alone would look finished.
    const bool listening = shown && !scanEnded_ && engine_ != nullptr && engine_->IsScanRunning() &&
                           progressPort_->GetPos() >= total;
    const QString waiting = listening ? QStringLiteral(" · 仍在等待迟到的应答…") : QString();
    const QString watch =
        watchNote_.isEmpty() || !shown ? watchNote_ : QStringLiteral(" · ") + watchNote_;
    progress_->setFormat(text + news + waiting + watch);
    progress_->setAccessibleDescription(text + news + waiting + watch);
}

void CScannerDlg::ResetProgress() {
    progressShown_ = false;
    progressPort_->SetPos(0);
}

ExportResult CScannerDlg::ExportRows() const {
    const MacRegistry* registry = vendors_ ? vendors_->Loaded() : nullptr;
    ExportResult result;
    const bool remembering = memory_->IsOn();
    for (int row = 0; row < resultRows_->GetItemCount(); ++row) {
        ExportHost host;
        host.target = resultRows_->GetItemText(row, 0);
        const RowFacts* facts = resultRows_->Facts(row);
        const RowFacts none;
        const RowFacts& known = facts != nullptr ? *facts : none;
        const std::uint32_t address =
            known.address != 0 ? known.address : ParseDottedDecimal(host.target).value_or(0);
        if (address != 0) {
            host.address = FormatDottedDecimal(address);
        }
        host.state = ExportStateOf(known.outcome);
        if (host.state == ExportState::Unresolved) {
            host.address.reset();
        }
        if (host.state == ExportState::Answered) {
            const std::string mac = resultRows_->GetItemText(row, 2);
            host.mac = ExportMac(mac);
            for (int other = 1; other < known.macs.size(); ++other) {
                if (auto text = ExportMac(known.macs[other].toStdString())) {
                    host.otherMacs.push_back(std::move(*text));
                }
            }
            if (std::string maker = MakerOf(mac, registry); !maker.empty()) {
                host.maker = std::move(maker);
            }
            if (const auto name = hostNames_.find(address);
                name != hostNames_.end() && !name->second.empty()) {
                host.hostName = name->second;
            }
        }
        if (const store::RowChange* change = remembering ? ChangeOf(known) : nullptr) {
            AddMemoryFields(host, *change, scanRecordedAt_);
        }
        result.hosts.push_back(std::move(host));
    }
    return result;
}

void CScannerDlg::OnCopyRows() {
    const MacRegistry* registry = vendors_->Loaded();
    QStringList lines;
    for (int row = resultRows_->GetNextItem(-1, ItemFilter::Selected); row != -1;
         row = resultRows_->GetNextItem(row, ItemFilter::Selected)) {
        const std::string mac = resultRows_->GetItemText(row, 2);
        const std::string address = resultRows_->GetItemText(row, 0);
        const std::string status = resultRows_->GetItemText(row, 1);
        const std::string maker = MakerOf(mac, registry);
        // The cell shows the first MAC of a conflict; the others go after it.
        std::vector<OtherAnswer> others;
        const RowFacts* facts = resultRows_->Facts(row);
        if (facts != nullptr) {
            for (const QString& other : facts->macs) {
                const std::string text = other.toStdString();
                if (QString::compare(other, Utf8(mac), Qt::CaseInsensitive) != 0) {
                    others.push_back({text, MakerOf(text, registry)});
                }
            }
        }
        if (!memory_->IsOn() || facts == nullptr) {
            lines << Utf8(CopyLine(address, status, mac, maker, others));
            continue;
        }
        const store::RowChange* change = ChangeOf(*facts);
        const bool named = change != nullptr && !change->mac.empty();
        lines << Utf8(
            CopyLine(address, status, mac, maker, named ? change->name : std::string(), others));
    }
    if (!lines.isEmpty()) {
        QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    }
}

}  // namespace talvik
