// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The kernel's IPv4 neighbour table, read over rtnetlink without privileges, and the rule by
// which an entry proves that a host answered after we asked.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "os/MacAddress.h"
#include "os/UniqueFd.h"

namespace talvik {

struct NeighbourEntry {
    int ifindex = 0;
    std::uint32_t address = 0;  // host byte order
    std::uint16_t state = 0;    // NUD_* bits
    std::optional<MacAddress> mac;
    // How long ago the kernel last had the neighbour confirmed, as it reports it.
    std::optional<std::chrono::milliseconds> confirmedAgo;
};

// What the table said about one neighbour at one moment; no entry is an answer too.
struct NeighbourSighting {
    std::optional<NeighbourEntry> entry;
    std::chrono::steady_clock::time_point at;
};

// The entry an RTM_NEWNEIGH message describes, when it is one for IPv4. `ticksPerSecond` is
// the unit of its confirmation times (USER_HZ).
std::optional<NeighbourEntry> ParseNeighbourMessage(std::span<const std::uint8_t> message,
                                                    long ticksPerSecond);

// The target's MAC when `now` shows a confirmation that happened after `trigger`: the entry
// holds a unicast MAC in a state the kernel reached by a confirmation (reachable, stale,
// delay, probe; never incomplete, failed, static or noarp), and it was confirmed no earlier
// than the trigger and later than anything `before` showed. `slack` absorbs the coarse
// units of the kernel's times.
std::optional<MacAddress> ConfirmedSince(const NeighbourSighting& before,
                                         std::chrono::steady_clock::time_point trigger,
                                         const NeighbourSighting& now,
                                         std::chrono::milliseconds slack);

// True when the kernel holds a MAC for the neighbour that it confirmed recently: reachable, or
// stale, delay or probe with the last confirmation no longer ago than `within` (the
// interface's reachable time). The kernel does not ask again for such a neighbour, so its
// entry is the answer.
bool RecentlyConfirmed(const std::optional<NeighbourEntry>& entry,
                       std::chrono::milliseconds within);

// The kernel's base reachable time on the interface, 30 s when it cannot be read.
std::chrono::milliseconds ReachableTime(const std::string& interfaceName);

// True for the states in which the kernel will ask the neighbour again by itself, later:
// it holds a MAC but no fresh confirmation.
bool AwaitsReprobe(const std::optional<NeighbourEntry>& entry);

// True when the entry has a MAC in a state that may be used to send to it.
bool HasUsableMac(const std::optional<NeighbourEntry>& entry);

// One rtnetlink socket for lookups of single neighbours.
class NeighbourTable final {
public:
    NeighbourTable();
    bool Valid() const { return socket_.Valid(); }
    // The entry, nothing when there is none (or the kernel could not be asked).
    std::optional<NeighbourEntry> Lookup(int ifindex, std::uint32_t address);

private:
    UniqueFd socket_;
    std::uint32_t sequence_ = 0;
    long ticksPerSecond_;
};

// An rtnetlink socket to ask the kernel on, whose answers are waited for 200 ms at most.
UniqueFd OpenRouteSocket();
// Sends `request` to the kernel on `fd`; false when it would not take it.
bool SendToKernel(const UniqueFd& fd, std::span<const std::uint8_t> request);
// The kernel's next answer on `fd` into `buffer`, across interruptions; empty on a time-out or a
// failure.
std::span<const std::uint8_t> ReceiveFromKernel(const UniqueFd& fd, std::span<std::uint8_t> buffer);
// Non-blocking rtnetlink socket that hears of the changes of `groups` (RTMGRP_*).
UniqueFd OpenRouteEvents(std::uint32_t groups);
// Netlink socket that hears of every change to the neighbour table.
UniqueFd OpenNeighbourEvents();
// Reads away what is waiting on an event socket; the table itself is then looked at again.
void DrainNeighbourEvents(int socket);

}  // namespace talvik
