// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one place where the ARP sender is chosen.

#include <functional>
#include <memory>
#include <string>

#include "arp/ArpSchedule.h"
#include "arp/NeighbourArpSender.h"
#include "scan/Ports.h"

namespace talvik {

enum class ArpSenderKind {
    Automatic,  // the first of the three below that can be had, in that order
    Packet,     // a packet socket opened by this process (root, or CAP_NET_RAW)
    Helper,     // a packet socket held by talvik-arp
    Neighbour,  // the kernel's neighbour table, without privileges
};

struct ArpSenderOptions {
    ArpSenderKind kind = ArpSenderKind::Automatic;
    ArpSchedule schedule;    // for the packet socket, here or in the helper
    std::string helperPath;  // empty: beside this executable, then the installed one
    NeighbourArpSender::Options neighbour;
    // Where the senders' own log lines go (the helper restarted, the fallback taken), each
    // without its line end. Unset: standard error, after "talvik: ". A user learns the same
    // from the scan's notices, so a program that shows those may drop these; the helper's own
    // lines then go nowhere either.
    std::function<void(const std::string&)> log;
};

// kErrorFileNotFound: no helper was found where it is looked for.
inline constexpr std::uint32_t kErrorFileNotFound = 2;

// The notice of a scan the fallback asked for because the helper could not serve: why, what was
// done instead, and what the user can do about it, the command on a line of its own. "%1" is
// the helper that was tried.
inline constexpr const char* kFallbackMissing = "找不到 ARP 辅助程序 talvik-arp。";
inline constexpr const char* kFallbackNoCapability = "ARP 辅助程序 %1 没有 cap_net_raw 权限。";
inline constexpr const char* kFallbackRefused =
    "系统拒绝了 ARP 辅助程序 %1 打开套接字（可能受安全策略限制）。";
inline constexpr const char* kFallbackNotStarted = "ARP 辅助程序 %1 未能启动。";
inline constexpr const char* kFallbackNotice = "本次扫描已改为通过系统的邻居表探测，速度较慢。";
inline constexpr const char* kFallbackInstall = "请安装 talvik 软件包。";
inline constexpr const char* kFallbackInstallOrSetcap =
    "请重新安装 talvik 软件包，或以 root 身份执行以下命令：";
inline constexpr const char* kFallbackSetcap = "请以 root 身份执行以下命令：";
inline constexpr const char* kFallbackCommand = "setcap cap_net_raw+ep %1";
// The way the network is asked, as the about box names it.
inline constexpr const char* kArpWayPacket = "ARP 方式：数据包套接字";
inline constexpr const char* kArpWayHelper = "ARP 方式：ARP 辅助程序（talvik-arp）";
inline constexpr const char* kArpWayNeighbour = "ARP 方式：系统邻居表（无特权，较慢）";
// Where an installed helper lives.
extern const char* const kInstalledHelperPath;

// Nothing only when a forced kind cannot be had; `chosen`, when given, says what was made. The
// helper is held by a sender that replaces it when it dies or stalls. `helperWhy`, when given,
// says why the helper could not serve when the fallback was chosen (kErrorFileNotFound,
// kErrorNotSupported without CAP_NET_RAW, kErrorAccessDenied when its socket was refused,
// kErrorGenFailure when it did not start), else kNoError; `helperTried` then names the helper
// that failed (empty when none was found).
std::shared_ptr<IArpSender> MakeArpSender(const ArpSenderOptions& options = {},
                                          ArpSenderKind* chosen = nullptr,
                                          std::uint32_t* helperWhy = nullptr,
                                          std::string* helperTried = nullptr);

// What the user is told once when the fallback asks because the helper could not serve
// (`helperWhy` and `helperTried` as MakeArpSender gives them); empty when it is not the
// fallback.
std::string FallbackNotice(ArpSenderKind chosen, std::uint32_t helperWhy,
                           const std::string& helperTried = {});

// The way `chosen` asks, in the words of the about box.
std::string ArpWayText(ArpSenderKind chosen);

// A few words for logs on why the helper could not serve.
const char* HelperReasonName(std::uint32_t why);

// "packet", "helper", "neighbour" or "automatic", for logs of a benchmark.
const char* ArpSenderKindName(ArpSenderKind kind);

}  // namespace talvik
