// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Desktop notifications through the freedesktop notification service on the session bus, and
// the words the watch uses for the events worth one.

#include <QDBusConnection>
#include <QDBusPendingReply>
#include <QString>
#include <optional>

#include "store/WatchEvents.h"

namespace talvik {

class INotifier {
public:
    virtual ~INotifier() = default;
    // Whether a notification service runs (or the bus would start one).
    virtual bool Available() = 0;
    virtual void Notify(const QString& summary, const QString& body) = 0;
};

class DesktopNotifications final : public INotifier {
public:
    explicit DesktopNotifications(QDBusConnection bus = QDBusConnection::sessionBus());
    // Asks the bus once; later calls give the first answer.
    bool Available() override;
    void Notify(const QString& summary, const QString& body) override { Send(summary, body); }
    // The call as sent: its reply is the notification's id.
    QDBusPendingReply<uint> Send(const QString& summary, const QString& body);

private:
    QDBusConnection bus_;
    std::optional<bool> available_;
};

struct NotificationText {
    QString summary;
    QString body;
};
// A new device, a changed MAC and a changed gateway are told on the desktop; other events only
// in the window. `maker` may be empty.
std::optional<NotificationText> NotificationOf(const store::WatchEvent& event,
                                               const QString& maker);

}  // namespace talvik
