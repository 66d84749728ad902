// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Argument parsing shared by the bench drivers.

#include <cstdint>
#include <optional>
#include <string>

namespace talvik::bench {

// Dotted-decimal IPv4 in host byte order.
std::optional<std::uint32_t> ParseAddress(const char* text);
std::string FormatAddress(std::uint32_t hostOrder);

// A whole decimal number within [minimum, maximum].
std::optional<long> ParseNumber(const char* text, long minimum, long maximum);

}  // namespace talvik::bench
