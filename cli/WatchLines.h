// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// How a watch tells its events: a line for people or a JSON object per line, and the scans'
// CSV read back into what each address answered.

#include <string>
#include <string_view>
#include <vector>

#include "names/MacVendors.h"
#include "store/WatchEvents.h"

namespace talvik::cli {

struct WatchLine {
    std::string interfaceName;
    store::WatchEvent event;
    // "link-down" or "link-up" for the interface's own events; empty for the network's.
    std::string linkKind;
};

class WatchLines final {
public:
    // `makers` may be null: no makers are told.
    WatchLines(bool json, const MacRegistry* makers) : json_(json), makers_(makers) {}
    // One line with its line break, as the format asks.
    std::string Line(const WatchLine& line) const;
    // One JSON object, without a line break: time, event, interface, address, mac, maker, name,
    // previous_mac, private.
    std::string Json(const WatchLine& line) const;

private:
    std::string Maker(const std::string& mac) const;
    bool json_;
    const MacRegistry* makers_;
};

// The answered and silent rows of a scan's CSV: an address twice where two MACs answered.
std::vector<store::Claim> ParseScanCsv(std::string_view csv);

}  // namespace talvik::cli
