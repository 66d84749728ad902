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

// Nothing only when a forced kind cannot be had; `chosen`, when given, says what was made.
std::shared_ptr<IArpSender> MakeArpSender(const ArpSenderOptions& options = {},
                                          ArpSenderKind* chosen = nullptr);

// "packet", "helper", "neighbour" or "automatic", for logs of a benchmark.
const char* ArpSenderKindName(ArpSenderKind kind);

}  // namespace talvik
