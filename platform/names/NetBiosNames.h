// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The name a Windows host (or a Samba server, a printer, a NAS) gives itself, asked by a
// NetBIOS node status query (RFC 1002, 4.2.17 and 4.2.18): one UDP datagram to port 137 of
// the host, no privileges. Home routers rarely serve reverse DNS and Windows announces no mDNS
// name, so this is often the only name such a host has.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "names/HostNames.h"
#include "os/MacAddress.h"

namespace talvik {

inline constexpr std::uint16_t kNetBiosNamePort = 137;

// The node status request for the wildcard name "*", with transaction `id`.
std::array<std::uint8_t, 50> BuildNodeStatusRequest(std::uint16_t id);

// One entry of a node's name table.
struct NetBiosName {
    std::string name;         // as sent, trailing spaces removed; in the host's OEM code page
    std::uint8_t suffix = 0;  // the service: 0x00 workstation, 0x20 file server, ...
    bool group = false;
    bool active = true;
};

struct NodeStatus {
    std::vector<NetBiosName> names;
    std::optional<MacAddress> unitId;  // the MAC the host reports, all zero from Samba
};

// The node status response to the request `id`; nothing for anything else (another id, a
// request, an error code, a message cut short).
std::optional<NodeStatus> ParseNodeStatusReply(std::span<const std::uint8_t> datagram,
                                               std::uint16_t id);

// The host's own name among its table: the first active unique workstation name, else the
// first active unique name of any service. A name outside ASCII is read as GB18030 (what a
// Chinese Windows sends) and given as UTF-8.
std::optional<std::string> HostNameOf(const NodeStatus& status);

// Names hosts by a node status query. Each lookup sends the query twice within `timeout` and
// waits at most that long, reading every datagram the host sends, of any size, until the answer
// to its own query; it gives up early once its stop is requested.
class NetBiosNames final : public IHostNames {
public:
    explicit NetBiosNames(std::chrono::milliseconds timeout = std::chrono::milliseconds(1000))
        : timeout_(timeout) {}
    std::optional<std::string> NameOf(std::uint32_t address, std::stop_token stop) override;

private:
    std::chrono::milliseconds timeout_;
};

}  // namespace talvik
