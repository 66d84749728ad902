// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Which network a scan ran on: the subnet of the interface it asked on, and the gateway's MAC
// where that network has a default route, so that two homes on the same subnet stay apart.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ArpFrame.h"

namespace talvik {

struct ScannedNetwork {
    std::string interfaceName;
    std::uint32_t address = 0;  // ours on it, host byte order
    int prefixLength = 0;
    std::optional<std::uint32_t> gateway;  // the default route's next hop on it, if any
};

// The default route's gateway on `interfaceName` from the text of /proc/net/route.
std::optional<std::uint32_t> DefaultGateway(std::string_view procRoute,
                                            std::string_view interfaceName);

// The MAC the kernel holds for `address` on `interfaceName`, from the text of /proc/net/arp;
// only complete entries count.
std::optional<MacAddress> NeighbourMac(std::string_view procArp, std::uint32_t address,
                                       std::string_view interfaceName);

// The network that `target` (host byte order) is asked on; nothing where it is not on-link.
std::optional<ScannedNetwork> NetworkOf(std::uint32_t target);

// What the kernel's neighbour table holds for `address` on `interfaceName` now.
std::optional<MacAddress> KernelNeighbourMac(std::uint32_t address,
                                             const std::string& interfaceName);

}  // namespace talvik
