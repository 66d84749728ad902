// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Every sender is watched for the state of the links it asks on.
#include <memory>

#include "scan/Ports.h"

namespace talvik {

// `inner`, with a target asked while its interface was down, gone or without carrier told as
// not asked.
std::shared_ptr<IArpSender> WatchLinks(std::shared_ptr<IArpSender> inner);

}  // namespace talvik
