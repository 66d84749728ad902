// SPDX-License-Identifier: GPL-3.0-or-later
// The real D-Bus client against a stand-in daemon on a private bus. The stand-in takes its
// method's signature from the interface file the Avahi daemon itself ships, so a call the real
// daemon would refuse is refused here too.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QXmlStreamReader>
#include <future>

#include "names/AvahiNames.h"

namespace talvik::test {
namespace {

const QString kInterfaceFile =
    QStringLiteral("/usr/share/dbus-1/interfaces/org.freedesktop.Avahi.Server.xml");
const QString kServer = QStringLiteral("org.freedesktop.Avahi.Server");

// The in and out signatures of one method of the shipped interface file; empty when absent.
struct Signature {
    QString in, out;
};
Signature ShippedSignature(const QString& method) {
    QFile file(kInterfaceFile);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QXmlStreamReader xml(&file);
    QString interface, current;
    Signature found;
    while (xml.readNextStartElement() || !xml.atEnd()) {
        if (xml.isEndElement() && xml.name() == QLatin1String("method")) {
            if (current == method && interface == kServer) {
                return found;
            }
            current.clear();
            found = {};
        }
        if (!xml.isStartElement()) {
            xml.readNext();
            continue;
        }
        const auto attributes = xml.attributes();
        if (xml.name() == QLatin1String("interface")) {
            interface = attributes.value(QLatin1String("name")).toString();
        } else if (xml.name() == QLatin1String("method")) {
            current = attributes.value(QLatin1String("name")).toString();
        } else if (xml.name() == QLatin1String("arg") && !current.isEmpty()) {
            const QString type = attributes.value(QLatin1String("type")).toString();
            (attributes.value(QLatin1String("direction")) == QLatin1String("out") ? found.out
                                                                                  : found.in) +=
                type;
        }
    }
    return {};
}

// Answers ResolveAddress as the daemon does: with the shipped out-arguments, the daemon's
// timeout error for an unknown address, and an unknown-method error for any other signature.
class ShippedAvahiServer final : public QDBusVirtualObject {
public:
    explicit ShippedAvahiServer(Signature signature) : signature_(std::move(signature)) {}

    QMap<QString, QString> names;
    QStringList asked;  // the signature and arguments of every call
    QStringList repliedWith;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        QStringList shown{message.signature()};
        for (const QVariant& value : message.arguments()) {
            shown << value.toString();
        }
        asked << shown.join(QLatin1Char(' '));
        if (message.interface() != kServer || message.member() != QLatin1String("ResolveAddress") ||
            message.signature() != signature_.in) {
            connection.send(message.createErrorReply(
                QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), message.member()));
            return true;
        }
        const QList<QVariant> in = message.arguments();
        const QString address = in.at(2).toString();
        const QString name = names.value(address);
        if (name.isEmpty()) {
            connection.send(message.createErrorReply(
                QStringLiteral("org.freedesktop.Avahi.TimeoutError"), QStringLiteral("Timeout")));
            return true;
        }
        const QList<QVariant> out{in.at(0), in.at(1), 0, address, name, 0u};
        QString signature;
        for (const QVariant& value : out) {
            signature += QString::fromLatin1(QDBusMetaType::typeToSignature(value.metaType()));
        }
        repliedWith << signature;
        connection.send(message.createReply(out));
        return true;
    }

private:
    Signature signature_;
};

class AvahiNamesTest : public testing::Test {
protected:
    void SetUp() override {
        signature_ = ShippedSignature(QStringLiteral("ResolveAddress"));
        if (signature_.in.isEmpty()) {
            if (qEnvironmentVariable("CI") == QLatin1String("true")) {
                FAIL() << "no " << kInterfaceFile.toStdString() << " (avahi-daemon)";
            }
            GTEST_SKIP() << "no " << kInterfaceFile.toStdString() << " (avahi-daemon)";
        }
        server_ = std::make_unique<ShippedAvahiServer>(signature_);
        bus_.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--session"), QStringLiteral("--nofork"),
                    QStringLiteral("--print-address")});
        ASSERT_TRUE(bus_.waitForReadyRead(10000)) << "dbus-daemon did not start";
        address_ = QString::fromUtf8(bus_.readLine()).trimmed();
        server_->names[QStringLiteral("203.0.113.7")] = QStringLiteral("printer.local");
    }
    void TearDown() override {
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-avahi"));
        bus_.kill();
        bus_.waitForFinished();
    }
    void Serve() {
        auto bus = QDBusConnection::connectToBus(address_, QStringLiteral("fake-avahi"));
        ASSERT_TRUE(bus.registerVirtualObject(QStringLiteral("/"), server_.get()));
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

    Signature signature_;
    std::unique_ptr<ShippedAvahiServer> server_;
    QProcess bus_;
    QString address_;
};

TEST_F(AvahiNamesTest, NamesAHostTheDaemonKnows) {
    ASSERT_EQ(signature_.in, QStringLiteral("iisu"));
    Serve();
    AvahiNames names(address_);
    EXPECT_EQ(Ask(names, 0xCB007107), "printer.local");
    EXPECT_EQ(Ask(names, 0xCB007108), std::nullopt);
    // Any interface, over IPv4, no flags.
    EXPECT_EQ(server_->asked, QStringList({QStringLiteral("iisu -1 0 203.0.113.7 0"),
                                           QStringLiteral("iisu -1 0 203.0.113.8 0")}));
    EXPECT_EQ(server_->repliedWith, QStringList{signature_.out});
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

// Against the real daemons of avahi-lab.sh, which runs this in the lab's scanner namespace and
// names the private bus the scanner's daemon is on.
TEST(AvahiLab, NamesTheHostThatAnnouncesItself) {
    const QString bus = qEnvironmentVariable("TALVIK_AVAHI_LAB_BUS");
    if (bus.isEmpty()) {
        GTEST_SKIP() << "run by avahi-lab.sh";
    }
    AvahiNames avahi(bus, 5000);
    FirstHostName chain(
        {std::make_shared<ReverseLookupNames>(), std::make_shared<AvahiNames>(bus, 5000)});
    // 203.0.113.50 is on no hosts file, so only the multicast name can name it.
    EXPECT_EQ(ReverseLookupNames().NameOf(0xCB007132, {}), std::nullopt);
    EXPECT_EQ(avahi.NameOf(0xCB007132, {}), "labprinter.local");
    EXPECT_EQ(chain.NameOf(0xCB007132, {}), "labprinter.local");
    // Nobody answers for .51: the daemon gives up within its own timeout.
    EXPECT_EQ(avahi.NameOf(0xCB007133, {}), std::nullopt);
}

}  // namespace
}  // namespace talvik::test
