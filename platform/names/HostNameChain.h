// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one place that picks how hosts are named, for the window and the command line alike.

#include <memory>

#include "names/HostNames.h"

namespace talvik {

// The system resolver first, then the name the host announces by multicast DNS, then the one a
// Windows host gives to a NetBIOS node-status query. Needs a QCoreApplication to exist.
std::shared_ptr<IHostNames> MakeHostNames();

}  // namespace talvik
