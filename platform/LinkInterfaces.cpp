#include "platform/LinkInterfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <map>
#include <memory>

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
};

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
    for (const LinkInterface& link : interfaces) {
        if (link.address == target) {
            return LinkChoice{LinkVerdict::OwnAddress, link};
        }
    }
    int best = -1;
    for (const LinkInterface& link : interfaces) {
        if (link.prefixLength < 1 || link.prefixLength > 31 || link.prefixLength <= best) {
            continue;
        }
        const std::uint32_t mask = Mask(link.prefixLength);
        if ((target & mask) != (link.address & mask)) {
            continue;
        }
        // A /31 has no network or broadcast address; every other subnet has both.
        const std::uint32_t host = target & ~mask;
        if (link.prefixLength < 31 && (host == 0 || host == ~mask)) {
            continue;
        }
        best = link.prefixLength;
        choice = LinkChoice{LinkVerdict::OnLink, link};
    }
    return choice;
}

std::vector<LinkInterface> ListLinkInterfaces() {
    return ReadLinkInterfaces().value_or(std::vector<LinkInterface>{});
}

std::optional<std::vector<LinkInterface>> ReadLinkInterfaces() {
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
        if ((it->ifa_flags & IFF_UP) == 0 || (it->ifa_flags & kUnusable) != 0) {
            continue;
        }
        const auto* ll = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
        if (ll->sll_hatype != ARPHRD_ETHER || ll->sll_halen != 6) {
            continue;
        }
        LinkLayer layer;
        layer.index = ll->sll_ifindex;
        std::copy_n(ll->sll_addr, 6, layer.mac.begin());
        if (IsUnicastMac(layer.mac)) {
            links[it->ifa_name] = layer;
        }
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
        result.push_back(link);
    }
    std::stable_sort(
        result.begin(), result.end(),
        [](const LinkInterface& a, const LinkInterface& b) { return a.index < b.index; });
    return result;
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
