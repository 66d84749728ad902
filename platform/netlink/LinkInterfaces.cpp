// SPDX-License-Identifier: GPL-3.0-or-later
#include "netlink/LinkInterfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/ethtool.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "netlink/NeighbourTable.h"
#include "netlink/NetlinkMessage.h"

namespace talvik {
namespace {

std::uint32_t Mask(int prefixLength) {
    return prefixLength <= 0 ? 0 : ~std::uint32_t{0} << (32 - prefixLength);
}

bool IsNeverOnLink(std::uint32_t target) {
    const std::uint32_t first = target >> 24;
    return target == 0 || target == ~std::uint32_t{0} || first == 0 || first == 127 || first >= 224;
}

struct LinkLayer {
    int index = 0;
    MacAddress mac{};
    bool canArp = false;
};

bool InSubnet(const LinkInterface& link, std::uint32_t target) {
    const std::uint32_t mask = Mask(link.prefixLength);
    return link.prefixLength > 0 && (target & mask) == (link.address & mask);
}

// The network and broadcast addresses of a link's subnet are nobody's (a /31 has neither).
bool SubnetEdge(const LinkInterface& link, std::uint32_t target) {
    const std::uint32_t mask = Mask(link.prefixLength);
    const std::uint32_t host = target & ~mask;
    return InSubnet(link, target) && link.prefixLength < 31 && (host == 0 || host == ~mask);
}

const LinkInterface* OwnLink(std::span<const LinkInterface> interfaces, std::uint32_t target) {
    const auto own = std::ranges::find(interfaces, target, &LinkInterface::address);
    return own == interfaces.end() ? nullptr : &*own;
}

// Address labels ("eth0:1") name their interface before the colon.
std::string DeviceName(const char* label) {
    std::string name(label);
    const auto colon = name.find(':');
    return colon == std::string::npos ? name : name.substr(0, colon);
}

}  // namespace

LinkChoice ChooseLink(std::span<const LinkInterface> interfaces, std::uint32_t target) {
    LinkChoice choice;
    if (IsNeverOnLink(target)) {
        return choice;
    }
    if (const LinkInterface* own = OwnLink(interfaces, target)) {
        return LinkChoice{LinkVerdict::OwnAddress, *own};
    }
    int best = -1;
    for (const LinkInterface& link : interfaces) {
        if (!link.canArp || link.prefixLength > 31 || link.prefixLength <= best ||
            !InSubnet(link, target) || SubnetEdge(link, target)) {
            continue;
        }
        best = link.prefixLength;
        choice = LinkChoice{LinkVerdict::OnLink, link};
    }
    return choice;
}

namespace {

// The IPv4 addresses of the interfaces that are up, or of those that are down.
std::optional<std::vector<LinkInterface>> ReadInterfaces(bool up) {
    std::vector<LinkInterface> result;
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) {
        return std::nullopt;
    }
    const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> list(raw, &freeifaddrs);

    constexpr unsigned kUnusable = IFF_LOOPBACK | IFF_NOARP | IFF_POINTOPOINT;
    std::map<std::string, LinkLayer> links;
    for (const ifaddrs* it = raw; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_PACKET) {
            continue;
        }
        if (((it->ifa_flags & IFF_UP) != 0) != up) {
            continue;
        }
        const auto* ll = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
        LinkLayer layer;
        layer.index = ll->sll_ifindex;
        if (ll->sll_halen == 6) {
            std::copy_n(ll->sll_addr, 6, layer.mac.begin());
        }
        layer.canArp = (it->ifa_flags & kUnusable) == 0 && ll->sll_hatype == ARPHRD_ETHER &&
                       ll->sll_halen == 6 && IsUnicastMac(layer.mac);
        links[it->ifa_name] = layer;
    }
    for (const ifaddrs* it = raw; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET || !it->ifa_netmask) {
            continue;
        }
        const auto found = links.find(DeviceName(it->ifa_name));
        if (found == links.end()) {
            continue;
        }
        const auto* address = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
        const auto* netmask = reinterpret_cast<const sockaddr_in*>(it->ifa_netmask);
        LinkInterface link;
        link.name = found->first;
        link.index = found->second.index;
        link.mac = found->second.mac;
        link.address = ntohl(address->sin_addr.s_addr);
        link.prefixLength = std::popcount(ntohl(netmask->sin_addr.s_addr));
        link.canArp = found->second.canArp;
        result.push_back(link);
    }
    std::stable_sort(
        result.begin(), result.end(),
        [](const LinkInterface& a, const LinkInterface& b) { return a.index < b.index; });
    return result;
}

}  // namespace

