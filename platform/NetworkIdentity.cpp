// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/NetworkIdentity.h"

#include <arpa/inet.h>

#include <fstream>
#include <sstream>

#include "platform/LinkInterfaces.h"
#include "platform/MacVendors.h"

namespace talvik {

namespace {

std::string ReadAll(const char* path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The kernel writes addresses in the route table as the hex of their network-order bytes read
// as a native (little-endian) word.
std::optional<std::uint32_t> RouteAddress(const std::string& hex) {
    if (hex.size() != 8) {
        return std::nullopt;
    }
    std::uint32_t word = 0;
    for (const char c : hex) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : -1;
        if (digit < 0) {
            return std::nullopt;
        }
        word = (word << 4) | static_cast<std::uint32_t>(digit);
    }
    return ((word & 0xFFu) << 24) | ((word & 0xFF00u) << 8) | ((word >> 8) & 0xFF00u) |
           (word >> 24);
}

}  // namespace

std::optional<std::uint32_t> DefaultGateway(std::string_view routeTable,
                                            std::string_view interfaceName) {
    constexpr unsigned kRouteUp = 0x1;
    constexpr unsigned kRouteGateway = 0x2;
    std::istringstream lines{std::string(routeTable)};
    std::string line;
    std::getline(lines, line);  // the header
    std::optional<std::uint32_t> best;
    long bestMetric = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags, refs, use, metric, mask;
        if (!(fields >> name >> destination >> gateway >> flags >> refs >> use >> metric >> mask)) {
            continue;
        }
        unsigned flagBits = 0;
        long metricValue = 0;
        try {
            flagBits = static_cast<unsigned>(std::stoul(flags, nullptr, 16));
            metricValue = std::stol(metric);
        } catch (...) {
            continue;
        }
        const auto to = RouteAddress(destination);
        const auto via = RouteAddress(gateway);
        const auto netmask = RouteAddress(mask);
        if (name != interfaceName || !to || !via || !netmask || *to != 0 || *netmask != 0 ||
            *via == 0 || (flagBits & (kRouteUp | kRouteGateway)) != (kRouteUp | kRouteGateway)) {
            continue;
        }
        if (!best || metricValue < bestMetric) {
            best = via;
            bestMetric = metricValue;
        }
    }
    return best;
}

std::optional<MacAddress> NeighbourMac(std::string_view arpTable, std::uint32_t address,
                                       std::string_view interfaceName) {
    constexpr unsigned kComplete = 0x2;
    std::istringstream lines{std::string(arpTable)};
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string ip, type, flags, mac, mask, device;
        in_addr parsed{};
        if (!(fields >> ip >> type >> flags >> mac >> mask >> device) || device != interfaceName ||
            ::inet_pton(AF_INET, ip.c_str(), &parsed) != 1 || ntohl(parsed.s_addr) != address) {
            continue;
        }
        unsigned flagBits = 0;
        try {
            flagBits = static_cast<unsigned>(std::stoul(flags, nullptr, 16));
        } catch (...) {
            continue;
        }
        const auto bytes = ParseMacText(mac);
        if ((flagBits & kComplete) != 0 && bytes && *bytes != MacAddress{}) {
            return *bytes;
        }
    }
    return std::nullopt;
}

std::optional<NetworkSight> SeeNetworkOf(std::uint32_t target) {
    const auto interfaces = ReadLinkInterfaces();
    if (!interfaces) {
        return std::nullopt;
    }
    const LinkChoice choice = ChooseRoute(*interfaces, target);
    if (choice.verdict == LinkVerdict::NotOnLink) {
        return std::nullopt;
    }
    NetworkSight sight;
    sight.prefixLength = choice.link.prefixLength;
    const std::uint32_t mask =
        sight.prefixLength <= 0 ? 0 : ~std::uint32_t{0} << (32 - sight.prefixLength);
    sight.subnet = choice.link.address & mask;
    if (const auto gateway = DefaultGateway(ReadAll("/proc/net/route"), choice.link.name)) {
        sight.gatewayMac = NeighbourMac(ReadAll("/proc/net/arp"), *gateway, choice.link.name);
    }
    return sight;
}

}  // namespace talvik
