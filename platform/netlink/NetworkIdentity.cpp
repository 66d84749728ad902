// SPDX-License-Identifier: GPL-3.0-or-later
#include "netlink/NetworkIdentity.h"

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "netlink/LinkInterfaces.h"
#include "netlink/NeighbourTable.h"
#include "netlink/NetlinkMessage.h"

namespace talvik {

std::vector<std::uint8_t> BuildRouteDumpRequest(std::uint32_t sequence) {
    std::vector<std::uint8_t> bytes(NLMSG_SPACE(sizeof(rtmsg)));
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(bytes.size());
    header.nlmsg_type = RTM_GETROUTE;
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header.nlmsg_seq = sequence;
    rtmsg route{};
    route.rtm_family = AF_INET;
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + NLMSG_HDRLEN, &route, sizeof route);
    return bytes;
}

std::vector<DefaultRoute> ParseDefaultRoutes(std::span<const std::uint8_t> buffer, bool& done) {
    std::vector<DefaultRoute> routes;
    std::size_t offset = 0;
    while (offset + sizeof(nlmsghdr) <= buffer.size()) {
        nlmsghdr header;
        std::memcpy(&header, buffer.data() + offset, sizeof header);
        if (header.nlmsg_len < sizeof header || offset + header.nlmsg_len > buffer.size()) {
            done = true;  // cut short: nothing after it can be trusted
            break;
        }
        const auto message = buffer.subspan(offset, header.nlmsg_len);
        offset += NLMSG_ALIGN(header.nlmsg_len);
        if (header.nlmsg_type == NLMSG_DONE || header.nlmsg_type == NLMSG_ERROR) {
            done = true;
            break;
        }
        std::size_t length = 0;
        const auto info = NetlinkBody<rtmsg>(message, RTM_NEWROUTE, length);
        if (!info || info->rtm_family != AF_INET || info->rtm_dst_len != 0 ||
            info->rtm_type != RTN_UNICAST) {
            continue;
        }
        DefaultRoute route;
        std::uint32_t table = info->rtm_table;
        bool hasGateway = false;
        const bool whole = ForEachAttribute<rtmsg>(
            message, length, [&](unsigned short type, std::span<const std::uint8_t> payload) {
                if (payload.size() != 4) {
                    return;
                }
                std::uint32_t value = 0;
                std::memcpy(&value, payload.data(), 4);
                if (type == RTA_OIF) {
                    route.outputIndex = static_cast<int>(value);
                } else if (type == RTA_GATEWAY) {
                    route.gateway = ntohl(value);
                    hasGateway = true;
                } else if (type == RTA_PRIORITY) {
                    route.priority = value;
                } else if (type == RTA_TABLE) {
                    table = value;
                }
            });
        if (whole && hasGateway && table == RT_TABLE_MAIN && route.outputIndex > 0) {
            routes.push_back(route);
        }
    }
    return routes;
}

std::optional<std::vector<DefaultRoute>> ReadDefaultRoutes() {
    const UniqueFd fd = OpenRouteSocket();
    if (!fd.Valid()) {
        return std::nullopt;
    }
    if (!SendToKernel(fd, BuildRouteDumpRequest(1))) {
        return std::nullopt;
    }
    std::vector<DefaultRoute> routes;
    alignas(nlmsghdr) std::uint8_t buffer[16384];
    for (bool done = false; !done;) {
        const auto reply = ReceiveFromKernel(fd, buffer);
        if (reply.empty()) {
            return std::nullopt;
        }
        const auto some = ParseDefaultRoutes(reply, done);
        routes.insert(routes.end(), some.begin(), some.end());
    }
    return routes;
}

std::optional<NetworkIdentity> IdentifyNetwork(std::uint32_t target) {
    const auto interfaces = ReadLinkInterfaces();
    if (!interfaces) {
        return std::nullopt;
    }
    const LinkChoice choice = ChooseRoute(*interfaces, target);
    if (choice.verdict == LinkVerdict::NotOnLink) {
        return std::nullopt;
    }
    NetworkIdentity identity;
    identity.interfaceName = choice.link.name;
    identity.interfaceIndex = choice.link.index;
    identity.address = choice.link.address;
    identity.prefixLength = choice.link.prefixLength;

    auto routes = ReadDefaultRoutes().value_or(std::vector<DefaultRoute>{});
    std::erase_if(routes, [&](const DefaultRoute& route) {
        return route.outputIndex != identity.interfaceIndex;
    });
    if (routes.empty()) {
        return identity;
    }
    // The route the kernel prefers: the lowest metric.
    const auto best = std::ranges::min_element(routes, {}, &DefaultRoute::priority);
    identity.gateway = best->gateway;
    NeighbourTable table;
    if (const auto entry = table.Lookup(identity.interfaceIndex, best->gateway);
        entry && entry->mac && (entry->state & (NUD_INCOMPLETE | NUD_FAILED)) == 0 &&
        IsUnicastMac(*entry->mac)) {
        identity.gatewayMac = entry->mac;
    }
    return identity;
}

}  // namespace talvik