std::optional<std::vector<LinkInterface>> ReadLinkInterfaces() {
    return ReadInterfaces(true);
}

std::optional<std::vector<LinkInterface>> ReadDownLinkInterfaces() {
    return ReadInterfaces(false);
}

std::optional<LinkInterface> DownLinkFor(std::uint32_t target) {
    const auto down = ReadInterfaces(false);
    if (!down) {
        return std::nullopt;
    }
    const LinkChoice choice = ChooseLink(*down, target);
    if (choice.verdict == LinkVerdict::NotOnLink) {
        return std::nullopt;
    }
    return choice.link;
}

std::vector<std::uint8_t> BuildRouteRequest(std::uint32_t target, std::uint32_t sequence) {
    std::vector<std::uint8_t> bytes(NLMSG_SPACE(sizeof(rtmsg)) + RTA_SPACE(4));
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(bytes.size());
    header.nlmsg_type = RTM_GETROUTE;
    header.nlmsg_flags = NLM_F_REQUEST;
    header.nlmsg_seq = sequence;
    rtmsg route{};
    route.rtm_family = AF_INET;
    route.rtm_dst_len = 32;
    rtattr destination{};
    destination.rta_len = RTA_LENGTH(4);
    destination.rta_type = RTA_DST;
    const std::uint32_t address = htonl(target);
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + NLMSG_HDRLEN, &route, sizeof route);
    std::uint8_t* attribute = bytes.data() + NLMSG_SPACE(sizeof(rtmsg));
    std::memcpy(attribute, &destination, sizeof destination);
    std::memcpy(attribute + RTA_LENGTH(0), &address, sizeof address);
    return bytes;
}

std::optional<Route> ParseRouteReply(std::span<const std::uint8_t> message) {
    std::size_t length = 0;
    const auto info = NetlinkBody<rtmsg>(message, RTM_NEWROUTE, length);
    if (!info || info->rtm_family != AF_INET) {
        return std::nullopt;
    }
    Route route;
    route.type = info->rtm_type;
    const bool whole = ForEachAttribute<rtmsg>(
        message, length, [&route](unsigned short type, std::span<const std::uint8_t> payload) {
            std::uint32_t value = 0;
            if (payload.size() == 4) {
                std::memcpy(&value, payload.data(), 4);
            }
            if (type == RTA_OIF && payload.size() == 4) {
                route.outputIndex = static_cast<int>(value);
            } else if (type == RTA_GATEWAY) {
                route.viaGateway = true;
            } else if (type == RTA_PREFSRC && payload.size() == 4) {
                route.source = ntohl(value);
            }
        });
    if (!whole) {
        return std::nullopt;
    }
    return route;
}

std::optional<std::optional<Route>> AskRoute(std::uint32_t target) {
    const UniqueFd fd = OpenRouteSocket();
    if (!fd.Valid()) {
        return std::nullopt;
    }
    if (!SendToKernel(fd, BuildRouteRequest(target, 1))) {
        return std::nullopt;
    }
    alignas(nlmsghdr) std::uint8_t buffer[4096];
    const auto reply = ReceiveFromKernel(fd, buffer);
    if (reply.empty()) {
        return std::nullopt;
    }
    return ParseRouteReply(reply);
}

std::optional<std::vector<std::optional<Route>>> AskRoutes(std::span<const std::uint32_t> targets) {
    // One socket for all: opening one per target costs more than the lookup itself.
    const UniqueFd fd = OpenRouteSocket();
    if (!fd.Valid()) {
        return std::nullopt;
    }
    std::vector<std::optional<Route>> routes;
    routes.reserve(targets.size());
    alignas(nlmsghdr) std::uint8_t buffer[4096];
    std::uint32_t sequence = 0;
    for (const std::uint32_t target : targets) {
        if (!SendToKernel(fd, BuildRouteRequest(target, ++sequence))) {
            return std::nullopt;
        }
        std::span<const std::uint8_t> reply;
        // A late answer to an earlier question is passed over by its number.
        do {
            reply = ReceiveFromKernel(fd, buffer);
        } while (reply.size() >= sizeof(nlmsghdr) &&
                 reinterpret_cast<const nlmsghdr*>(reply.data())->nlmsg_seq != sequence);
        if (reply.empty()) {
            return std::nullopt;
        }
        routes.push_back(ParseRouteReply(reply));
    }
    return routes;
}

