#pragma once
// A main window over scripted ports, shown and active so keys and focus behave as on a desktop.

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QTreeWidget>
#include <memory>

#include "platform/Platform.h"
#include "tests/support/ScriptedArpSender.h"
#include "tests/ui/QtPrinting.h"
#include "tests/ui/ScriptedMessageBox.h"
#include "ui/QtPorts.h"
#include "ui/ScannerDlg.h"

namespace talvik::test {

// Types each character into whichever widget has the focus at that moment.
inline void TypeKeys(const QString& keys) {
    for (const QChar c : keys) {
        QTest::keyClicks(QApplication::focusWidget(), QString(c));
    }
}

// Knows no host names, so rows that are not addresses stay unresolved.
class NoNames final : public INameResolver {
public:
    std::optional<std::uint32_t> Resolve(const std::string&) override { return std::nullopt; }
};

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ScannerServices services;
        services.threads = MakeThreads();
        services.resolver = std::make_shared<NoNames>();
        services.arp = arp;
        services.messageBox = &messages;
        dialog = std::make_unique<CScannerDlg>(std::move(services));
        dialog->show();
        dialog->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    }

    void TearDown() override { dialog.reset(); }

    void AddRows(const QStringList& texts) {
        for (const QString& text : texts) {
            dialog->ResultRows().InsertItem(dialog->resultList()->topLevelItemCount(), text);
        }
    }

    QStringList Rows() const {
        QStringList texts;
        for (int row = 0; row < dialog->resultList()->topLevelItemCount(); ++row) {
            texts << dialog->resultList()->topLevelItem(row)->text(0);
        }
        return texts;
    }

    ScriptedMessageBox messages;
    std::shared_ptr<ScriptedArpSender> arp = std::make_shared<ScriptedArpSender>();
    std::unique_ptr<CScannerDlg> dialog;
};

}  // namespace talvik::test
