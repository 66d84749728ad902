// SPDX-License-Identifier: GPL-3.0-or-later
#include "names/AvahiNames.h"

#include <QDBusMessage>

#include "scan/Address.h"

namespace talvik {

namespace {

constexpr int kUnspecified = -1;  // any interface, any address family
constexpr int kIpv4 = 0;

}  // namespace

AvahiNames::AvahiNames(QString busAddress, int timeoutMs)
    : busAddress_(std::move(busAddress)),
      connectionName_(QStringLiteral("talvik-avahi-%1").arg(reinterpret_cast<quintptr>(this))),
      timeoutMs_(timeoutMs) {}

AvahiNames::~AvahiNames() {
    QDBusConnection::disconnectFromBus(connectionName_);
}

bool AvahiNames::Connect() {
    const std::lock_guard lock(mutex_);
    if (QDBusConnection(connectionName_).isConnected()) {
        return true;
    }
    // A bus that went away (or was never there) may be back; a failed connection keeps its
    // name until it is let go.
    QDBusConnection::disconnectFromBus(connectionName_);
    const QDBusConnection bus =
        busAddress_.isEmpty()
            ? QDBusConnection::connectToBus(QDBusConnection::SystemBus, connectionName_)
            : QDBusConnection::connectToBus(busAddress_, connectionName_);
    return bus.isConnected();
}

std::optional<std::string> AvahiNames::NameOf(std::uint32_t address, std::stop_token stop) {
    if (stop.stop_requested() || !Connect()) {
        return std::nullopt;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Avahi"), QStringLiteral("/"),
        QStringLiteral("org.freedesktop.Avahi.Server"), QStringLiteral("ResolveAddress"));
    // The daemon's signature is (interface, protocol, address, flags); a call with any other is
    // refused as an unknown method.
    call << kUnspecified << kIpv4 << QString::fromStdString(FormatDottedDecimal(address)) << 0u;
    // A daemon that is not running stays so: the user did not ask for it.
    call.setAutoStartService(false);
    const QDBusMessage reply =
        QDBusConnection(connectionName_).call(call, QDBus::Block, timeoutMs_);
    const QList<QVariant> values = reply.arguments();
    if (reply.type() != QDBusMessage::ReplyMessage || values.size() < 5) {
        return std::nullopt;
    }
    const QString name = values.at(4).toString();
    if (name.isEmpty()) {
        return std::nullopt;
    }
    return name.toStdString();
}

}  // namespace talvik
