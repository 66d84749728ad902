// SPDX-License-Identifier: GPL-3.0-or-later
// The real D-Bus client against a stand-in daemon of the test's own on a private bus.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QTest>
#include <future>

#include "ui/AvahiNames.h"

namespace talvik::test {
namespace {

// Answers as the daemon does: the name from its table, or the daemon's error.
class FakeAvahiServer final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Avahi.Server")
public:
    QMap<QString, QString> names;
    QStringList asked;

public slots:
    void ResolveAddress(int interface, int protocol, const QString& address, int aprotocol,
                        uint flags, const QDBusMessage& message) {
        asked << QStringLiteral("%1 %2 %3 %4 %5")
                     .arg(interface)
                     .arg(protocol)
                     .arg(address)
                     .arg(aprotocol)
                     .arg(flags);
        message.setDelayedReply(true);
        const QString name = names.value(address);
        QDBusConnection(QStringLiteral("fake-avahi"))
            .send(name.isEmpty()
                      ? message.createErrorReply(
                            QStringLiteral("org.freedesktop.Avahi.TimeoutError"), {})
                      : message.createReply({interface, protocol, aprotocol, address, name, 0u}));
    }
};

class AvahiNamesTest : public testing::Test {
protected:
    void SetUp() override {
        bus_.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--session"), QStringLiteral("--nofork"),
                    QStringLiteral("--print-address")});
        ASSERT_TRUE(bus_.waitForReadyRead(10000)) << "dbus-daemon did not start";
        address_ = QString::fromUtf8(bus_.readLine()).trimmed();
        server_.names[QStringLiteral("203.0.113.7")] = QStringLiteral("printer.local");
    }
    void TearDown() override {
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-avahi"));
        bus_.kill();
        bus_.waitForFinished();
    }
    void Serve() {
        auto bus = QDBusConnection::connectToBus(address_, QStringLiteral("fake-avahi"));
        ASSERT_TRUE(
            bus.registerObject(QStringLiteral("/"), &server_, QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(bus.registerService(QStringLiteral("org.freedesktop.Avahi")));
    }
    // On another thread, as the window's lookups run, while this one serves the stand-in.
    static std::optional<std::string> Ask(AvahiNames& names, std::uint32_t address) {
        auto name = std::async(std::launch::async, [&] { return names.NameOf(address, {}); });
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return name.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            5000));
        return name.get();
    }

    QProcess bus_;
    QString address_;
    FakeAvahiServer server_;
};

TEST_F(AvahiNamesTest, NamesAHostTheDaemonKnows) {
    Serve();
    AvahiNames names(address_);
    EXPECT_EQ(Ask(names, 0xCB007107), "printer.local");
    EXPECT_EQ(Ask(names, 0xCB007108), std::nullopt);
    EXPECT_EQ(server_.asked, QStringList({QStringLiteral("-1 0 203.0.113.7 -1 0"),
                                          QStringLiteral("-1 0 203.0.113.8 -1 0")}));
}

// The long timeouts show that a missing daemon or bus is noticed at once, not waited for.
TEST_F(AvahiNamesTest, NothingAtOnceWithoutTheDaemonOrTheBus) {
    AvahiNames noDaemonYet(address_, 60000);
    AvahiNames noBus(QStringLiteral("unix:path=/nonexistent/talvik-test-bus"), 60000);
    EXPECT_EQ(Ask(noDaemonYet, 0xCB007107), std::nullopt);
    EXPECT_EQ(Ask(noBus, 0xCB007107), std::nullopt);
    Serve();
    EXPECT_EQ(Ask(noDaemonYet, 0xCB007107), "printer.local");
}

}  // namespace
}  // namespace talvik::test

#include "avahi_names_test.moc"
