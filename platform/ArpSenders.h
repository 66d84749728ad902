// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one place where the ARP sender is chosen.

#include <memory>
#include <string>

#include "platform/ArpSchedule.h"
#include "platform/NeighbourArpSender.h"
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
};

// kErrorFileNotFound: no helper was found where it is looked for.
inline constexpr std::uint32_t kErrorFileNotFound = 2;

// Nothing only when a forced kind cannot be had; `chosen`, when given, says what was made. The
// helper is held by a sender that replaces it when it dies or stalls. `helperWhy`, when given,
// says why the helper could not serve when the fallback was chosen (kErrorFileNotFound,
// kErrorNotSupported without CAP_NET_RAW, kErrorAccessDenied when its socket was refused,
// kErrorGenFailure when it did not start), else kNoError.
std::shared_ptr<IArpSender> MakeArpSender(const ArpSenderOptions& options = {},
                                          ArpSenderKind* chosen = nullptr,
                                          std::uint32_t* helperWhy = nullptr);

// What the user is told once when the fallback asks because the helper could not serve
// (`helperWhy` as MakeArpSender gives it); empty when it is not the fallback.
std::string FallbackNotice(ArpSenderKind chosen, std::uint32_t helperWhy);

// The way `chosen` asks, in the words of the about box.
std::string ArpWayText(ArpSenderKind chosen);

// A few words for logs on why the helper could not serve.
const char* HelperReasonName(std::uint32_t why);

// "packet", "helper", "neighbour" or "automatic", for logs of a benchmark.
const char* ArpSenderKindName(ArpSenderKind kind);

}  // namespace talvik
