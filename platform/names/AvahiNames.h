// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The name a host announces on the segment by multicast DNS, asked from the desktop's Avahi
// daemon over D-Bus. Qt's D-Bus client carries the talk, so this sits in a library of its own
// (talvik_names, Qt Core and D-Bus only) that the window and a command-line program share.

#include <QDBusConnection>
#include <QString>
#include <mutex>

#include "names/HostNames.h"

namespace talvik {

class AvahiNames final : public IHostNames {
public:
    // An empty bus address means the system bus. Needs a QCoreApplication to exist.
    explicit AvahiNames(QString busAddress = {}, int timeoutMs = 2000);
    ~AvahiNames() override;
    AvahiNames(const AvahiNames&) = delete;
    AvahiNames& operator=(const AvahiNames&) = delete;

    // Nothing, quickly, when the bus or the daemon is not there; the daemon is never started
    // for us.
    std::optional<std::string> NameOf(std::uint32_t address, std::stop_token stop) override;

private:
    bool Connect();

    const QString busAddress_;
    const QString connectionName_;
    const int timeoutMs_;
    std::mutex mutex_;
};

}  // namespace talvik
