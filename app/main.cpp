// SPDX-License-Identifier: GPL-3.0-or-later
// Talvik: finds the live hosts of the local network segment by ARP.

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "names/HostNameChain.h"
#include "netlink/NetworkIdentity.h"
#include "platform/Platform.h"
#include "store/DeviceStore.h"
#include "talvik/Version.h"
#include "ui/AboutDlg.h"
#include "ui/DesktopNotifications.h"
#include "ui/DialogUnits.h"
#include "ui/ScannerDlg.h"

namespace {

// Qt's own dialogs (the save dialog's dates and sizes) format with the system locale, which Qt
// reads from the environment once; LC_ALL would override the categories set here, so its value
// is kept for the character set only.
void SpeakChineseInQtsDialogs() {
    const QByteArray all = qgetenv("LC_ALL");
    if (!all.isEmpty()) {
        if (qEnvironmentVariableIsEmpty("LC_CTYPE")) {
            qputenv("LC_CTYPE", all);
        }
        qunsetenv("LC_ALL");
    }
    for (const char* category : {"LC_NUMERIC", "LC_TIME", "LC_MONETARY", "LC_MEASUREMENT"}) {
        qputenv(category, "zh_CN.UTF-8");
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    SpeakChineseInQtsDialogs();
    QApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    QApplication::setApplicationName(QString::fromLatin1(talvik::kProductName));
    QApplication::setApplicationVersion(QString::fromLatin1(talvik::kVersion));
    QApplication::setDesktopFileName(QStringLiteral("io.github.talvik.Talvik"));
    QApplication::setFont(talvik::DialogFont());
    QApplication::setWindowIcon(talvik::CScannerDlg::MainIcon());

    // The window speaks Chinese whatever the desktop's language, and so do Qt's own dialogs.
    QTranslator qtTranslator;
    if (qtTranslator.load(QStringLiteral("qtbase_zh_CN"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(&qtTranslator);
    }

    talvik::ScannerServices services;
    services.threads = talvik::MakeThreads();
    services.resolver = talvik::MakeNameResolver();
    talvik::ArpSenderKind chosen = talvik::ArpSenderKind::Automatic;
    std::uint32_t helperWhy = talvik::kNoError;
    std::string helperTried;
    services.arp = talvik::MakeArpSender({}, &chosen, &helperWhy, &helperTried);
    services.senderNotice = talvik::FallbackNotice(chosen, helperWhy, helperTried);
    talvik::SetAboutArpWay(talvik::ArpWayText(chosen));
    services.aboutLibrary = talvik::MakeAboutLibrary();
    services.hostNames = talvik::MakeHostNames();
    services.deviceStore = talvik::store::LocateStore();
    services.networkOf = [](std::span<const talvik::store::ScanRow> rows)
        -> std::optional<talvik::store::NetworkId> {
        const auto identity =
            rows.empty() ? std::nullopt : talvik::IdentifyNetwork(rows.front().address);
        if (!identity) {
            return std::nullopt;
        }
        return talvik::store::MakeNetworkId(identity->address, identity->prefixLength,
                                            identity->gateway, identity->gatewayMac, rows);
    };

    services.makeWires = [](std::string& error) { return talvik::MakeArpWires(error); };
    services.makeNotifier = [] { return std::make_shared<talvik::DesktopNotifications>(); };

    talvik::CScannerDlg dialog(std::move(services));
    dialog.exec();
    return 0;
}
