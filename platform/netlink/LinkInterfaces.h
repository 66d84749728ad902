// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Which interface, source address and MAC an ARP request for a target goes out from.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "os/MacAddress.h"
#include "os/UniqueFd.h"
#include "scan/Ports.h"

namespace talvik {

// One IPv4 address on an Ethernet interface that can carry ARP.
struct LinkInterface {
    std::string name;
    int index = 0;
    MacAddress mac{};
    std::uint32_t address = 0;  // host byte order
    int prefixLength = 0;
    // False for an interface that carries no ARP (NOARP, point-to-point, loopback, not
    // Ethernet): its addresses are ours, but nothing is ever asked on it.
    bool canArp = true;
};

enum class LinkVerdict {
    OwnAddress,  // the target is one of ours: its MAC is the interface's, nothing is sent
    OnLink,      // ask on `link`, from its address and MAC
    NotOnLink,   // on no connected subnet: nothing may be sent
};

struct LinkChoice {
    LinkVerdict verdict = LinkVerdict::NotOnLink;
    LinkInterface link;
};

// The most specific connected subnet that holds `target` (host byte order); on equal prefixes
// the first in the list wins. Network and broadcast addresses of a subnet are nobody's.
LinkChoice ChooseLink(std::span<const LinkInterface> interfaces, std::uint32_t target);

// Where the kernel sends to a target, from its route lookup.
struct Route {
    int outputIndex = 0;
    bool viaGateway = false;
    std::uint8_t type = 0;                // RTN_*: unicast, local, broadcast, unreachable...
    std::optional<std::uint32_t> source;  // host byte order
};

// The rtnetlink request that asks the kernel's route to `target` (host byte order), as
// `ip route get` does.
std::vector<std::uint8_t> BuildRouteRequest(std::uint32_t target, std::uint32_t sequence);
// The route in the kernel's answer; nothing for an error (no route) or a broken message.
std::optional<Route> ParseRouteReply(std::span<const std::uint8_t> message);
// Asks the kernel: nothing when it could not be asked, else its route or none.
std::optional<std::optional<Route>> AskRoute(std::uint32_t target);

// The same for many targets over one socket, in their order.
std::optional<std::vector<std::optional<Route>>> AskRoutes(std::span<const std::uint32_t> targets);

// The kernel's way to `target`: our own address on any interface; on-link only where the
// kernel sends to it directly (no gateway) on an interface that can carry ARP, from the
// route's source address; otherwise not on-link.
LinkChoice ChooseRoute(std::span<const LinkInterface> interfaces, std::uint32_t target);
// The same, from the route the kernel gave (nothing: it has none).
LinkChoice ChooseRoute(std::span<const LinkInterface> interfaces, std::uint32_t target,
                       const std::optional<Route>& route);

// The IPv4 addresses of every interface that is up, from the kernel (those that cannot carry
// ARP marked so); nothing, with errno set, when the kernel could not be asked (e.g. no
// descriptor free).
std::optional<std::vector<LinkInterface>> ReadLinkInterfaces();

// The IPv4 addresses of every interface that is down, for many targets at once.
std::optional<std::vector<LinkInterface>> ReadDownLinkInterfaces();

// An interface that is down (not up) and whose subnet, or own address, holds `target`: its
// routes are gone with it, but the target is on its segment.
std::optional<LinkInterface> DownLinkFor(std::uint32_t target);

// One change of an interface, from an rtnetlink link message.
struct LinkEvent {
    int index = 0;
    unsigned flags = 0;    // IFF_* bits
    bool removed = false;  // RTM_DELLINK
    // Whether a target can be asked on it: up, and with carrier.
    bool Usable() const;
};

// The events in a buffer read from a link event socket (RTM_NEWLINK and RTM_DELLINK messages;
// anything else, or anything cut short, is passed over).
std::vector<LinkEvent> ParseLinkEvents(std::span<const std::uint8_t> buffer);

// A non-blocking netlink socket that hears of every change to an interface.
UniqueFd OpenLinkEvents();

// Whether the interface named `name` is there, up and with carrier, asked now.
bool LinkUsable(const std::string& name);

// What a send that failed with `error` (an errno) means for its probe: its link is down or
// gone (kErrorNetworkUnreachable), the system refused it (kErrorAccessDenied), or anything
// else (kErrorGenFailure).
std::uint32_t SendFailure(int error);

}  // namespace talvik
