// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/WatchListener.h"

#include <cstdio>

namespace talvik::cli {

store::Millis NowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string DashedMac(const std::array<std::uint8_t, 6>& m) {
    char text[18];
    std::snprintf(text, sizeof text, "%.2x-%.2x-%.2x-%.2x-%.2x-%.2x", m[0], m[1], m[2], m[3], m[4],
                  m[5]);
    return text;
}

}  // namespace talvik::cli
