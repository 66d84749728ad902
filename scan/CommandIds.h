#pragma once
// Command, control and resource identifiers of the main window and its menus.

namespace talvik {

inline constexpr int IDM_ABOUTBOX = 16;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_MAIN = 102;
inline constexpr int IDI_MAIN = 128;
inline constexpr int IDR_MAINMENU = 129;
inline constexpr int IDR_TOOLBAR = 132;
inline constexpr int IDD_ADVANCED = 132;
inline constexpr int IDI_ABOUT = 143;
inline constexpr int IDR_LISTMENU = 145;
inline constexpr int IDB_BANNER = 152;
inline constexpr int IDB_TOOLBAR_IMAGES = 157;

inline constexpr int IDC_PROGRESS = 1000;
inline constexpr int IDC_RESULT_LIST = 1005;
inline constexpr int IDC_URL = 1006;
inline constexpr int IDC_IP_START = 1007;
inline constexpr int IDC_IP_END = 1008;
inline constexpr int IDC_ADD_ADDRESS = 1009;
inline constexpr int IDC_MODE_IP = 1011;
inline constexpr int IDC_MODE_URL = 1012;
inline constexpr int IDC_ADV_OK = 1014;
inline constexpr int IDC_ADV_CANCEL = 1015;
inline constexpr int IDC_ADV_DEFAULTS = 1016;
inline constexpr int IDC_VERSION_TEXT = 1018;
inline constexpr int IDC_SPEED_SLIDER = 1020;
inline constexpr int IDC_SCAN_UNPINGED = 1021;
inline constexpr int IDC_NET_SLIDER = 1022;

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
