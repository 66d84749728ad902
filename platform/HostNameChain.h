// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one place that picks how hosts are named, for the window and the command line alike.

#include <memory>

#include "platform/HostNames.h"

namespace talvik {

// The system resolver first, then the name the host announces by multicast DNS. Needs a
// QCoreApplication to exist.
std::shared_ptr<IHostNames> MakeHostNames();

}  // namespace talvik
