// SPDX-License-Identifier: GPL-3.0-or-later
#include "bench/CommandLine.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>

#include "scan/Address.h"

namespace talvik::bench {

std::optional<std::uint32_t> ParseAddress(const char* text) {
    in_addr address{};
    if (inet_pton(AF_INET, text, &address) != 1) {
        return std::nullopt;
    }
    return ntohl(address.s_addr);
}

std::string FormatAddress(std::uint32_t hostOrder) {
    return FormatDottedDecimal(hostOrder);
}

std::optional<long> ParseNumber(const char* text, long minimum, long maximum) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < minimum || value > maximum) {
        return std::nullopt;
    }
    return value;
}

}  // namespace talvik::bench
