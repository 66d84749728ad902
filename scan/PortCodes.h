// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The values that cross the engine's ports: probe and wait results, message-box types and
// answers, menu-item states and the result-list filter. Their numbers are fixed, so a message-box
// type or a wait result means the same on both sides of a port.

#include <cstdint>

namespace talvik {

// Status of an ARP request and of waits.
inline constexpr std::uint32_t kNoError = 0;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorBadNetName = 67;  // no answer from the host
inline constexpr std::uint32_t kErrorGenFailure = 31;
inline constexpr std::uint32_t kErrorNotSupported = 50;
inline constexpr std::uint32_t kErrorCancelled = 1223;
inline constexpr std::uint32_t kErrorTimeout = 1460;

inline constexpr std::uint32_t kWaitObject0 = 0;
inline constexpr std::uint32_t kWaitTimeout = 258;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
inline constexpr std::uint32_t kMaximumWaitObjects = 64;

// Message-box types and answers.
inline constexpr unsigned kMbOk = 0x00;
inline constexpr unsigned kMbYesNo = 0x04;
inline constexpr unsigned kMbIconStop = 0x10;
inline constexpr unsigned kMbIconQuestion = 0x20;
inline constexpr unsigned kMbIconInformation = 0x40;

inline constexpr int kIdOk = 1;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// Menu item states.
inline constexpr unsigned kMfEnabled = 0;
inline constexpr unsigned kMfGrayed = 1;

// Which rows a result-list walk visits.
enum class ItemFilter { All, Selected };

}  // namespace talvik
