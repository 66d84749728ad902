// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The MAC last seen at each address, kept for as long as the sender lives, so that a device can
// also be asked by its own MAC: an access point keeps such a frame for a dozing device.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "arp/ArpFrame.h"

namespace talvik {

class KnownMacs final {
public:
    // Beyond this many addresses the one remembered longest ago goes.
    static constexpr std::size_t kCapacity = 4096;

    // Only a unicast MAC for a non-zero address is kept; a newer one replaces the old.
    void Remember(std::uint32_t address, const MacAddress& mac);
    std::optional<MacAddress> Find(std::uint32_t address) const;
    std::size_t Size() const;

private:
    struct Seen {
        MacAddress mac{};
        std::uint64_t order = 0;
    };
    mutable std::mutex mutex_;
    std::unordered_map<std::uint32_t, Seen> macs_;
    std::uint64_t next_ = 0;
};

}  // namespace talvik
