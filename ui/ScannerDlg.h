// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The main window: address entry, result list, progress bar, menu bar and toolbar over the scan
// engine. Its handlers carry the names of the commands they serve.

#include <QDialog>
#include <QIcon>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "names/MacVendors.h"
#include "netlink/NetworkIdentity.h"
#include "scan/ArpWire.h"
#include "scan/Ports.h"
#include "store/WatchEvents.h"
#include "ui/AddressRange.h"
#include "ui/DeviceMemory.h"
#include "ui/QtPorts.h"

class QAction;
class QTimer;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QToolBar;
class QTreeWidget;

namespace talvik {

struct Command;
class ISaveFileDialog;
class IExportFileDialog;
struct ExportHost;
struct ExportResult;
class IpAddressEdit;
class HostNameLookups;
class IHostNames;
class MacVendors;
class ScanEngine;
class IAboutLibrary;
class INotifier;
class NotificationPace;
class WireListener;

// What the window needs from the system; tests hand in scripted stand-ins.
struct ScannerServices {
    std::shared_ptr<IThreads> threads;
    std::shared_ptr<INameResolver> resolver;
    std::shared_ptr<IArpSender> arp;
    // Told once, after the first scan, when the ARP sender is the slow fallback.
    std::string senderNotice;
    // The optional external about window; without it the about command shows the built-in one.
    std::shared_ptr<IAboutLibrary> aboutLibrary;
    // Answers every message box in place of the window's own when set. Not owned.
    IMessageBox* messageBox = nullptr;
    // Asks for the report's file name in place of the toolkit's dialog when set. Not owned.
    ISaveFileDialog* saveFileDialog = nullptr;
    // Asks for the export's file name in place of the toolkit's dialog when set. Not owned.
    IExportFileDialog* exportFileDialog = nullptr;
    // Names the hosts that answered; none asks no names.
    std::shared_ptr<IHostNames> hostNames;
    // Where the registry of MAC makers lies; a missing one names no makers.
    std::string macRegistryDirectory = kIeeeDataDirectory;
    // Where the device store is kept; without a place memory cannot be turned on.
    store::StoreLocation deviceStore;
    // Tells the network a scan ran on, for the device store.
    NetworkOfTarget networkOf;
    // Opens the wires the watch listens on; none, with `wiresProblem` saying why: it only rescans.
    std::shared_ptr<IArpWires> wires;
    std::string wiresProblem;
    // Makes `wires` the first time the watch is turned on, where none was given.
    std::function<std::unique_ptr<IArpWires>(std::string& error)> makeWires;
    // Where the watch's news goes on the desktop; none tells it in the window only.
    std::shared_ptr<INotifier> notifier;
    // Makes `notifier` the first time the watch is turned on: the bus is not asked before.
    std::function<std::shared_ptr<INotifier>()> makeNotifier;
    // The network and interface a target is reached on.
    std::function<std::optional<NetworkIdentity>(std::uint32_t)> identify = IdentifyNetwork;
};

// Window-menu commands beside the about item; like it, they leave the low four bits free.
inline constexpr unsigned kScMinimize = 0xF020;
inline constexpr unsigned kScClose = 0xF060;

class CScannerDlg final : public QDialog {
    Q_OBJECT

public:
    explicit CScannerDlg(ScannerServices services, QWidget* parent = nullptr);
    ~CScannerDlg() override;

    // Scan commands of the menu bar, the toolbar and the list's pop-up.
    void OnScanAll();
    void OnScanSelected();
    void OnStopScan();
    void OnClearResults();

    // Address entry.
    void OnAddAddress();
    void OnModeIp();
    void OnModeUrl();
    void OnStartAddressChanged();
    std::optional<AddressRange> GetAddressRange() const;

    // The result list's pop-up menu and its row commands.
    void OnResultListRClick();
    // Opens the pop-up with its top-left corner at `position` (global).
    void OpenListMenu(const QPoint& position);
    // Where the keyboard opens the pop-up: below the current row, else the list's top-left.
    QPoint ListMenuKeyPosition() const;
    // Puts the selected rows on the clipboard, one tab-separated line each.
    void OnCopyRows();
    void OnDeleteAll();
    void OnDeleteSelected();

    void OnExit();
    // Window-menu commands: minimise, close and the built-in about box.
    void OnSysCommand(unsigned code);
    void ShowWindowMenu(const QPoint& globalPosition);

