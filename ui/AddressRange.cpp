// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/AddressRange.h"

#include "scan/Address.h"

namespace talvik {

std::optional<AddressRange> MakeAddressRange(const Octets& start, const Octets& end) {
    if (start[0] != end[0] || start[1] != end[1] || start[2] != end[2] || start[3] > end[3]) {
        return std::nullopt;
    }
    return AddressRange{start[0], start[1], start[2], start[3], end[3]};
}

std::string FormatAddress(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return FormatDottedDecimal(static_cast<std::uint32_t>(a) << 24 |
                               static_cast<std::uint32_t>(b) << 16 |
                               static_cast<std::uint32_t>(c) << 8 | d);
}

}  // namespace talvik
