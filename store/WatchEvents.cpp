// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/WatchEvents.h"

#include <algorithm>

namespace talvik::store {

namespace {
// How far from the oldest end a device no scan confirmed is looked for before any goes.
constexpr int kEvictLook = 64;
}  // namespace

std::string_view WatchEventName(WatchEventKind kind) {
    switch (kind) {
        case WatchEventKind::New:
            return "new";
        case WatchEventKind::Back:
            return "back";
        case WatchEventKind::Gone:
            return "gone";
        case WatchEventKind::MacChanged:
            return "mac-changed";
        case WatchEventKind::Conflict:
            return "conflict";
        case WatchEventKind::GatewayChanged:
            return "gateway-changed";
    }
    return "";
}

bool IsPrivateMac(std::string_view mac) {
    if (mac.size() < 2) {
        return false;
    }
    const auto digit = [](char c) {
        return c >= 'a' ? c - 'a' + 10 : c >= 'A' ? c - 'A' + 10 : c - '0';
    };
    return (digit(mac[1]) & 0x2) != 0;
}

WatchState::WatchState(WatchNetworkSetup setup) : setup_(std::move(setup)) {
    if (auto mac = NormalMac(setup_.gatewayMac)) {
        setup_.gatewayMac = *mac;
    } else {
        setup_.gatewayMac.clear();
    }
    setup_.prefixLength = std::clamp(setup_.prefixLength, 0, 32);
    setup_.maxDevices = std::max<std::size_t>(setup_.maxDevices, 1);
}

bool WatchState::Inside(std::uint32_t address) const {
    const int bits = setup_.prefixLength;
    const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    if (address == 0 || (address & mask) != (setup_.subnet & mask)) {
        return false;
    }
    // The network and broadcast addresses are nobody's, up to /30.
    return bits > 30 || ((address & ~mask) != 0 && (address & ~mask) != ~mask);
}

WatchState::Known* WatchState::Find(const std::string& mac) {
    const auto found = devices_.find(mac);
    return found == devices_.end() ? nullptr : &found->second;
}

void WatchState::Touch(Known& device) {
    recent_.splice(recent_.begin(), recent_, device.recent);
}

void WatchState::Forget(const std::string& mac) {
    Known* device = Find(mac);
    if (device == nullptr) {
        return;
    }
    for (const std::uint32_t address : device->addresses) {
        if (const auto held = holders_.find(address);
            held != holders_.end() && held->second.mac == mac) {
            holders_.erase(held);
        }
    }
    recent_.erase(device->recent);
    devices_.erase(mac);
}

WatchState::Known& WatchState::Add(const std::string& mac, WatchOutcome& out) {
    if (devices_.size() >= setup_.maxDevices) {
        if (!saidBound_) {
            saidBound_ = true;
            out.notes.push_back({WatchNote::Bound, mac});
        }
        // Forged floods bring devices no scan ever confirms: they go before the real ones.
        auto victim = std::prev(recent_.end());
        auto look = victim;
        for (int i = 0; i < kEvictLook; ++i) {
            if (!devices_.at(*look).confirmed) {
                victim = look;
                break;
            }
            if (look == recent_.begin()) {
                break;
            }
            --look;
        }
        Forget(std::string(*victim));
    }
    recent_.push_front(mac);
    Known& device = devices_[mac];
    device.mac = mac;
    device.recent = recent_.begin();
    return device;
}

WatchEvent WatchState::Event(WatchEventKind kind, const Known& device, std::uint32_t address,
                             Millis when, std::string previous) const {
    return WatchEvent{kind,
                      when,
                      address,
                      device.mac,
                      device.name,
                      std::move(previous),
                      IsPrivateMac(device.mac)};
}

void WatchState::Claimed(const std::string& mac, std::uint32_t address, const std::string& hostName,
                         Millis when, bool byScan, WatchOutcome& out) {
    Known* found = Find(mac);
    const bool fresh = found == nullptr;
    Known& device = fresh ? Add(mac, out) : *found;
    Touch(device);
    const bool wasAbsent = device.absent;
    device.absent = false;
    device.missedScans = 0;
    device.lastClaim = when;
    device.confirmed = device.confirmed || byScan;
    if (device.name.empty()) {
        device.name = hostName;
    }

    Holder* holder = nullptr;
    if (const auto held = holders_.find(address); held != holders_.end()) {
        holder = &held->second;
    }
    const std::string before = holder ? holder->mac : std::string();
    const auto take = [&] {
        if (!before.empty() && before != mac) {
            if (Known* other = Find(before)) {
                other->addresses.erase(address);
            }
        }
        Holder& now = holders_[address];
        now.mac = mac;
        now.when = when;
        device.addresses.insert(address);
    };
    if (setup_.gateway != 0 && address == setup_.gateway && setup_.gatewayMac.empty()) {
        setup_.gatewayMac = mac;
    }
    if (!baselined_) {
        take();
        return;
    }

    // The gateway's address claimed by another MAC is said once per claimant, whatever else it is.
    if (setup_.gateway != 0 && address == setup_.gateway && mac != setup_.gatewayMac) {
        if (gatewayClaimants_.insert(mac).second) {
            out.events.push_back(
                Event(WatchEventKind::GatewayChanged, device, address, when, setup_.gatewayMac));
        }
        take();
        return;
    }
    if (setup_.gateway != 0 && address == setup_.gateway && !before.empty() && before != mac) {
        take();  // the gateway answering again after a claimant: that was said already
        return;
    }

    if (before != mac && !device.many && !device.addresses.contains(address)) {
        const bool routerOfGateway =
            !setup_.gatewayMac.empty() && mac == setup_.gatewayMac && address != setup_.gateway;
        if (routerOfGateway || device.addresses.size() + 1 >= setup_.manyAddresses) {
            device.many = true;
            out.notes.push_back({WatchNote::ManyAddresses, mac});
        }
    }
    Known* other = before.empty() || before == mac ? nullptr : Find(before);
    if (other == nullptr || other->absent || device.many) {
        // A free address, its own, or one whose holder left.
        if (fresh) {
            // A private MAC that changed under a name that answered before is the same device.
            Known* same = nullptr;
            if (IsPrivateMac(mac) && !hostName.empty()) {
                for (auto& [key, known] : devices_) {
                    if (key != mac && known.name == hostName) {
                        same = &known;
                        break;
                    }
                }
            }
            if (same != nullptr) {
                out.events.push_back(
                    Event(WatchEventKind::MacChanged, device, address, when, same->mac));
                Forget(std::string(same->mac));
            } else {
                out.events.push_back(Event(WatchEventKind::New, device, address, when,
                                           other != nullptr && !device.many ? before : ""));
            }
        } else if (wasAbsent) {
            out.events.push_back(Event(WatchEventKind::Back, device, address, when));
        }
        take();
        return;
    }
    // Held by another MAC that has not left.
    const bool atOnce = when - holder->when < setup_.conflictWindow;
    if (atOnce) {
        if (holder->conflictWith != mac) {
            out.events.push_back(Event(WatchEventKind::Conflict, device, address, when, before));
        }
        take();
        holders_[address].conflictWith = before;
        return;
    }
    out.events.push_back(Event(WatchEventKind::MacChanged, device, address, when, before));
    take();
    holders_[address].conflictWith.clear();
}

bool WatchState::Holds(const Claim& claim) const {
    return Inside(claim.address) && NormalMac(claim.mac).has_value();
}

WatchOutcome WatchState::Heard(const Claim& claim, Millis when) {
    WatchOutcome out;
    const auto mac = NormalMac(claim.mac);
    if (mac && Inside(claim.address)) {
        Claimed(*mac, claim.address, claim.hostName, when, false, out);
    }
    return out;
}

WatchOutcome WatchState::Scanned(std::span<const Claim> rows, Millis when) {
    WatchOutcome out;
    std::unordered_set<std::string> answered;
    std::unordered_set<std::uint32_t> asked;
    for (const Claim& row : rows) {
        if (!Inside(row.address)) {
            continue;
        }
        asked.insert(row.address);
        if (const auto mac = NormalMac(row.mac)) {
            Claimed(*mac, row.address, row.hostName, when, true, out);
            answered.insert(*mac);
        }
    }
    if (!baselined_) {
        baselined_ = true;
        return out;
    }
    // Gone: absent from two scans in a row that asked where it was, and silent in between.
    for (auto& [mac, device] : devices_) {
        if (device.absent || answered.contains(mac) ||
            std::none_of(device.addresses.begin(), device.addresses.end(),
                         [&](std::uint32_t a) { return asked.contains(a); })) {
            continue;
        }
        if (++device.missedScans >= 2) {
            device.absent = true;
            const std::uint32_t address =
                *std::min_element(device.addresses.begin(), device.addresses.end());
            out.events.push_back(Event(WatchEventKind::Gone, device, address, when));
        }
    }
    return out;
}

void WatchState::Baseline(std::span<const Claim> scanAnswers, Millis now) {
    baselined_ = false;
    (void)Scanned(scanAnswers, now);
}

void WatchState::Baseline(std::span<const Device> devices, Millis now) {
    WatchOutcome ignored;
    for (const Device& known : devices) {
        const auto mac = NormalMac(known.mac);
        if (!mac || Find(*mac) != nullptr) {
            continue;
        }
        Known& device = Add(*mac, ignored);
        device.name = known.name.empty() ? known.hostName : known.name;
        device.confirmed = true;
        device.absent = !known.online;
        if (setup_.gateway != 0 && known.address == setup_.gateway && setup_.gatewayMac.empty()) {
            setup_.gatewayMac = *mac;
        }
        if (Inside(known.address) && !holders_.contains(known.address)) {
            holders_[known.address] = Holder{*mac, 0, {}};
            device.addresses.insert(known.address);
        }
    }
    (void)now;
    baselined_ = true;
}

}  // namespace talvik::store
