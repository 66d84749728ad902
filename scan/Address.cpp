// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/Address.h"

#include <cstdio>

#include "scan/ScanTypes.h"

namespace talvik {

std::optional<std::uint32_t> ParseDottedDecimal(std::string_view text) {
    std::uint32_t address = 0;
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != '.') {
                return std::nullopt;
            }
            ++at;
        }
        const std::size_t first = at;
        std::uint32_t value = 0;
        while (at < text.size() && at - first < 3 && text[at] >= '0' && text[at] <= '9') {
            value = value * 10 + static_cast<std::uint32_t>(text[at] - '0');
            ++at;
        }
        const std::size_t digits = at - first;
        // A leading zero would mean octal to the classic parsers; such text goes to the lookup,
        // which reads it the classic way, rather than being read here as something else.
        if (digits == 0 || value > 255 || (digits > 1 && text[first] == '0')) {
            return std::nullopt;
        }
        address = (address << 8) | value;
    }
    if (at != text.size() || address == kUnresolvedAddress) {
        return std::nullopt;
    }
    return address;
}

std::string FormatDottedDecimal(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFFu,
                  (address >> 16) & 0xFFu, (address >> 8) & 0xFFu, address & 0xFFu);
    return text;
}

}  // namespace talvik
