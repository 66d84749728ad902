// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What tells one network from another for the device memory: the connected subnet a target is
// asked on and, where that interface has a default route, the gateway's MAC as the kernel's
// neighbour table holds it (any traffic to the world keeps it there).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ArpFrame.h"

namespace talvik {

struct NetworkSight {
    std::uint32_t subnet = 0;  // host byte order, host bits cleared
    int prefixLength = 0;
    std::optional<MacAddress> gatewayMac;
};

// The default gateway of `interfaceName` in /proc/net/route text (the lowest metric wins).
std::optional<std::uint32_t> DefaultGateway(std::string_view routeTable,
                                            std::string_view interfaceName);
// The complete entry for `address` on `interfaceName` in /proc/net/arp text.
std::optional<MacAddress> NeighbourMac(std::string_view arpTable, std::uint32_t address,
                                       std::string_view interfaceName);

// The network `target` (host byte order) is asked on; nothing when it is on no connected
// subnet.
std::optional<NetworkSight> SeeNetworkOf(std::uint32_t target);

}  // namespace talvik
