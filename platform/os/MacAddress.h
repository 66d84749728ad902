// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A link-layer address as the kernel reports it and as ARP carries it: the netlink and name
// rooms speak of MACs without knowing anything of ARP frames.
#include <algorithm>
#include <array>
#include <cstdint>

namespace talvik {

using MacAddress = std::array<std::uint8_t, 6>;

// A unicast, non-zero hardware address; anything else cannot be a host's own MAC.
inline bool IsUnicastMac(const MacAddress& mac) {
    const bool zero = std::all_of(mac.begin(), mac.end(), [](std::uint8_t b) { return b == 0; });
    return !zero && (mac[0] & 0x01) == 0;
}

}  // namespace talvik
