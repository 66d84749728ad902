// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a watched network's frames and scans mean as they come: a device new to the network, one
// back after it left, one gone, a changed MAC, two MACs on one address, a changed gateway. One
// state per network, fed in time order, with no clock or I/O of its own, so the command and the
// window say the same thing for the same traffic.

#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "store/DeviceChanges.h"

namespace talvik::store {

// Milliseconds since the epoch.
using Millis = std::int64_t;

enum class WatchEventKind { New, Back, Gone, MacChanged, Conflict, GatewayChanged };

// "new", "back", "gone", "mac-changed", "conflict", "gateway-changed".
std::string_view WatchEventName(WatchEventKind kind);

struct WatchEvent {
    WatchEventKind kind = WatchEventKind::New;
    Millis when = 0;
    std::uint32_t address = 0;  // host byte order
    std::string mac;            // "aa-bb-cc-dd-ee-ff"
    std::string name;           // the user's name of the device, else its host name; may be empty
    std::string previousMac;    // the MAC the address had before; empty where there was none
    bool isPrivate = false;     // a locally administered MAC
    bool operator==(const WatchEvent&) const = default;
};

// One address and the MAC that claimed it: a frame heard, or a scan's answer.
struct Claim {
    std::uint32_t address = 0;
    std::string mac;       // any form NormalMac takes; empty in a scan: the address was silent
    std::string hostName;  // where the caller knows it; may be empty
};

// Said once each, beside the events.
enum class WatchNote {
    ManyAddresses,  // `mac` answers for many addresses: its further ones are not reported
    Bound,          // more devices than the bound: the least recently heard are forgotten
};
struct WatchNoteAt {
    WatchNote note = WatchNote::ManyAddresses;
    std::string mac;
    bool operator==(const WatchNoteAt&) const = default;
};

struct WatchOutcome {
    std::vector<WatchEvent> events;
    std::vector<WatchNoteAt> notes;
};

struct WatchNetworkSetup {
    std::uint32_t subnet = 0;  // any address inside it, host byte order
    int prefixLength = 24;
    std::uint32_t gateway = 0;  // 0: none
    std::string gatewayMac;     // as known when the watch starts; may be empty
    // Devices kept at most; past it the least recently heard device that no scan confirmed
    // goes first, then any.
    std::size_t maxDevices = 4096;
    // Two MACs claiming one address within this time of each other claim it at once.
    Millis conflictWindow = 5000;
    // A MAC seen at this many addresses answers for others (a router, proxy ARP).
    std::size_t manyAddresses = 3;
};

class WatchState final {
public:
    explicit WatchState(WatchNetworkSetup setup);

    // What was known before the watch: the store's devices, or the first scan's answers. Until
    // then the state learns quietly and gives no events.
    void Baseline(std::span<const Device> devices, Millis now);
    void Baseline(std::span<const Claim> scanAnswers, Millis now);
    bool HasBaseline() const { return baselined_; }

    // A frame heard on the wire: its sender claims its address.
    WatchOutcome Heard(const Claim& claim, Millis when);
    // One scan: every address it asked, with the MAC that answered (an address twice where two
    // answered) or none.
    WatchOutcome Scanned(std::span<const Claim> rows, Millis when);

    std::size_t DeviceCount() const { return devices_.size(); }
    // Whether `claim` is one of this network's: an address inside it, a MAC.
    bool Holds(const Claim& claim) const;

private:
    struct Known {
        std::string mac;
        std::string name;
        std::unordered_set<std::uint32_t> addresses;  // those it holds now
        Millis lastClaim = 0;
        int missedScans = 0;
        bool absent = false;
        bool confirmed = false;  // a scan or the baseline had it
        bool many = false;
        std::list<std::string>::iterator recent;
    };
    struct Holder {
        std::string mac;
        Millis when = 0;
        std::string conflictWith;  // the other MAC of a conflict already said
    };

    bool Inside(std::uint32_t address) const;
    Known* Find(const std::string& mac);
    Known& Add(const std::string& mac, WatchOutcome& out);
    void Touch(Known& device);
    void Forget(const std::string& mac);
    WatchEvent Event(WatchEventKind kind, const Known& device, std::uint32_t address, Millis when,
                     std::string previous = {}) const;
    void Claimed(const std::string& mac, std::uint32_t address, const std::string& hostName,
                 Millis when, bool byScan, WatchOutcome& out);

    WatchNetworkSetup setup_;
    bool baselined_ = false;
    bool saidBound_ = false;
    std::unordered_map<std::string, Known> devices_;
    std::list<std::string> recent_;  // MACs, the most recently heard first
    std::unordered_map<std::uint32_t, Holder> holders_;
    std::unordered_set<std::string> gatewayClaimants_;  // other MACs already said for it
};

// Whether `mac` ("aa-bb-...") is locally administered, as random and private MACs are.
bool IsPrivateMac(std::string_view mac);

}  // namespace talvik::store
