// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The record handed to the optional about library's entry. Its layout is a contract with a
// separately built library, so every offset is pinned down here.

#include <cstddef>
#include <cstdint>

#include "scan/CommandIds.h"

namespace talvik {

struct AboutInfo {
    std::uint32_t size;  // little-endian, always sizeof(AboutInfo)
    std::uint32_t icon;  // little-endian, see kAboutMainIcon
    std::uint32_t reserved0;
    std::uint8_t reserved1[64];
    char programName[260];  // NUL-terminated, ANSI code page
    char releaseText[260];
    char noteText[1284];
};

static_assert(sizeof(AboutInfo) == 1880);
static_assert(offsetof(AboutInfo, size) == 0);
static_assert(offsetof(AboutInfo, icon) == 4);
static_assert(offsetof(AboutInfo, reserved0) == 8);
static_assert(offsetof(AboutInfo, reserved1) == 12);
static_assert(offsetof(AboutInfo, programName) == 76);
static_assert(offsetof(AboutInfo, releaseText) == 336);
static_assert(offsetof(AboutInfo, noteText) == 596);

// Icons are no handles a foreign library could draw with on this platform, so the icon field
// names the main window's icon by its resource number, IDI_MAIN; the same picture is installed
// under the icon name "talvik", where the library can find it.
inline constexpr std::uint32_t kAboutMainIcon = IDI_MAIN;

// A zeroed record with the fields the caller owns filled in.
AboutInfo MakeAboutInfo(std::uint32_t mainIcon);

}  // namespace talvik
