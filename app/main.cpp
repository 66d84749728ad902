// Talvik: finds the live hosts of the local network segment by ARP.

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include "platform/Platform.h"
#include "talvik/Version.h"
#include "ui/DialogUnits.h"
#include "ui/ScannerDlg.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
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
    services.arp = talvik::MakeArpSender();
    services.aboutLibrary = talvik::MakeAboutLibrary();

    talvik::CScannerDlg dialog(std::move(services));
    dialog.exec();
    return 0;
}
