// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Which network a scan ran on, so that what it found can be remembered per network: the
// subnet of the interface the kernel sends to the targets on and, where that interface has a
// default route, the gateway's MAC. Two homes that both use 192.168.1.0/24 have different
// routers, so they stay apart; read over rtnetlink without privileges, nothing is sent.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "os/MacAddress.h"

namespace talvik {

struct NetworkIdentity {
    std::string interfaceName;
    int interfaceIndex = 0;
    std::uint32_t address = 0;  // ours on the interface, host byte order
    int prefixLength = 0;
    std::optional<std::uint32_t> gateway;  // the default route's gateway on that interface
    // As the kernel's neighbour table holds it. A gateway without a MAC there (nothing was
    // sent to it lately) may still have answered the scan: its row's MAC is the same thing.
    std::optional<MacAddress> gatewayMac;
};

// One IPv4 default route of the main table.
struct DefaultRoute {
    int outputIndex = 0;
    std::uint32_t gateway = 0;  // host byte order
    std::uint32_t priority = 0;
};

// The rtnetlink request that dumps the kernel's IPv4 routes, as `ip route show` does.
std::vector<std::uint8_t> BuildRouteDumpRequest(std::uint32_t sequence);
// The default routes with a gateway among the messages of one read of a route dump; `done`
// is set at the message that ends the dump (or an error).
std::vector<DefaultRoute> ParseDefaultRoutes(std::span<const std::uint8_t> buffer, bool& done);
// Asks the kernel: nothing when it could not be asked.
std::optional<std::vector<DefaultRoute>> ReadDefaultRoutes();

// The network the kernel would reach `target` (host byte order) on directly; nothing when it
// is not on a connected subnet of an interface that carries ARP.
std::optional<NetworkIdentity> IdentifyNetwork(std::uint32_t target);

}  // namespace talvik
