// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Desktop notifications through the freedesktop notification service on the session bus, and
// the words the watch uses for the events worth one.

#include <QDBusConnection>
#include <QDBusPendingReply>
#include <QString>
#include <memory>
#include <optional>

#include "store/WatchEvents.h"

namespace talvik {

class INotifier {
public:
    virtual ~INotifier() = default;
    // Whether a notification service runs (or the bus would start one).
    virtual bool Available() = 0;
    virtual void Notify(const QString& summary, const QString& body) = 0;
    // The one notification that counts what was held back: each call replaces the last.
    virtual void Update(const QString& summary, const QString& body) = 0;
};

class DesktopNotifications final : public INotifier {
public:
    explicit DesktopNotifications(QDBusConnection bus = QDBusConnection::sessionBus());
    // Asks the bus once; later calls give the first answer.
    bool Available() override;
    void Notify(const QString& summary, const QString& body) override { Send(summary, body); }
    void Update(const QString& summary, const QString& body) override;
    // The call as sent: its reply is the notification's id (`replaces`' own where it replaces).
    QDBusPendingReply<uint> Send(const QString& summary, const QString& body, uint replaces = 0);
    // The id the service gave the updated notification; 0 until it has answered.
    uint UpdatedId() const { return *updatedId_; }

private:
    QDBusConnection bus_;
    std::optional<bool> available_;
    // Shared with the reply's handler, which may run after this is gone.
    std::shared_ptr<uint> updatedId_ = std::make_shared<uint>(0);
};

// A forged flood must not bury the desktop: a few notifications at once, then one now and then,
// the rest held back and counted. A changed gateway has an allowance of its own, so a flood of
// new devices never hides it.
class NotificationPace {
public:
    // Whether the event's notification is shown now; if not it is counted as held back.
    bool Allow(store::WatchEventKind kind, store::Millis now);
    // All held back so far, once each time more were.
    std::optional<int> TakeHeld();

private:
    struct Allowance {
        double left;
        store::Millis at;
    };
    static bool Take(Allowance& allowance, double burst, store::Millis every, store::Millis now);
    Allowance devices_{kDeviceBurst, 0};
    Allowance gateway_{kGatewayBurst, 0};
    int held_ = 0;
    bool told_ = true;
    static constexpr double kDeviceBurst = 5;
    static constexpr store::Millis kDeviceEvery = 10 * 1000;
    static constexpr double kGatewayBurst = 2;
    static constexpr store::Millis kGatewayEvery = 60 * 1000;
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
