// SPDX-License-Identifier: GPL-3.0-or-later
// The main window keeping watch: it listens on the list's network between scans, rescans the
// list at the chosen interval, marks the rows the events are about and tells the desktop of a
// new device, a changed MAC and a changed gateway.

#include <QAction>
#include <QDateTime>
#include <QMenu>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <utility>

#include "scan/Address.h"
#include "scan/CommandIds.h"
#include "scan/ScanEngine.h"
#include "store/DeviceStore.h"
#include "ui/DesktopNotifications.h"
#include "ui/DeviceMarks.h"
#include "ui/DeviceText.h"
#include "ui/ScannerCommands.h"
#include "ui/ScannerDlg.h"
#include "ui/WireListener.h"

namespace talvik {

namespace {

constexpr int kMinute = 60 * 1000;
constexpr int kHeldAfterMs = 3000;
constexpr int kWriteEveryMs = 5000;

QString Utf8(const std::string& text) {
    return QString::fromStdString(text);
}

// One line for an event, as the row's tooltip and the progress text say it.
QString EventText(const store::WatchEvent& event) {
    const QString mac = Utf8(event.mac);
    const QString before = Utf8(event.previousMac);
    switch (event.kind) {
        case store::WatchEventKind::New:
            return QStringLiteral("发现新设备（MAC 地址 %1）").arg(mac);
        case store::WatchEventKind::Back:
            return QStringLiteral("设备重新上线（MAC 地址 %1）").arg(mac);
        case store::WatchEventKind::Gone:
            return QStringLiteral("设备已离线（MAC 地址 %1）").arg(mac);
        case store::WatchEventKind::MacChanged:
            return QStringLiteral("MAC 地址由 %1 变为 %2").arg(before, mac);
        case store::WatchEventKind::Conflict:
            return QStringLiteral("IP 地址冲突：%1 与 %2 同时使用此地址").arg(before, mac);
        case store::WatchEventKind::GatewayChanged:
            return QStringLiteral("网关 MAC 地址由 %1 变为 %2，可能遭到 ARP 欺骗").arg(before, mac);
    }
    return {};
}

// The same in a few words, for the progress bar's one line; the row's tooltip has the MACs.
QString ShortEventText(store::WatchEventKind kind) {
    switch (kind) {
        case store::WatchEventKind::New:
            return QStringLiteral("发现新设备");
        case store::WatchEventKind::Back:
            return QStringLiteral("设备重新上线");
        case store::WatchEventKind::Gone:
            return QStringLiteral("设备已离线");
        case store::WatchEventKind::MacChanged:
            return QStringLiteral("MAC 地址已变");
        case store::WatchEventKind::Conflict:
            return QStringLiteral("IP 地址冲突");
        case store::WatchEventKind::GatewayChanged:
            return QStringLiteral("网关 MAC 地址已变，可能遭到 ARP 欺骗");
    }
    return {};
}

}  // namespace

void CScannerDlg::CreateWatch() {
    watchTimer_ = new QTimer(this);
    connect(watchTimer_, &QTimer::timeout, this, &CScannerDlg::OnWatchTick);
    watchWriteTimer_ = new QTimer(this);
    connect(watchWriteTimer_, &QTimer::timeout, this, &CScannerDlg::WriteWatch);
    heldTimer_ = new QTimer(this);
    heldTimer_->setSingleShot(true);
    connect(heldTimer_, &QTimer::timeout, this, [this] {
        const auto held = notificationPace_ ? notificationPace_->TakeHeld() : std::nullopt;
        if (held && services_.notifier) {
            services_.notifier->Update(
                QStringLiteral("监视到的变化较多"),
                QStringLiteral("另有 %1 项变化未逐一通知，详情请查看 Talvik 窗口。").arg(*held));
        }
    });
    if (QAction* watch = menuAction(ID_WATCH_NETWORK)) {
        watch->setCheckable(true);
        watch->setChecked(false);
    }
}

std::uint32_t CScannerDlg::RowAddress(int row) const {
    const RowFacts* facts = resultRows_->Facts(row);
    if (facts != nullptr && facts->address != 0) {
        return facts->address;
    }
    return ParseDottedDecimal(resultRows_->GetItemText(row, 0)).value_or(0);
}

void CScannerDlg::OnWatchNetwork() {
    QAction* item = menuAction(ID_WATCH_NETWORK);
    if (IsWatching()) {
        StopWatch();
        item->setChecked(false);
        return;
    }
    item->setChecked(false);
    std::uint32_t target = 0;
    for (int row = 0; row < resultRows_->GetItemCount() && target == 0; ++row) {
        target = RowAddress(row);
    }
    if (target == 0) {
        Message("请先在列表中添加要监视的 IP 地址。", kMbIconInformation);
        return;
    }
    const auto identity = services_.identify ? services_.identify(target) : std::nullopt;
    if (!identity) {
        Message("列表中的地址不在本机直接相连的网络上，无法监视。", kMbIconInformation);
        return;
    }
    const store::NetworkId network =
        store::MakeNetworkId(identity->address, identity->prefixLength, identity->gatewayMac);
    watchState_ = std::make_unique<store::WatchState>(
        store::WatchNetworkSetup{identity->address, identity->prefixLength,
                                 identity->gateway.value_or(0), network.gatewayMac});
    watchEvents_.clear();
    notificationPace_ = std::make_unique<NotificationPace>();
    watchNetwork_ = network;
    // With memory on the store says what is known; else the watch's first scan does.
    if (memory_->IsOn()) {
        if (const auto current = memory_->CurrentNetwork(target)) {
            watchNetwork_ = *current;
            const store::NetworkDevices known = memory_->Devices(*current);
            if (known.status.Ok() && !known.devices.empty()) {
                watchState_->Baseline(known.devices, WallMillis());
            }
        }
    }

    // Finding out how to listen may start the helper: not before the watch is wanted.
    if (!services_.wires && services_.makeWires) {
        services_.wires = services_.makeWires(services_.wiresProblem);
        services_.makeWires = nullptr;
    }
    std::string why = services_.wiresProblem;
    std::unique_ptr<IArpWire> wire;
    if (services_.wires) {
        wire = services_.wires->Open(identity->interfaceName, why);
    }
    if (wire) {
        listener_ = std::make_unique<WireListener>(
            *services_.wires, std::move(wire), poster_,
            [this](const WireListener::Heard& heard) {
                if (!watchState_) {
                    return;
                }
                store::WatchOutcome all;
                for (const store::Claim& claim : heard.claims) {
                    if (!watchState_->Holds(claim)) {
                        continue;
                    }
                    if (memory_->IsOn()) {
                        auto& when = watchHeard_[{claim.address, claim.mac}];
                        when = std::max(when, heard.when / 1000);
                    }
                    store::WatchOutcome one = watchState_->Heard(claim, heard.when);
                    all.events.insert(all.events.end(), one.events.begin(), one.events.end());
                    all.notes.insert(all.notes.end(), one.notes.begin(), one.notes.end());
                }
                if (heard.lost > 0) {
                    SetWatchNote(QStringLiteral("监视：网络上的 ARP 帧过多，有 %1 个未能处理")
                                     .arg(heard.lost));
                }
                OnWatchOutcome(all);
            },
            [this](const std::string& note) { SetWatchNote(Utf8(note)); });
    } else if (!noWireTold_) {
        noWireTold_ = true;
        // The wire's own words are a whole sentence.
        Message(((why.empty() ? std::string("无法监听网络。") : why) + "监视时只按间隔重新扫描。")
                    .c_str(),
                kMbIconInformation);
    }
    if (!services_.notifier && services_.makeNotifier) {
        services_.notifier = services_.makeNotifier();
        services_.makeNotifier = nullptr;
    }
    const bool notifying = services_.notifier && services_.notifier->Available();
    if (!notifying && !noNotifierTold_) {
        noNotifierTold_ = true;
        Message("未找到桌面通知服务，监视到的变化只在窗口中显示。", kMbIconInformation);
    }
    item->setChecked(true);
    watchTimer_->start(watchMinutes_ * kMinute);
    watchWriteTimer_->start(kWriteEveryMs);
    SetWatchNote(listener_ ? QStringLiteral("正在监视 %1").arg(Utf8(identity->interfaceName))
                           : QStringLiteral("正在监视（只按间隔重新扫描）"));
    if (!watchState_->HasBaseline() && !engine_->IsScanRunning()) {
        OnCommand(ID_SCAN_ALL);
    }
}

void CScannerDlg::StopWatch() {
    listener_.reset();
    WriteWatch();
    watchWriteTimer_->stop();
    watchState_.reset();
    watchTimer_->stop();
    watchEvents_.clear();
    SetWatchNote({});
    UpdateMarks();
}

void CScannerDlg::OnWatchInterval(int minutes) {
    watchMinutes_ = minutes;
    if (QAction* intervals = menuAction(ID_WATCH_INTERVAL)) {
        for (QAction* choice : intervals->menu()->actions()) {
            choice->setChecked(choice->data().toInt() == minutes);
        }
    }
    if (IsWatching()) {
        watchTimer_->start(minutes * kMinute);
    }
}

void CScannerDlg::OnWatchTick() {
    // A scan the user started stands for this one.
    if (IsWatching() && !engine_->IsScanRunning()) {
        OnCommand(ID_SCAN_ALL);
    }
}

void CScannerDlg::OnWatchScanEnded() {
    if (!watchState_) {
        return;
    }
    std::vector<store::Claim> claims;
    for (int row = 0; row < resultRows_->GetItemCount(); ++row) {
        const RowFacts* facts = resultRows_->Facts(row);
        if (facts == nullptr || facts->address == 0) {
            continue;
        }
        if (facts->outcome == RowOutcome::Silent ||
            (facts->outcome == RowOutcome::Answered && facts->macs.isEmpty())) {
            claims.push_back({facts->address, {}, {}});
        } else if (facts->outcome == RowOutcome::Answered) {
            for (const QString& mac : facts->macs) {
                const auto name = hostNames_.find(facts->address);
                claims.push_back({facts->address, mac.toStdString(),
                                  name != hostNames_.end() ? name->second : std::string()});
            }
        }
    }
    if (!watchState_->HasBaseline()) {
        watchState_->Baseline(claims, WallMillis());
        return;
    }
    OnWatchOutcome(watchState_->Scanned(claims, WallMillis()));
    // A scan's answers are newer than what was heard: a row that went silent drops its news.
    for (const store::Claim& claim : claims) {
        if (claim.mac.empty()) {
            watchEvents_.erase(claim.address);
        }
    }
    UpdateMarks();
}

void CScannerDlg::OnWatchOutcome(const store::WatchOutcome& outcome) {
    for (const store::WatchNoteAt& note : outcome.notes) {
        if (note.note == store::WatchNote::Bound && !boundTold_) {
            boundTold_ = true;
            SetWatchNote(QStringLiteral("监视：设备数量超出上限，最久未出现的设备已被忽略"));
        }
    }
    if (outcome.events.empty()) {
        return;
    }
    const MacRegistry* registry = vendors_ ? vendors_->Loaded() : nullptr;
    const bool notifying = services_.notifier && services_.notifier->Available();
    for (const store::WatchEvent& event : outcome.events) {
        watchEvents_[event.address] = event;
        if (memory_->IsOn() &&
            watchSaid_.size() < static_cast<std::size_t>(store::DeviceStore::kKeepEvents)) {
            watchSaid_.push_back(store::DeviceStore::KeptEvent::Of(event));
        }
        SetWatchNote(
            QStringLiteral("监视：%1 %2")
                .arg(Utf8(FormatDottedDecimal(event.address)), ShortEventText(event.kind)));
        if (!notifying) {
            continue;
        }
        const auto text = NotificationOf(event, Utf8(MakerText(event.mac, registry)));
        if (!text) {
            continue;
        }
        if (notificationPace_->Allow(event.kind, event.when)) {
            services_.notifier->Notify(text->summary, text->body);
        } else if (!heldTimer_->isActive()) {
            heldTimer_->start(kHeldAfterMs);
        }
    }
    UpdateMarks();
}

void CScannerDlg::WriteWatch() {
    if (!watchNetwork_ || !memory_->IsOn() || (watchHeard_.empty() && watchSaid_.empty())) {
        watchHeard_.clear();
        watchSaid_.clear();
        return;
    }
    std::vector<store::DeviceStore::HeardClaim> heard;
    heard.reserve(watchHeard_.size());
    for (const auto& [claim, when] : watchHeard_) {
        heard.push_back({claim.first, claim.second, when});
    }
    watchHeard_.clear();
    memory_->RecordWatch(*watchNetwork_, std::move(heard), std::exchange(watchSaid_, {}),
                         [this](const store::StoreStatus& status) {
                             // Said once; the watch goes on in the window.
                             if (!status.Ok() && !watchStoreTold_) {
                                 watchStoreTold_ = true;
                                 SetWatchNote(QStringLiteral("监视：无法写入设备记录。") +
                                              Utf8(store::DescribeProblem(status)));
                             }
                         });
}

void CScannerDlg::SetWatchNote(const QString& note) {
    watchNote_ = note;
    UpdateProgressText();
}

QIcon CScannerDlg::WatchMark(const RowFacts* facts, int row) const {
    const std::uint32_t address =
        facts != nullptr && facts->address != 0 ? facts->address : RowAddress(row);
    const auto found = watchEvents_.find(address);
    if (found == watchEvents_.end()) {
        return {};
    }
    switch (found->second.kind) {
        case store::WatchEventKind::New:
            return NewDeviceMark();
        case store::WatchEventKind::MacChanged:
        case store::WatchEventKind::Conflict:
        case store::WatchEventKind::GatewayChanged:
            return ChangedMacMark();
        default:
            return {};
    }
}

void CScannerDlg::AddWatchLines(QStringList& lines, const RowFacts& facts) const {
    const auto found = watchEvents_.find(facts.address);
    if (found == watchEvents_.end()) {
        return;
    }
    const QString when =
        QDateTime::fromMSecsSinceEpoch(found->second.when).toString(QStringLiteral("HH:mm:ss"));
    lines << QStringLiteral("监视（%1）：%2").arg(when, EventText(found->second));
}

}  // namespace talvik
