// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Why an interface's wire could not be opened, one line each, in the window's Chinese; "%1" is
// the interface, "%2" the system's words for the error.

namespace talvik {

inline constexpr const char* kWireNoInterface = "无法监听接口 %1：没有这个接口。";
inline constexpr const char* kWireDown = "无法监听接口 %1：接口未启用。";
inline constexpr const char* kWireNoAddress = "无法监听接口 %1：接口没有 IPv4 地址或不承载 ARP。";
inline constexpr const char* kWireFailed = "无法监听接口 %1：%2。";
inline constexpr const char* kWireNoCapability =
    "无法监听接口 %1：监听网络需要 CAP_NET_RAW 权限或 ARP 辅助程序 talvik-arp。";
inline constexpr const char* kWireHelperEnded =
    "无法监听接口 %1：ARP 辅助程序 talvik-arp 未能启动。";

// No wire can be had at all.
inline constexpr const char* kWireCannotListen =
    "无法监听网络：需要 CAP_NET_RAW 权限或 ARP 辅助程序 talvik-arp。";

}  // namespace talvik
