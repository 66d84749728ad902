// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/DeviceChanges.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <unordered_map>

namespace talvik::store {

NetworkId MakeNetworkId(std::uint32_t subnet, int prefixLength,
                        const std::optional<std::array<std::uint8_t, 6>>& gatewayMac) {
    const int bits = std::clamp(prefixLength, 0, 32);
    const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    const std::uint32_t base = subnet & mask;
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u/%d", (base >> 24) & 0xFFu, (base >> 16) & 0xFFu,
                  (base >> 8) & 0xFFu, base & 0xFFu, bits);
    NetworkId id{text, {}};
    if (gatewayMac) {
        const auto& m = *gatewayMac;
        char mac[18];
        std::snprintf(mac, sizeof mac, "%.2x-%.2x-%.2x-%.2x-%.2x-%.2x", m[0], m[1], m[2], m[3],
                      m[4], m[5]);
        id.gatewayMac = mac;
    }
    return id;
}

NetworkId MakeNetworkId(std::uint32_t subnet, int prefixLength,
                        const std::optional<std::uint32_t>& gateway,
                        const std::optional<std::array<std::uint8_t, 6>>& gatewayMac,
                        std::span<const ScanRow> rows) {
    NetworkId id = MakeNetworkId(subnet, prefixLength, gatewayMac);
    id.gateway = gateway.value_or(0);
    if (gateway && !gatewayMac) {
        for (const auto& row : rows) {
            if (row.address == *gateway) {
                if (auto mac = NormalMac(row.mac)) {
                    id.gatewayMac = std::move(*mac);
                    break;
                }
            }
        }
    }
    return id;
}

std::optional<std::string> NormalMac(std::string_view text) {
    if (text.size() != 17) {
        return std::nullopt;
    }
    std::string mac(text);
    for (std::size_t i = 0; i < mac.size(); ++i) {
        char& c = mac[i];
        if (i % 3 == 2) {
            if (c != '-' && c != ':') {
                return std::nullopt;
            }
            c = '-';
        } else if (c >= 'A' && c <= 'F') {
            c = static_cast<char>(c - 'A' + 'a');
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return std::nullopt;
        }
    }
    return mac;
}

std::vector<RowChange> CompareScan(const NetworkHistory& history, std::span<const ScanRow> rows,
                                   Seconds now) {
    std::unordered_map<std::string, const Device*> byMac;
    for (const auto& device : history.devices) {
        byMac.emplace(device.mac, &device);
    }
    std::unordered_map<std::uint32_t, const LastAnswer*> byAddress;
    for (const auto& answer : history.lastAnswers) {
        auto [at, fresh] = byAddress.emplace(answer.address, &answer);
        if (!fresh && at->second->when < answer.when) {
            at->second = &answer;
        }
    }
    const auto device = [&](const std::string& mac) -> const Device* {
        const auto found = byMac.find(mac);
        return found == byMac.end() ? nullptr : found->second;
    };

    std::vector<RowChange> changes;
    changes.reserve(rows.size());
    for (const auto& row : rows) {
        RowChange change;
        change.address = row.address;
        const auto mac = NormalMac(row.mac);
        const auto last = byAddress.find(row.address);
        const LastAnswer* before = last == byAddress.end() ? nullptr : last->second;
        if (mac) {
            change.mac = *mac;
            const Device* known = device(*mac);
            change.isNew = known == nullptr;
            change.firstSeen = known ? known->firstSeen : now;
            change.name = known ? known->name : std::string();
            // A device that answered here as late as the last answer did (two at once, the
            // address in conflict) did not take the address over from it.
            const bool answeredHere =
                known && known->address == row.address && before && known->lastSeen >= before->when;
            if (before && before->mac != *mac && !answeredHere) {
                const Device* other = device(before->mac);
                change.previous =
                    PreviousMac{before->mac, other ? other->maker : std::string(), before->when};
            }
        } else if (before) {
            const Device* other = device(before->mac);
            change.lastOnline =
                LastOnline{before->when, before->mac, other ? other->name : std::string(),
                           other ? other->hostName : std::string()};
        }
        changes.push_back(std::move(change));
    }
    return changes;
}

int CountNew(std::span<const RowChange> changes) {
    // A device that answered at two addresses is one new device.
    std::vector<std::string_view> seen;
    for (const auto& change : changes) {
        if (change.isNew && std::ranges::find(seen, change.mac) == seen.end()) {
            seen.push_back(change.mac);
        }
    }
    return static_cast<int>(seen.size());
}

std::string LocalDateText(Seconds when) {
    const std::time_t time = static_cast<std::time_t>(when);
    std::tm local{};
    if (localtime_r(&time, &local) == nullptr) {
        return {};
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

}  // namespace talvik::store
