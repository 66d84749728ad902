// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Dotted-decimal IPv4 text, the only form of address a row holds without a name lookup.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace talvik {

// The address of text of the form a.b.c.d, each part 0..255 in plain decimal, in host byte
// order. Nothing for any other text, and for 255.255.255.255, whose value is the all-ones
// marker: such text is left to the name lookup.
std::optional<std::uint32_t> ParseDottedDecimal(std::string_view text);

// Whether an address (host byte order) is in 127.0.0.0/8, which never leaves the host.
constexpr bool IsLoopback(std::uint32_t address) {
    return (address >> 24) == 127;
}

// a.b.c.d of an address in host byte order.
std::string FormatDottedDecimal(std::uint32_t address);

}  // namespace talvik
