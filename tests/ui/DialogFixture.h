// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Shared helpers of the window tests: scripted message boxes and save dialog, a main window over
// scripted ports shown and active so keys and focus behave as on a desktop, and modal dialogs
// worked from inside their own loop.

#include <gtest/gtest.h>

#include <QtTest>
#include <QtWidgets>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>

#include "names/HostNames.h"
#include "platform/Platform.h"
#include "scan/CommandIds.h"
#include "scan/ScanEngine.h"
#include "tests/support/ScriptedArpSender.h"
#include "ui/DesktopNotifications.h"
#include "ui/IpAddressEdit.h"
#include "ui/QtPorts.h"
#include "ui/ReportSave.h"
#include "ui/ScannerCommands.h"
#include "ui/ScannerDlg.h"

// Qt strings are containers, so without this failures would print them char by char.
inline void PrintTo(const QString& text, std::ostream* stream) {
    *stream << '"' << text.toStdString() << '"';
}

namespace talvik::test {

struct ShownMessage {
    std::string text;
    std::string caption;
    unsigned type = 0;
    bool operator==(const ShownMessage&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const ShownMessage& m) {
        return out << m.text << " | " << m.caption << " | " << m.type;
    }
};

// Yes/no questions get the scripted answers in order, then No.
struct ScriptedMessageBox final : IMessageBox {
    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override {
        shown.push_back({text, caption, type});
        if (whileShown) {
            whileShown(shown.back());
        }
        return (type & 0x0Fu) != kMbYesNo ? kIdOk : answers.empty() ? kIdNo : answers.takeFirst();
    }
    QList<int> answers;
    std::vector<ShownMessage> shown;
    // Runs while a box is up, as the user reads it; the window's events go on meanwhile.
    std::function<void(const ShownMessage&)> whileShown;
};

// Gives the scripted names in order; once they run out the user cancels.
struct ScriptedSaveFileDialog final : ISaveFileDialog {
    std::optional<QString> GetSaveFileName(QWidget* owner) override {
        owners.push_back(owner);
        return answers.empty() ? std::nullopt : std::optional(answers.takeFirst());
    }
    QStringList answers;
    std::vector<QWidget*> owners;
};

// The same for the export's file name.
struct ScriptedExportFileDialog final : IExportFileDialog {
    std::optional<QString> GetExportFileName(QWidget* owner) override {
        owners.push_back(owner);
        return answers.empty() ? std::nullopt : std::optional(answers.takeFirst());
    }
    QStringList answers;
    std::vector<QWidget*> owners;
};

// Types each character into whichever widget has the focus at that moment; "\b" is Backspace.
inline void TypeKeys(const QString& keys) {
    for (const QChar c : keys) {
        QTest::keyClicks(QApplication::focusWidget(), QString(c));
    }
}

// Runs `open`, which shows a modal dialog of type D, and `act` on that dialog once its loop runs.
// A dialog the action leaves open fails the test instead of hanging it. Gives the dialog's owner,
// or nothing when no such dialog came up.
template <typename D>
std::optional<QWidget*> WithModal(const std::function<void()>& open,
                                  const std::function<void(D&)>& act) {
    std::optional<QWidget*> owner;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<D*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            return;
        }
        owner = dialog->parentWidget();
        act(*dialog);
        if (dialog->isVisible()) {
            ADD_FAILURE() << "the dialog was left open";
            static_cast<QDialog*>(dialog)->done(-1);
        }
    });
    open();
    QCoreApplication::processEvents();
    return owner;
}

// Knows no host names, so rows that are not addresses stay unresolved.
struct NoNames final : INameResolver {
    std::optional<std::uint32_t> Resolve(const std::string&) override { return std::nullopt; }
};

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ScannerServices services;
        services.threads = MakeThreads();
        services.resolver = resolver;
        services.arp = arp;
        services.aboutLibrary = aboutLibrary;
        services.messageBox = &messages;
        services.saveFileDialog = &files;
        services.exportFileDialog = &exports;
        services.hostNames = hostNames;
        services.macRegistryDirectory = registryDirectory;
        services.deviceStore = deviceStore;
        services.networkOf = networkOf;
        services.wires = wires;
        services.wiresProblem = wiresProblem;
        services.notifier = notifier;
        services.makeNotifier = makeNotifier;
        services.identify = identify;
        dialog = std::make_unique<CScannerDlg>(std::move(services));
        dialog->show();
        dialog->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    }

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

    struct ListMenu {
        bool opened = false;
        QPoint position;
        QString name;               // as a screen reader gets it
        QStringList texts;          // "-" for a separator
        std::vector<bool> enabled;  // of the list's own commands, in menu order
        bool copyEnabled = false;
        QStringList keys;  // each item's key as it shows, empty for none
    };

    // Opens the list's pop-up as a right click does, records it and chooses `command`, or
    // dismisses it when `command` is 0 or not enabled; `open` opens it another way.
    ListMenu OpenListMenu(int command = 0, const std::function<void()>& open = {}) {
        ListMenu seen;
        QTimer::singleShot(0, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (menu == nullptr) {
                return;
            }
            seen.opened = true;
            seen.position = menu->pos();
            seen.name = QAccessible::queryAccessibleInterface(menu)->text(QAccessible::Name);
            QAction* chosen = nullptr;
            for (QAction* action : menu->actions()) {
                seen.texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
                if (action->data().toInt() == ID_COPY_ROWS) {
                    seen.copyEnabled = action->isEnabled();
                }
                if (action->isSeparator()) {
                    continue;
                }
                seen.keys << action->shortcut().toString(QKeySequence::NativeText);
                if (action->data().toInt() != ID_COPY_ROWS) {
                    seen.enabled.push_back(action->isEnabled());
                }
                if (action->data().toInt() == command && action->isEnabled()) {
                    chosen = action;
                }
            }
            if (chosen != nullptr) {
                menu->setActiveAction(chosen);
                QTest::keyClick(menu, Qt::Key_Return);
            } else {
                menu->close();
            }
        });
        if (open) {
            open();
        } else {
            dialog->OnResultListRClick();
        }
        // The offscreen platform leaves no window active once a pop-up has closed.
        dialog->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
        return seen;
    }

    // The row's tooltip, as a screen reader and the pointer get it.
    QString ToolTip(int row) const {
        return dialog->resultList()->topLevelItem(row)->data(2, Qt::ToolTipRole).toString();
    }

    // Set before SetUp to hand the window an about library, host names, a MAC registry.
    std::shared_ptr<IAboutLibrary> aboutLibrary;
    std::shared_ptr<IHostNames> hostNames;
    std::shared_ptr<INameResolver> resolver = std::make_shared<NoNames>();
    std::string registryDirectory = "/nonexistent";
    // No place for a device store unless a test gives one, so memory stays off.
    store::StoreLocation deviceStore;
    NetworkOfTarget networkOf;
    // Nothing to listen with, nowhere to notify, and no target on a network of this machine.
    std::shared_ptr<IArpWires> wires;
    std::string wiresProblem;
    std::shared_ptr<INotifier> notifier;
    std::function<std::shared_ptr<INotifier>()> makeNotifier;
    std::function<std::optional<NetworkIdentity>(std::uint32_t)> identify = [](std::uint32_t) {
        return std::optional<NetworkIdentity>();
    };
    ScriptedMessageBox messages;
    ScriptedSaveFileDialog files;
    ScriptedExportFileDialog exports;
    std::shared_ptr<ScriptedArpSender> arp = std::make_shared<ScriptedArpSender>();
    std::unique_ptr<CScannerDlg> dialog;
};

}  // namespace talvik::test
