// SPDX-License-Identifier: GPL-3.0-or-later
// The window against the real Avahi daemons of tests/names/avahi-lab.sh, which runs this in the
// lab's scanner namespace (as root, so the packet socket asks) and names the daemon's bus.
#include "arp/ArpSenders.h"
#include "names/AvahiNames.h"
#include "tests/ui/DialogFixture.h"

namespace talvik::test {
namespace {

TEST(AvahiLab, TheTooltipNamesTheHostThatAnnouncesItself) {
    const QString bus = qEnvironmentVariable("TALVIK_AVAHI_LAB_BUS");
    if (bus.isEmpty()) {
        GTEST_SKIP() << "run by tests/names/avahi-lab.sh";
    }
    ScriptedMessageBox messages;
    ScriptedSaveFileDialog files;
    ScannerServices services;
    services.threads = MakeThreads();
    services.resolver = MakeNameResolver();
    ArpSenderOptions packet;
    packet.kind = ArpSenderKind::Packet;
    services.arp = MakeArpSender(packet);
    ASSERT_TRUE(services.arp) << "the packet socket needs root";
    services.messageBox = &messages;
    services.saveFileDialog = &files;
    services.hostNames = std::make_shared<FirstHostName>(std::vector<std::shared_ptr<IHostNames>>{
        std::make_shared<ReverseLookupNames>(), std::make_shared<AvahiNames>(bus, 5000)});
    CScannerDlg dialog(std::move(services));
    dialog.show();
    dialog.ResultRows().InsertItem(0, QStringLiteral("203.0.113.50"));
    dialog.OnScanAll();
    const auto tip = [&] {
        return dialog.resultList()->topLevelItem(0)->data(2, Qt::ToolTipRole).toString();
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return tip().contains("主机名"); }, 20000))
        << tip().toStdString();
    EXPECT_TRUE(tip().startsWith("在线\n")) << tip().toStdString();
    EXPECT_TRUE(tip().endsWith("\n主机名：labprinter.local")) << tip().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.Engine().IsScanRunning(); }, 20000));
}

}  // namespace
}  // namespace talvik::test
