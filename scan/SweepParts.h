// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The small rules of a large run: the order within a neighbourhood, and what a wire's errors
// mean for the rows behind them.

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "scan/Ports.h"

namespace talvik {

// The order a /24's addresses are asked in: the ends first (gateways and printers like .1 and
// .254), then the rest spread out, so a few asks per neighbourhood tell whether anyone is there.
inline std::uint8_t ScatterRank(std::uint8_t last) {
    if (last == 1) {
        return 0;
    }
    if (last == 254) {
        return 1;
    }
    std::uint8_t reversed = 0;
    for (int bit = 0; bit < 8; ++bit) {
        reversed = static_cast<std::uint8_t>(reversed | (((last >> bit) & 1) << (7 - bit)));
    }
    return static_cast<std::uint8_t>(std::max<int>(reversed, 2));
}

// What a wire's error says about the rows it could not ask.
inline NotAskedReason WhyNotAsked(int error) {
    switch (error) {
        case ENETDOWN:
        case ENETUNREACH:
        case ENODEV:
        case ENXIO:
            return NotAskedReason::LinkDown;
        case EHOSTUNREACH:
            return NotAskedReason::OffLink;
        case EPERM:
        case EACCES:
            return NotAskedReason::Refused;
        case EPIPE:
        case ECONNRESET:
            return NotAskedReason::HelperLost;
        case ENOBUFS:
        case ENOMEM:
        case EMFILE:
            return NotAskedReason::NoResources;
        default:
            return NotAskedReason::Failed;
    }
}

// Errors a moment later may not repeat: a full queue, an interrupted call.
inline bool Transient(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ENOBUFS;
}

}  // namespace talvik