LinkChoice ChooseRoute(std::span<const LinkInterface> interfaces, std::uint32_t target) {
    if (IsNeverOnLink(target)) {
        return ChooseRoute(interfaces, target, std::nullopt);
    }
    const auto route = AskRoute(target);
    // A kernel that could not be asked (no descriptor free) is no reason to call the target
    // off-link: the subnets of the interfaces that carry ARP say it then.
    return route ? ChooseRoute(interfaces, target, *route) : ChooseLink(interfaces, target);
}

LinkChoice ChooseRoute(std::span<const LinkInterface> interfaces, std::uint32_t target,
                       const std::optional<Route>& route) {
    // Loopback addresses are ours too, but on no segment: no MAC may stand for them.
    if (IsNeverOnLink(target)) {
        return LinkChoice{};
    }
    if (const LinkInterface* own = OwnLink(interfaces, target)) {
        return LinkChoice{LinkVerdict::OwnAddress, *own};
    }
    if (!route || route->type != RTN_UNICAST || route->viaGateway) {
        return LinkChoice{};
    }
    // The route's source address on its interface; else an address of the interface whose
    // subnet holds the target; else its first.
    const LinkInterface* chosen = nullptr;
    for (const LinkInterface& link : interfaces) {
        if (link.index != route->outputIndex || !link.canArp) {
            continue;
        }
        if (route->source == link.address) {
            chosen = &link;
            break;
        }
        if (!chosen || (InSubnet(link, target) && !InSubnet(*chosen, target))) {
            chosen = &link;
        }
    }
    if (!chosen || SubnetEdge(*chosen, target)) {
        return LinkChoice{};
    }
    return LinkChoice{LinkVerdict::OnLink, *chosen};
}

// IFF_LOWER_UP, the carrier, which <net/if.h> does not name. IFF_RUNNING would do too, but
// the kernel sets it only a while after the carrier comes.
constexpr unsigned kLowerUp = 0x10000;

bool LinkEvent::Usable() const {
    return !removed && (flags & IFF_UP) != 0 && (flags & kLowerUp) != 0;
}

std::vector<LinkEvent> ParseLinkEvents(std::span<const std::uint8_t> buffer) {
    std::vector<LinkEvent> events;
    std::size_t offset = 0;
    while (buffer.size() - offset >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, buffer.data() + offset, sizeof header);
        if (header.nlmsg_len < sizeof header || header.nlmsg_len > buffer.size() - offset) {
            break;
        }
        if ((header.nlmsg_type == RTM_NEWLINK || header.nlmsg_type == RTM_DELLINK) &&
            header.nlmsg_len >= NLMSG_LENGTH(sizeof(ifinfomsg))) {
            ifinfomsg info;
            std::memcpy(&info, buffer.data() + offset + NLMSG_HDRLEN, sizeof info);
            events.push_back(
                LinkEvent{info.ifi_index, info.ifi_flags, header.nlmsg_type == RTM_DELLINK});
        }
        offset += NLMSG_ALIGN(header.nlmsg_len);
    }
    return events;
}

UniqueFd OpenLinkEvents() {
    return OpenRouteEvents(RTMGRP_LINK);
}

bool LinkUsable(const std::string& name) {
    const UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    if (!fd.Valid() || name.size() >= sizeof request.ifr_name) {
        return true;  // cannot tell: the probe itself will say
    }
    std::memcpy(request.ifr_name, name.c_str(), name.size());
    if (::ioctl(fd.Get(), SIOCGIFFLAGS, &request) != 0) {
        return errno != ENODEV;
    }
    if ((request.ifr_flags & IFF_UP) == 0) {
        return false;
    }
    // The flags asked this way stop short of the carrier; the driver tells it.
    ethtool_value link{};
    link.cmd = ETHTOOL_GLINK;
    request.ifr_data = reinterpret_cast<char*>(&link);
    return ::ioctl(fd.Get(), SIOCETHTOOL, &request) != 0 || link.data != 0;
}

std::uint32_t SendFailure(int error) {
    switch (error) {
        case ENETDOWN:
        case ENXIO:
        case ENODEV:
            return kErrorNetworkUnreachable;
        case EPERM:
        case EACCES:
            return kErrorAccessDenied;
        default:
            return kErrorGenFailure;
    }
}

}  // namespace talvik
