// SPDX-License-Identifier: GPL-3.0-or-later
#include "arp/KnownMacs.h"

#include <algorithm>

namespace talvik {

void KnownMacs::Remember(std::uint32_t address, const MacAddress& mac) {
    if (address == 0 || !IsUnicastMac(mac)) {
        return;
    }
    const std::lock_guard lock(mutex_);
    if (macs_.size() >= kCapacity && !macs_.contains(address)) {
        const auto oldest = std::min_element(
            macs_.begin(), macs_.end(),
            [](const auto& a, const auto& b) { return a.second.order < b.second.order; });
        macs_.erase(oldest);
    }
    macs_[address] = Seen{mac, next_++};
}

std::optional<MacAddress> KnownMacs::Find(std::uint32_t address) const {
    const std::lock_guard lock(mutex_);
    const auto found = macs_.find(address);
    if (found == macs_.end()) {
        return std::nullopt;
    }
    return found->second.mac;
}

std::size_t KnownMacs::Size() const {
    const std::lock_guard lock(mutex_);
    return macs_.size();
}

}  // namespace talvik
