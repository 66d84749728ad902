#pragma once
// The one place where the program picks the real implementations of the engine's system ports.

#include <memory>

#include "platform/ArpSenders.h"
#include "scan/Ports.h"

namespace talvik {

std::shared_ptr<IThreads> MakeThreads();
std::shared_ptr<INameResolver> MakeNameResolver();

// The packet socket when this process may open one, else talvik-arp when it is found and
// holds CAP_NET_RAW, else the kernel's neighbour table; or the kind `options` forces, which
// gives nothing when it cannot be had. `chosen`, when given, says what was made.
std::shared_ptr<IArpSender> MakeArpSender(const ArpSenderOptions& options = {},
                                          ArpSenderKind* chosen = nullptr);

}  // namespace talvik
