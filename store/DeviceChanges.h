// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What one scan tells about a network that was scanned before: which devices are new, which
// address answers with another MAC than last time, which silent address answered once. Pure
// functions over plain records, so the window, the command and the store agree on the rules.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace talvik::store {

// Unix time in seconds.
using Seconds = std::int64_t;

// A network is told apart by the subnet the scan ran on and, where it has one, its gateway's
// MAC: two homes on 192.168.1.0/24 behind different routers are two networks.
struct NetworkId {
    std::string subnet;      // "192.168.1.0/24"
    std::string gatewayMac;  // "aa-bb-cc-dd-ee-ff"; empty where there is no gateway
    // Where the gateway is, to name it to the user; 0 when not known. Not part of the identity.
    std::uint32_t gateway = 0;
    bool operator==(const NetworkId& other) const {
        return subnet == other.subnet && gatewayMac == other.gatewayMac;
    }
};

// The identity of the network `subnet` (host byte order, any address inside it) of
// `prefixLength` bits with the gateway's MAC, if any.
NetworkId MakeNetworkId(std::uint32_t subnet, int prefixLength,
                        const std::optional<std::array<std::uint8_t, 6>>& gatewayMac);

// A MAC written as the result list writes it ("aa-bb-cc-dd-ee-ff"), from six hex pairs
// separated by '-' or ':' in either case; nothing for anything else.
std::optional<std::string> NormalMac(std::string_view text);

// One device of a network as the store knows it.
struct Device {
    std::string mac;            // "aa-bb-cc-dd-ee-ff"
    std::uint32_t address = 0;  // the last address it answered at, host byte order
    std::string maker;          // as last given; may be empty
    std::string hostName;       // the last name found for it; may be empty
    std::string name;           // the user's own name for it; empty when none
    Seconds firstSeen = 0;
    Seconds lastSeen = 0;
    bool online = false;  // answered in the network's last scan
    // Its address was asked in the network's last scan: not online then means it was silent;
    // otherwise that scan says nothing of it.
    bool asked = false;
};

// Which MAC last answered at an address, and when.
struct LastAnswer {
    std::uint32_t address = 0;
    std::string mac;
    Seconds when = 0;
};

// What is known of a network before a scan of it is written.
struct NetworkHistory {
    std::vector<Device> devices;
    std::vector<LastAnswer> lastAnswers;
};

// One row of a scan: an address that was asked, and what answered.
struct ScanRow {
    std::uint32_t address = 0;  // host byte order
    std::string mac;            // empty: silent
    std::string maker;          // empty: unknown, the one on record stays
    std::string hostName;       // empty: unknown, the one on record stays
};

// The identity of a network whose gateway is at `gateway`: where the kernel held no MAC for it
// (nothing was sent to it lately) but it answered the scan in `rows`, the MAC it answered with.
NetworkId MakeNetworkId(std::uint32_t subnet, int prefixLength,
                        const std::optional<std::uint32_t>& gateway,
                        const std::optional<std::array<std::uint8_t, 6>>& gatewayMac,
                        std::span<const ScanRow> rows);

// The other MAC that answered at an address the last time it answered.
struct PreviousMac {
    std::string mac;
    std::string maker;
    Seconds when = 0;
};

// What a silent address answered with the last time it answered.
struct LastOnline {
    Seconds when = 0;
    std::string mac;
    std::string name;      // the user's name of that device; may be empty
    std::string hostName;  // its host name; may be empty
};

// What a scan's row means against the network's history.
struct RowChange {
    std::uint32_t address = 0;
    std::string mac;                       // as answered, normalised; empty: silent
    bool isNew = false;                    // a MAC this network has never seen
    std::optional<PreviousMac> previous;   // answered, but last time another MAC did
    std::optional<LastOnline> lastOnline;  // silent, but it answered before
    Seconds firstSeen = 0;                 // answered rows: when the device was first seen
    std::string name;                      // answered rows: the user's name of the device
};

// One change per row, in the rows' order. A MAC that is not a MAC counts as silent.
std::vector<RowChange> CompareScan(const NetworkHistory& history, std::span<const ScanRow> rows,
                                   Seconds now);

// How many rows bring a device this network has never seen.
int CountNew(std::span<const RowChange> changes);

// A date and time as the window and the command show it, in local time ("2026-12-09 14:03").
std::string LocalDateText(Seconds when);

}  // namespace talvik::store