    void OnAdvanced();
    void OnAboutSoftware();
    void OnSaveResults();
    // Writes every row as the report at `path`, asking before it replaces a file.
    void WriteHtmlReport(const std::string& path);
    void OnExportResults();

    // Device memory: the switch, the records window, and naming the selected row's device.
    void OnRememberDevices();
    void OnDeviceRecords();
    void OnNameDevice();
    DeviceMemory& Memory() { return *memory_; }

    // Keeping watch: the switch, the interval (minutes) and the rescan it times.
    void OnWatchNetwork();
    void OnWatchInterval(int minutes);
    void OnWatchTick();
    // Writes what the watch heard and said since the last write, with memory on.
    void WriteWatch();
    bool IsWatching() const { return watchState_ != nullptr; }
    bool IsListening() const { return listener_ != nullptr; }
    QTimer* watchTimer() const { return watchTimer_; }

    // Runs the handler of a command identifier, as a command message would; refused where the
    // command table says it may not run now.
    void OnCommand(int command);

    // The pieces tests and the other layers reach.
    ScanEngine& Engine() { return *engine_; }
    IMessageBox& Messages() { return *messages_; }
    QtResultList& ResultRows() { return *resultRows_; }
    QTreeWidget* resultList() const { return resultList_; }
    IpAddressEdit* startAddress() const { return startAddress_; }
    IpAddressEdit* endAddress() const { return endAddress_; }
    QLineEdit* urlEdit() const { return url_; }
    QRadioButton* modeIpButton() const { return modeIp_; }
    QRadioButton* modeUrlButton() const { return modeUrl_; }
    QPushButton* addButton() const { return addButton_; }
    QProgressBar* progressBar() const { return progress_; }
    QLabel* banner() const { return banner_; }
    QToolBar* toolBar() const { return toolBar_; }
    QMenuBar* menuBar() const { return menuBar_; }
    QMenu* windowMenu() const { return windowMenu_; }
    QAction* menuAction(int command) const;
    QAction* toolAction(int command) const;
    // How far the bars push the template's controls down.
    int barsHeight() const { return barsHeight_; }

    // The program's icon at every size the resources hold.
    static QIcon MainIcon();

    // Makes the list's three columns each a third of its outer width.
    static void SizeColumns(QTreeWidget* list);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void CreateControls();
    void NameControls();
    void CreateMenuBar();
    void CreateToolBar();
    void CreateWindowMenu();
    void CreateKeys();
    QAction* AddCommand(QWidget* owner, const Command& command, const QIcon& icon,
                        const char* text);
    void PlaceControls();
    void SetInitialState();
    void SetRunningState(int running);
    void CentreOnScreen();
    // Sizes the window to the page, or to the screen less `frame` where the page is larger.
    void FitToScreen(const QMargins& frame);
    static void ShowKeys(QAction* action, int id);
    // The rows' tooltips, the progress text, makers, names and copy.
    void CreateRowDetails();
    QString DescribeRow(const QString& text, const RowFacts& facts) const;
    // Every row as the export writes it, with the makers and names found so far.
    ExportResult ExportRows() const;
    void OnRowOutcome(int row, const RowFacts& facts);
    void UpdateProgressText();
    // Empties the bar and its text, once the rows it counted are gone.
    void ResetProgress();
    int Message(const char* text, unsigned type);
    // Device memory's part of the window.
    void CreateDeviceMemory();
    void UpdateMemoryCommands();
    void OnScanEnded(bool completed);
    void OnScanRecorded(const DeviceMemory::ScanRecorded& recorded);
    // Tells the first problem of this run with the store; later ones are not repeated.
    void TellStoreProblem(const store::StoreStatus& status);
    void ForgetScanChanges();
    // Marks each row's MAC cell, and counts the new devices, from what the memory says now.
    void UpdateMarks();
    // What the memory says of an answered or silent row; nullptr when nothing.
    const store::RowChange* ChangeOf(const RowFacts& facts) const;
    void AddMemoryLines(QStringList& lines, const RowFacts& facts) const;
    void AddMemoryItems(QMenu& menu, bool scanning);
    // The selected row whose device "命名…" names, or -1.
    int RowToName() const;
    // The watch's part of the window.
    void CreateWatch();
    void StopWatch();
    void OnWatchScanEnded();
    void OnWatchOutcome(const store::WatchOutcome& outcome);
    void SetWatchNote(const QString& note);
    QIcon WatchMark(const RowFacts* facts, int row) const;
    void AddWatchLines(QStringList& lines, const RowFacts& facts) const;
    std::uint32_t RowAddress(int row) const;

