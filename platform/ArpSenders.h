#pragma once
// The kinds of ARP sender and what choosing one takes; MakeArpSender in Platform.h chooses.

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

// "packet", "helper", "neighbour" or "automatic", for logs of a benchmark.
const char* ArpSenderKindName(ArpSenderKind kind);

}  // namespace talvik
