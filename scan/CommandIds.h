// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Command identifiers of the main window and its menus, the window-menu about item, and the
// main icon's resource number that the external about entry is handed.

namespace talvik {

inline constexpr int IDM_ABOUTBOX = 16;
inline constexpr int IDI_MAIN = 128;

inline constexpr int ID_SCAN_SELECTED = 32772;
inline constexpr int ID_STOP_SCAN = 32773;
inline constexpr int ID_EXIT = 32774;
inline constexpr int ID_ADVANCED = 32775;
inline constexpr int ID_ABOUT_DESCRIPTION = 32776;
inline constexpr int ID_ABOUT_SOFTWARE = 32777;
inline constexpr int ID_SCAN_ALL = 32778;
inline constexpr int ID_DELETE_ALL = 32789;
inline constexpr int ID_DELETE_SELECTED = 32791;
inline constexpr int ID_SCAN_SELECTED_POPUP = 32793;
inline constexpr int ID_SCAN_ALL_POPUP = 32795;
inline constexpr int ID_CLEAR_RESULTS = 32796;
inline constexpr int ID_SAVE_RESULTS = 32797;

}  // namespace talvik
