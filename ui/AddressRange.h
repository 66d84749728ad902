// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The address arithmetic of the address entry, kept free of widgets so it is tested on its own.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace talvik {

using Octets = std::array<std::uint8_t, 4>;  // octet 0 is the most significant one

// A run of addresses inside one /24 network: network.first .. network.last.
struct AddressRange {
    std::uint8_t octet0 = 0;
    std::uint8_t octet1 = 0;
    std::uint8_t octet2 = 0;
    std::uint8_t first = 0;
    std::uint8_t last = 0;
};

// The range from start to end, or nothing when they lie in different /24 networks or the end
// comes before the start.
std::optional<AddressRange> MakeAddressRange(const Octets& start, const Octets& end);

// Dotted decimal without leading zeros.
std::string FormatAddress(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);

}  // namespace talvik
