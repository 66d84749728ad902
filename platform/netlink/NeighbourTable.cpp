// SPDX-License-Identifier: GPL-3.0-or-later
#include "netlink/NeighbourTable.h"

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "netlink/NetlinkMessage.h"

namespace talvik {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kConfirmedStates = NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE;

long TicksPerSecond() {
    const long ticks = ::sysconf(_SC_CLK_TCK);
    return ticks > 0 ? ticks : 100;
}

}  // namespace

std::optional<NeighbourEntry> ParseNeighbourMessage(std::span<const std::uint8_t> message,
                                                    long ticksPerSecond) {
    std::size_t length = 0;
    const auto ndm = NetlinkBody<ndmsg>(message, RTM_NEWNEIGH, length);
    if (!ndm || ndm->ndm_family != AF_INET) {
        return std::nullopt;
    }
    NeighbourEntry entry;
    entry.ifindex = ndm->ndm_ifindex;
    entry.state = ndm->ndm_state;
    bool haveAddress = false;
    const bool whole = ForEachAttribute<ndmsg>(
        message, length, [&](unsigned short type, std::span<const std::uint8_t> payload) {
            if (type == NDA_DST && payload.size() == 4) {
                std::uint32_t address;
                std::memcpy(&address, payload.data(), 4);
                entry.address = ntohl(address);
                haveAddress = true;
            } else if (type == NDA_LLADDR && payload.size() == 6) {
                MacAddress mac;
                std::copy_n(payload.data(), 6, mac.begin());
                entry.mac = mac;
            } else if (type == NDA_CACHEINFO && payload.size() >= sizeof(nda_cacheinfo)) {
                nda_cacheinfo info;
                std::memcpy(&info, payload.data(), sizeof info);
                entry.confirmedAgo = std::chrono::milliseconds(std::int64_t{info.ndm_confirmed} *
                                                               1000 / ticksPerSecond);
            }
        });
    if (!whole || !haveAddress) {
        return std::nullopt;
    }
    return entry;
}

bool HasUsableMac(const std::optional<NeighbourEntry>& entry) {
    return entry && (entry->state & kConfirmedStates) != 0 && entry->mac &&
           IsUnicastMac(*entry->mac);
}

bool RecentlyConfirmed(const std::optional<NeighbourEntry>& entry,
                       std::chrono::milliseconds within) {
    if (!HasUsableMac(entry)) {
        return false;
    }
    if ((entry->state & NUD_REACHABLE) != 0) {
        return true;
    }
    return (entry->state & (NUD_STALE | NUD_DELAY | NUD_PROBE)) != 0 && entry->confirmedAgo &&
           *entry->confirmedAgo <= within;
}

std::chrono::milliseconds ReachableTime(const std::string& interfaceName) {
    std::ifstream file("/proc/sys/net/ipv4/neigh/" + interfaceName + "/base_reachable_time_ms");
    long long milliseconds = 0;
    if (interfaceName.find('/') == std::string::npos && file >> milliseconds && milliseconds > 0) {
        return std::chrono::milliseconds(milliseconds);
    }
    return std::chrono::seconds(30);
}

bool AwaitsReprobe(const std::optional<NeighbourEntry>& entry) {
    return HasUsableMac(entry) && (entry->state & (NUD_STALE | NUD_DELAY | NUD_PROBE)) != 0;
}

std::optional<MacAddress> ConfirmedSince(const NeighbourSighting& before, Clock::time_point trigger,
                                         const NeighbourSighting& now,
                                         std::chrono::milliseconds slack) {
    if (!HasUsableMac(now.entry) || !now.entry->confirmedAgo) {
        return std::nullopt;
    }
    const Clock::time_point confirmed = now.at - *now.entry->confirmedAgo;
    if (confirmed + slack < trigger) {
        return std::nullopt;
    }
    // A confirmation close to the trigger may be the one that was already there.
    if (HasUsableMac(before.entry) && before.entry->confirmedAgo) {
        const Clock::time_point earlier = before.at - *before.entry->confirmedAgo;
        if (confirmed <= earlier + slack) {
            return std::nullopt;
        }
    }
    return now.entry->mac;
}

NeighbourTable::NeighbourTable() : socket_(OpenRouteSocket()), ticksPerSecond_(TicksPerSecond()) {}

std::optional<NeighbourEntry> NeighbourTable::Lookup(int ifindex, std::uint32_t address) {
    if (!socket_.Valid()) {
        return std::nullopt;
    }
    struct {
        nlmsghdr header;
        ndmsg ndm;
        rtattr dstAttribute;
        std::uint32_t dst;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETNEIGH;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = ++sequence_;
    request.ndm.ndm_family = AF_INET;
    request.ndm.ndm_ifindex = ifindex;
    request.dstAttribute.rta_len = RTA_LENGTH(4);
    request.dstAttribute.rta_type = NDA_DST;
    request.dst = htonl(address);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket_.Get(), &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) != static_cast<ssize_t>(sizeof request)) {
        return std::nullopt;
    }
    alignas(nlmsghdr) std::uint8_t buffer[8192];
    for (;;) {
        const ssize_t got = ::recv(socket_.Get(), buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < static_cast<ssize_t>(sizeof(nlmsghdr))) {
            return std::nullopt;
        }
        nlmsghdr header;
        std::memcpy(&header, buffer, sizeof header);
        if (header.nlmsg_seq != sequence_) {
            continue;  // a late answer to an earlier lookup that timed out
        }
        if (header.nlmsg_type == NLMSG_ERROR) {
            return std::nullopt;  // ENOENT: no entry at all
        }
        return ParseNeighbourMessage(std::span(buffer, static_cast<std::size_t>(got)),
                                     ticksPerSecond_);
    }
}

UniqueFd OpenRouteSocket() {
    UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (fd.Valid()) {
        // A kernel that never answers must not hold a probe past its time.
        const timeval timeout{0, 200000};
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    return fd;
}

bool SendToKernel(const UniqueFd& fd, std::span<const std::uint8_t> request) {
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    return ::sendto(fd.Get(), request.data(), request.size(), 0,
                    reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) >= 0;
}

std::span<const std::uint8_t> ReceiveFromKernel(const UniqueFd& fd,
                                                std::span<std::uint8_t> buffer) {
    ssize_t got = -1;
    while ((got = ::recv(fd.Get(), buffer.data(), buffer.size(), 0)) < 0 && errno == EINTR) {
    }
    return got > 0 ? buffer.first(static_cast<std::size_t>(got)) : std::span<std::uint8_t>();
}

UniqueFd OpenRouteEvents(std::uint32_t groups) {
    UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    if (!fd.Valid()) {
        return fd;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = groups;
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        fd.Reset();
    }
    return fd;
}

UniqueFd OpenNeighbourEvents() {
    return OpenRouteEvents(RTMGRP_NEIGH);
}

void DrainNeighbourEvents(int socket) {
    alignas(nlmsghdr) std::uint8_t buffer[16384];
    while (::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT) > 0 || errno == ENOBUFS) {
    }
}

}  // namespace talvik
