// SPDX-License-Identifier: GPL-3.0-or-later
// The command table and the handlers it names.

#include "ui/ScannerCommands.h"

#include <QFile>
#include <QLineEdit>
#include <QRadioButton>
#include <algorithm>
#include <ctime>
#include <vector>

#include "os/AboutInfo.h"
#include "os/AboutLibrary.h"
#include "report/ReportFile.h"
#include "scan/CommandIds.h"
#include "scan/ScanEngine.h"
#include "ui/AboutDlg.h"
#include "ui/AdvancedOptionsDlg.h"
#include "ui/HostEntry.h"
#include "ui/IpAddressEdit.h"
#include "ui/QtPorts.h"
#include "ui/ReportSave.h"
#include "ui/ScannerDlg.h"

namespace talvik {

namespace {

using W = CommandWhen;
using D = CScannerDlg;

// clang-format off
constexpr Command kCommands[] = {
    // id                   text                  toolbar      picture                        handler              when         keys
    {ID_SCAN_ALL,            "扫描全部(&A)",       " 扫描全部", ":/toolbar/scan-all.png",      &D::OnScanAll,        W::Idle,     "F5"},
    {ID_SCAN_SELECTED,       "扫描选中主机(&S)",   " 扫描选中", ":/toolbar/scan-selected.png", &D::OnScanSelected,   W::Idle,     nullptr},
    {ID_STOP_SCAN,           "停止扫描(&T)",       " 停止扫描", ":/toolbar/stop.png",          &D::OnStopScan,       W::Scanning, nullptr},
    {ID_SAVE_RESULTS,        "保存扫描结果",       nullptr,     nullptr,                       &D::OnSaveResults,    W::Always,   "Ctrl+S"},
    {ID_EXPORT_RESULTS,      "导出结果(&E)…",      nullptr,     nullptr,                       &D::OnExportResults,  W::Always,   nullptr},
    {ID_EXIT,                "退出(&X)",           " 退出",     ":/toolbar/exit.png",          &D::OnExit,           W::Always,   nullptr},
    {ID_ADVANCED,            "高级选项(&P)",       " 高级",     ":/toolbar/advanced.png",      &D::OnAdvanced,       W::Always,   nullptr},
    {ID_ABOUT_DESCRIPTION,   "关于漏洞(&H)",       nullptr,     nullptr,                       nullptr,              W::Never,    nullptr},
    {ID_ABOUT_SOFTWARE,      "关于软件",           " 关于软件", ":/toolbar/about.png",         &D::OnAboutSoftware,  W::Always,   nullptr},
    // The list's pop-up: the workers write into the rows while a scan runs.
    {ID_DELETE_ALL,          "删除所有IP地址",     nullptr,     nullptr,                       &D::OnDeleteAll,      W::Idle,     nullptr},
    {ID_DELETE_SELECTED,     "删除选中的IP地址",   nullptr,     nullptr,                       &D::OnDeleteSelected, W::Idle,     "Del"},
    {ID_SCAN_SELECTED_POPUP, "扫描选中的IP地址",   nullptr,     nullptr,                       &D::OnScanSelected,   W::Idle,     nullptr},
    {ID_SCAN_ALL_POPUP,      "扫描所有IP地址",     nullptr,     nullptr,                       &D::OnScanAll,        W::Idle,     nullptr},
    {ID_CLEAR_RESULTS,       "清空扫描结果",       nullptr,     nullptr,                       &D::OnClearResults,   W::Idle,     nullptr},
    // Keys of the list alone, in no menu.
    {ID_COPY_ROWS,           "复制(&C)",           nullptr,     nullptr,                       &D::OnCopyRows,       W::Always,   "Ctrl+C"},
    // Device memory; shown while it is on, the switch always.
    {ID_REMEMBER_DEVICES,    "记住设备(&R)",       nullptr,     nullptr,                       &D::OnRememberDevices, W::Always,  nullptr},
    {ID_DEVICE_RECORDS,      "设备记录(&D)…",      nullptr,     nullptr,                       &D::OnDeviceRecords,  W::Always,   nullptr},
    {ID_NAME_DEVICE,         "命名(&N)…",          nullptr,     nullptr,                       &D::OnNameDevice,     W::Idle,     nullptr},
    // Keeping watch; the interval is a submenu of radio items.
    {ID_WATCH_NETWORK,       "监视网络(&W)",       nullptr,     nullptr,                       &D::OnWatchNetwork,   W::Always,   nullptr},
    {ID_WATCH_INTERVAL,      "监视间隔(&I)",       nullptr,     nullptr,                       nullptr,              W::Always,   nullptr},
};

constexpr int kSep = 0;
constexpr int kSystemMenu[] = {ID_SCAN_ALL,     ID_SCAN_SELECTED,  ID_STOP_SCAN, kSep,
                               ID_SAVE_RESULTS, ID_EXPORT_RESULTS, kSep,         ID_EXIT,
                               kSep,            ID_DEVICE_RECORDS};
constexpr int kSettingsMenu[] = {ID_ADVANCED, kSep, ID_REMEMBER_DEVICES, ID_WATCH_NETWORK,
                                 ID_WATCH_INTERVAL};
constexpr int kAboutMenu[] = {ID_ABOUT_DESCRIPTION, ID_ABOUT_SOFTWARE};
constexpr MenuLayout kMenuBar[] = {
    {" 系统 (&S) ", kSystemMenu},
    {" 设置 (&O) ", kSettingsMenu},
    {" 关于 (&A) ", kAboutMenu},
};
// The toolbar's pictures are cut from one strip in this order.
constexpr int kToolBar[] = {ID_SCAN_ALL, ID_SCAN_SELECTED, ID_STOP_SCAN, kSep, ID_ADVANCED, kSep, ID_EXIT, kSep, ID_ABOUT_SOFTWARE};
constexpr int kListMenu[] = {ID_DELETE_ALL, ID_DELETE_SELECTED, kSep, ID_SCAN_SELECTED_POPUP, ID_SCAN_ALL_POPUP, kSep, ID_CLEAR_RESULTS};
// clang-format on

constexpr const char* kScanningText = "正在扫描，请稍后……";
constexpr const char* kClearQuestion = "清除上次扫描地址？";
constexpr const char* kLimitText = "每次最多能扫描255台机器!";

}  // namespace

std::span<const Command> Commands() {
    return kCommands;
}

const Command* FindCommand(int id) {
    for (const Command& command : kCommands) {
        if (command.id == id) {
            return &command;
        }
    }
    return nullptr;
}

bool MayRun(const Command& command, bool scanning) {
    switch (command.when) {
        case CommandWhen::Always:
            return true;
        case CommandWhen::Idle:
            return !scanning;
        case CommandWhen::Scanning:
            return scanning;
        case CommandWhen::Never:
            return false;
    }
    return false;
}

std::span<const MenuLayout> MenuBarLayout() {
    return kMenuBar;
}

std::span<const int> ToolBarLayout() {
    return kToolBar;
}

std::span<const int> ListMenuLayout() {
    return kListMenu;
}

bool IsListKey(int id) {
    // Delete and copy mean text where a field has the focus, and rows only on the list.
    return id == ID_COPY_ROWS || std::ranges::find(kListMenu, id) != std::end(kListMenu);
}

void CScannerDlg::OnCommand(int command) {
    const Command* entry = FindCommand(command);
    if (entry == nullptr || entry->handler == nullptr ||
        !MayRun(*entry, engine_->IsScanRunning())) {
        return;
    }
    (this->*entry->handler)();
}

void CScannerDlg::OnScanAll() {
    ForgetScanChanges();
    scanEnded_ = false;
    progressShown_ = true;
    engine_->OnScanAll();
}

void CScannerDlg::OnScanSelected() {
    ForgetScanChanges();
    scanEnded_ = false;
    progressShown_ = true;
    engine_->OnScanSelected();
}

void CScannerDlg::OnStopScan() {
    engine_->OnStopScan();
}

void CScannerDlg::OnClearResults() {
    engine_->OnClearResults();
    ResetProgress();
}

void CScannerDlg::OnExit() {
    accept();
}

std::optional<AddressRange> CScannerDlg::GetAddressRange() const {
    return MakeAddressRange(startAddress_->address(), endAddress_->address());
}

void CScannerDlg::OnAddAddress() {
    if (engine_->IsScanRunning()) {
        Message(kScanningText, kMbOk);
        return;
    }
    addressMode_ = modeIp_->isChecked() ? 0 : (modeUrl_->isChecked() ? 1 : -1);
    urlText_ = HostRowText(url_->text());

    int rows = resultRows_->GetItemCount();
    // Asked before anything else, so the list may be emptied even when nothing is added.
    if (rows > 0 && Message(kClearQuestion, kMbYesNo | kMbIconQuestion) == kIdYes) {
        resultRows_->DeleteAllItems();
        ResetProgress();
        rows = 0;
    }

    if (addressMode_ != 0) {
        if (rows >= MAX_TARGETS) {
            Message(kLimitText, kMbIconInformation);
            return;
        }
        if (urlText_.isEmpty()) {
            return;
        }
        resultRows_->InsertItem(rows, urlText_);
        ResetProgress();  // the last scan's count no longer describes the list
        return;
    }

    const std::optional<AddressRange> range = GetAddressRange();
    if (!range) {
        return;
    }
    for (int last = range->first; last <= range->last; ++last) {
        if (resultRows_->GetItemCount() >= MAX_TARGETS) {
            Message(kLimitText, kMbIconInformation);
            return;
        }
        const std::string text = FormatAddress(range->octet0, range->octet1, range->octet2,
                                               static_cast<std::uint8_t>(last));
        // At the octet's own index: kept rows with a higher index move down behind it.
        resultRows_->InsertItem(last, QString::fromStdString(text));
        ResetProgress();
    }
}

void CScannerDlg::OnModeIp() {
    url_->setEnabled(false);
    startAddress_->setEnabled(true);
    endAddress_->setEnabled(true);
}

void CScannerDlg::OnModeUrl() {
    url_->setEnabled(true);
    url_->setFocus(Qt::OtherFocusReason);
    startAddress_->setEnabled(false);
    endAddress_->setEnabled(false);
}

void CScannerDlg::OnStartAddressChanged() {
    const Octets start = startAddress_->address();
    if (start == filledFrom_) {
        return;
    }
    filledFrom_ = start;
    endAddress_->setAddress({start[0], start[1], start[2], 254});
}

void CScannerDlg::OnDeleteAll() {
    resultRows_->DeleteAllItems();
    ResetProgress();
}

void CScannerDlg::OnDeleteSelected() {
    std::vector<int> selected;
    const int count = resultRows_->GetItemCount();
    selected.reserve(static_cast<std::size_t>(count));
    for (int row = resultRows_->GetNextItem(-1, ItemFilter::Selected);
         row != -1 && static_cast<int>(selected.size()) < count;
         row = resultRows_->GetNextItem(row, ItemFilter::Selected)) {
        selected.push_back(row);
    }
    // Each deletion moves the later rows up by one.
    for (std::size_t j = 0; j < selected.size(); ++j) {
        resultRows_->DeleteItem(selected[j] - static_cast<int>(j));
    }
    if (!selected.empty()) {
        ResetProgress();  // the last scan's count no longer describes the list
    }
}

void CScannerDlg::OnSysCommand(unsigned code) {
    switch (code & 0xFFF0u) {
        case IDM_ABOUTBOX:
            ShowBuiltInAbout(this);
            break;
        case kScMinimize:
            showMinimized();
            break;
        case kScClose:
            close();
            break;
        default:
            break;
    }
}

void CScannerDlg::OnAdvanced() {
    // Also while a scan runs: the next scan start reads the new worker limit.
    EditAdvancedOptions(engine_->Settings(), this);
}

void CScannerDlg::OnAboutSoftware() {
    if (services_.aboutLibrary == nullptr) {
        ShowBuiltInAbout(this);
        return;
    }
    ShowAboutSoftware(*services_.aboutLibrary, kAboutMainIcon, this);
}

void CScannerDlg::OnSaveResults() {
    QtSaveFileDialog toolkitDialog;
    ISaveFileDialog& dialog =
        services_.saveFileDialog != nullptr ? *services_.saveFileDialog : toolkitDialog;
    const std::optional<QString> chosen = dialog.GetSaveFileName(this);
    if (!chosen) {
        return;
    }
    WriteHtmlReport(ReportPathFor(*chosen));
}

void CScannerDlg::OnExportResults() {
    QtExportFileDialog toolkitDialog;
    IExportFileDialog& dialog =
        services_.exportFileDialog != nullptr ? *services_.exportFileDialog : toolkitDialog;
    const std::optional<QString> chosen = dialog.GetExportFileName(this);
    if (!chosen) {
        return;
    }
    // The rows as they stand now, also during a scan; the bytes are made once the user agreed.
    const ExportResult rows = ExportRows();
    const bool json = IsJsonName(*chosen);
    SaveAsking(
        QFile::encodeName(*chosen).toStdString(),
        [&] { return json ? BuildJsonExport(rows) : BuildCsvExport(rows, true); }, Messages());
}

void CScannerDlg::WriteHtmlReport(const std::string& path) {
    SaveHtmlReport(path, ReportRowsOf(*resultRows_), LocalReportTime(std::time(nullptr)),
                   Messages());
}

}  // namespace talvik
