// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The helper as the engine uses it: started, watched, and replaced when it dies or stalls.
#include <cstdint>
#include <memory>
#include <string>

#include "arp/ArpSenders.h"

namespace talvik {

// A sender over the helper `options` names (or the first that serves); nothing when none
// starts, with `why` and `tried` as MakeArpSender tells them.
std::shared_ptr<IArpSender> MakeMendingHelper(const ArpSenderOptions& options, std::uint32_t& why,
                                              std::string& tried);

// A sender's own log line, to `options.log` where the program gives one, else to stderr.
void SenderLog(const ArpSenderOptions& options, const std::string& line);

}  // namespace talvik