    ScannerServices services_;

    QScrollArea* scroll_ = nullptr;
    QWidget* page_ = nullptr;
    QMenuBar* menuBar_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QLabel* banner_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QTreeWidget* resultList_ = nullptr;
    QLineEdit* url_ = nullptr;
    IpAddressEdit* startAddress_ = nullptr;
    IpAddressEdit* endAddress_ = nullptr;
    QPushButton* addButton_ = nullptr;
    QGroupBox* entryGroup_ = nullptr;
    QGroupBox* infoGroup_ = nullptr;
    QRadioButton* modeIp_ = nullptr;
    QRadioButton* modeUrl_ = nullptr;
    QMenu* windowMenu_ = nullptr;
    std::map<int, QAction*> menuActions_;
    std::map<int, QAction*> toolActions_;
    int barsHeight_ = 0;
    bool centred_ = false;
    int frameWaits_ = 0;

    // Values taken from the controls when the add command runs.
    int addressMode_ = -1;
    QString urlText_;
    // The start address the end was last filled from: a pass through the field that leaves it
    // as it was keeps the end the user typed.
    Octets filledFrom_{};

    // The ports outlive the engine, which is destroyed first so no scan thread reaches them.
    std::unique_ptr<QtResultList> resultRows_;
    std::unique_ptr<QtProgressBar> progressPort_;
    std::unique_ptr<QtCommandStates> commandStates_;
    std::unique_ptr<QtMessageBox> messageBox_;
    IMessageBox* messages_ = nullptr;
    std::shared_ptr<QtUiPoster> poster_;
    std::unique_ptr<ScanEngine> engine_;

    // Whether the bar counts a scan's targets: from a scan start until its rows are gone.
    bool progressShown_ = false;
    // Whether the running scan has ended, its completion box perhaps still up.
    bool scanEnded_ = true;
    std::shared_ptr<RowDescriber> describeRow_;
    std::shared_ptr<MacVendors> vendors_;
    bool vendorsLoading_ = false;
    // Each address asked for a name: the name found, "" while asked or when none.
    std::map<std::uint32_t, std::string> hostNames_;
    // What the latest recorded scan changed, by address; the rows' marks and tooltips read it.
    std::map<std::uint32_t, store::RowChange> scanChanges_;
    store::Seconds scanRecordedAt_ = 0;  // when the scan behind scanChanges_ was written
    int newDevices_ = 0;
    // The devices the latest scan saw for the first time. One that took over a known address is
    // marked as that, a warning, and is not counted with the newcomers.
    std::set<std::string> newMacs_;
    // Counts scan starts and switches, so a write that comes back late marks no other rows.
    unsigned memoryRound_ = 0;
    bool storeProblemTold_ = false;
    // The watch: its rules, its rescan timer, the latest event of each address, and what it has
    // said once already.
    std::unique_ptr<store::WatchState> watchState_;
    QTimer* watchTimer_ = nullptr;
    int watchMinutes_ = 5;
    std::map<std::uint32_t, store::WatchEvent> watchEvents_;
    QString watchNote_;
    bool noNotifierTold_ = false;
    bool noWireTold_ = false;
    bool boundTold_ = false;
    // With memory on, what the watch heard and said, written to the network's record now and
    // then; a device heard again costs no more room.
    std::optional<store::NetworkId> watchNetwork_;
    std::map<std::pair<std::uint32_t, std::string>, store::Seconds> watchHeard_;
    std::vector<store::DeviceStore::KeptEvent> watchSaid_;
    QTimer* watchWriteTimer_ = nullptr;
    bool watchStoreTold_ = false;
    // Notifications past the pace are told together, a moment after the last of them.
    std::unique_ptr<NotificationPace> notificationPace_;
    QTimer* heldTimer_ = nullptr;
    std::unique_ptr<WireListener> listener_;
    // Before the lookups: its writer ends after their answers can no longer reach it.
    std::unique_ptr<DeviceMemory> memory_;
    // Last: its threads end before the rest goes.
    std::unique_ptr<HostNameLookups> nameLookups_;
};

}  // namespace talvik
