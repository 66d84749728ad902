// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The texts a result row gives beyond its cells: the tooltip's lines and the copied line. Plain
// UTF-8 text; the window shows it as plain text, never as markup.

#include <string>
#include <string_view>
#include <vector>

#include "platform/MacVendors.h"

namespace talvik {

// The maker of the MAC in a row's MAC cell, or empty when unknown, made up by the host itself,
// or the registry is not (yet) there.
std::string MakerOf(std::string_view macText, const MacRegistry* registry);

// The tooltip line naming the maker; empty when there is nothing to say (no registry, no MAC).
std::string MakerText(std::string_view macText, const MacRegistry* registry);

// The tooltip line naming the host; empty without a name.
std::string HostNameText(std::string_view name);

// Another host that answered for a row's address, and its maker.
struct OtherAnswer {
    std::string mac, maker;
};

// One row as a line of tab-separated text, without the line break: address, status, MAC and
// maker, then the MAC and maker of every other host that answered for the address.
std::string CopyLine(std::string_view address, std::string_view status, std::string_view mac,
                     std::string_view maker, const std::vector<OtherAnswer>& others = {});

}  // namespace talvik
