// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>

#include "scan/Ports.h"
#include "talvik/Version.h"

namespace talvik {

class ScanEngine;

inline constexpr int MAX_TARGETS = 255;

// Marks a row whose name did not resolve; such a target is never probed.
inline constexpr std::uint32_t kUnresolvedAddress = 0xFFFFFFFFu;

struct ScanTarget {
    ScanEngine* owner = nullptr;
    std::uint32_t address = 0;  // IPv4, host byte order
    std::int32_t row = 0;
};

struct ScanSettings {
    std::int32_t scanUnpinged = 0;
    std::int32_t networkCondition = 0;
    std::int32_t workerLimit = 0;
};

inline constexpr std::int32_t kMinWorkerLimit = 1;
inline constexpr std::int32_t kMaxWorkerLimit = 64;
inline constexpr std::int32_t kStartWorkerLimit = 50;
inline constexpr std::int32_t kMinNetworkCondition = 100;
inline constexpr std::int32_t kMaxNetworkCondition = 5000;
inline constexpr std::int32_t kStartNetworkCondition = 1000;

// How long after a silent target's first request its answer still counts: 500 ms at the start
// value, inversely proportional to the network condition (5 s at 100, 100 ms at 5000).
inline constexpr std::chrono::milliseconds LateWindow(std::int32_t networkCondition) {
    return std::chrono::milliseconds(
        500 * kStartNetworkCondition /
        std::clamp(networkCondition, kMinNetworkCondition, kMaxNetworkCondition));
}

// Texts the engine shows or writes, exactly as users see them.
inline constexpr const char* kCaption = kProductName;
inline constexpr const char* kUnknownHost = "Unknown host";
inline constexpr const char* kRunning = "running";
inline constexpr const char* kScanComplete = "扫描完成!";
inline constexpr const char* kScanThreadFailed = "扫描线程出错，正在退出!";
inline constexpr const char* kMacFormat = "%.2x-%.2x-%.2x-%.2x-%.2x-%.2x";
// What a scan tells beyond its completion: pieces of one box, put together by ScanReportText.
inline constexpr const char* kHelperRestarted = "ARP 辅助程序意外退出，已重新启动并继续扫描。";
inline constexpr const char* kHelperReplaced =
    "ARP 辅助程序意外退出，已改用系统邻居表继续扫描（较慢）。";
// Each line that counts targets not asked: its start, the number, then kNotAskedCount.
inline constexpr const char* kLinkLostBefore = "网卡 ";
inline constexpr const char* kLinkLostAfter = " 已断开，有 ";
inline constexpr const char* kNotAskedLinkDown = "网卡断开，有 ";
inline constexpr const char* kNotAskedRefused = "发送被系统拒绝（如防火墙），有 ";
inline constexpr const char* kNotAskedDescriptors = "系统资源不足，有 ";
inline constexpr const char* kNotAskedHelperLost = "ARP 辅助程序退出，有 ";
inline constexpr const char* kNotAskedFailed = "发送出错，有 ";
inline constexpr const char* kNotAskedCount = " 个目标未能探测。";
inline constexpr const char* kNotAskedTail = "这些行留空，并不表示主机不在线。";
inline constexpr const char* kOffLinkBefore = "有 ";
inline constexpr const char* kOffLinkAfter =
    " 个目标不在本地网段（需经网关、无路由或为本机回环地址），ARP 无法到达，未发送请求。";
// Once in a run, after a scan that tried the helper again in vain and asked through the
// fallback.
inline constexpr const char* kHelperUnavailable =
    "ARP 辅助程序无法重新启动，本次扫描已改用系统邻居表（较慢）。每次扫描开始时会再次尝试启动它。";
// A row that was not asked, as its tooltip words it.
inline constexpr const char* kNotAskedRow = "未探测";
// Why, in a few words for beside kNotAskedRow.
inline constexpr const char* NotAskedReasonText(NotAskedReason why) {
    switch (why) {
        case NotAskedReason::OffLink:
            return "不在本地网段";
        case NotAskedReason::Loopback:
            return "本机回环地址，不在任何网段";
        case NotAskedReason::LinkDown:
            return "网卡已断开";
        case NotAskedReason::Refused:
            return "发送被系统拒绝";
        case NotAskedReason::NoResources:
            return "系统资源不足";
        case NotAskedReason::HelperLost:
            return "ARP 辅助程序已退出";
        case NotAskedReason::Failed:
            break;
    }
    return "发送出错";
}
// The progress text: targets done of all, hosts found, and the targets not asked when any were
// ("254/254 · 20 台在线 · 82 个未探测").
inline std::string ProgressText(int position, int total, int answered, int notAsked) {
    std::string text = std::to_string(position) + "/" + std::to_string(total) + " · " +
                       std::to_string(answered) + " 台在线";
    if (notAsked > 0) {
        text += " · " + std::to_string(notAsked) + " 个" + kNotAskedRow;
    }
    return text;
}

}  // namespace talvik
