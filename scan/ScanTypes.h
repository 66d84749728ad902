#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

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

}  // namespace talvik
