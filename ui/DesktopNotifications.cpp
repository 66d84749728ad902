// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/DesktopNotifications.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QStringList>
#include <QVariantMap>
#include <algorithm>

#include "scan/Address.h"

namespace talvik {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
// A watch's news stays until the user has seen it, where the service allows.
constexpr int kExpireNever = 0;

QString DeviceText(const store::WatchEvent& event, const QString& maker) {
    QString text = QString::fromStdString(FormatDottedDecimal(event.address));
    if (!event.name.empty()) {
        text += QStringLiteral("（%1）").arg(QString::fromStdString(event.name));
    }
    text += QStringLiteral("\nMAC 地址：") + QString::fromStdString(event.mac);
    if (!maker.isEmpty()) {
        text += QStringLiteral("  ") + maker;
    }
    return text;
}

}  // namespace

DesktopNotifications::DesktopNotifications(QDBusConnection bus) : bus_(std::move(bus)) {}

bool DesktopNotifications::Available() {
    if (!available_) {
        QDBusConnectionInterface* bus = bus_.isConnected() ? bus_.interface() : nullptr;
        available_ = bus != nullptr && (bus->isServiceRegistered(kService).value() ||
                                        bus->activatableServiceNames().value().contains(kService));
    }
    return *available_;
}

QDBusPendingReply<uint> DesktopNotifications::Send(const QString& summary, const QString& body,
                                                   uint replaces) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    call << QStringLiteral("Talvik") << replaces << QStringLiteral("network-wired") << summary
         << body << QStringList() << QVariantMap() << kExpireNever;
    return bus_.asyncCall(call);
}

void DesktopNotifications::Update(const QString& summary, const QString& body) {
    auto* watcher = new QDBusPendingCallWatcher(Send(summary, body, *updatedId_));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished,
                     [id = updatedId_](QDBusPendingCallWatcher* done) {
                         const QDBusPendingReply<uint> reply = *done;
                         if (!reply.isError()) {
                             *id = reply.value();
                         }
                         done->deleteLater();
                     });
}

bool NotificationPace::Take(Allowance& allowance, double burst, store::Millis every,
                            store::Millis now) {
    if (now > allowance.at) {
        allowance.left = std::min(burst, allowance.left + static_cast<double>(now - allowance.at) /
                                                              static_cast<double>(every));
    }
    allowance.at = std::max(allowance.at, now);
    if (allowance.left < 1) {
        return false;
    }
    allowance.left -= 1;
    return true;
}

bool NotificationPace::Allow(store::WatchEventKind kind, store::Millis now) {
    const bool shown = kind == store::WatchEventKind::GatewayChanged
                           ? Take(gateway_, kGatewayBurst, kGatewayEvery, now)
                           : Take(devices_, kDeviceBurst, kDeviceEvery, now);
    if (!shown) {
        ++held_;
        told_ = false;
    }
    return shown;
}

std::optional<int> NotificationPace::TakeHeld() {
    if (told_) {
        return std::nullopt;
    }
    told_ = true;
    return held_;
}

std::optional<NotificationText> NotificationOf(const store::WatchEvent& event,
                                               const QString& maker) {
    const QString device = DeviceText(event, maker);
    const QString before =
        QStringLiteral("\n原 MAC 地址：") + QString::fromStdString(event.previousMac);
    switch (event.kind) {
        case store::WatchEventKind::New:
            return NotificationText{QStringLiteral("发现新设备"), device};
        case store::WatchEventKind::MacChanged:
            return NotificationText{QStringLiteral("设备 MAC 地址已变"), device + before};
        case store::WatchEventKind::GatewayChanged:
            return NotificationText{QStringLiteral("网关 MAC 地址已变，可能遭到 ARP 欺骗"),
                                    device + before};
        default:
            return std::nullopt;
    }
}

}  // namespace talvik
