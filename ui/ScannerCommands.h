// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The main window's one command table: the menu bar, the toolbar, the list's pop-up, the keys
// and the scan-state switching all read it, so a command is described in one line.

#include <span>

namespace talvik {

class CScannerDlg;

// Copies the selected rows as text; reached by its key on the list only.
inline constexpr int ID_COPY_ROWS = 32798;
inline constexpr int ID_EXPORT_RESULTS = 32820;
// Device memory: the switch, the records window and naming a row's device.
inline constexpr int ID_REMEMBER_DEVICES = 32810;
inline constexpr int ID_DEVICE_RECORDS = 32811;
inline constexpr int ID_NAME_DEVICE = 32812;
// Keeping watch: the switch, and the submenu of its rescan intervals.
inline constexpr int ID_WATCH_NETWORK = 32813;
inline constexpr int ID_WATCH_INTERVAL = 32814;
// The intervals offered, in minutes, and the one every run starts with.
inline constexpr int kWatchIntervals[] = {1, 5, 15, 60};
inline constexpr int kDefaultWatchInterval = 5;

// When a command may act; anything else leaves it grayed and refuses it.
enum class CommandWhen {
    Always,
    Idle,      // refused while a scan runs
    Scanning,  // only while a scan runs
    Never,     // shown grayed, with nothing behind it
};

struct Command {
    int id;
    const char* text;      // its menu-bar or pop-up item
    const char* toolText;  // its toolbar button, leading blank included; nullptr when none
    const char* icon;      // the toolbar button's picture
    void (CScannerDlg::*handler)();
    CommandWhen when;
    const char* keys;  // a QKeySequence in portable text, e.g. "F5"; nullptr when none
};

std::span<const Command> Commands();
const Command* FindCommand(int id);
bool MayRun(const Command& command, bool scanning);

// Where the commands sit; 0 is a separator.
struct MenuLayout {
    const char* title;
    std::span<const int> items;
};
std::span<const MenuLayout> MenuBarLayout();
std::span<const int> ToolBarLayout();
std::span<const int> ListMenuLayout();
// Commands whose keys act only while the result list has the focus.
bool IsListKey(int id);

}  // namespace talvik
