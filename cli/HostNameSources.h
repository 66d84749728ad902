// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where talvik-scan asks the names of the hosts that answered: the window's sources, in the
// window's order, where this build has them.

#include <memory>

#include "names/HostNames.h"

namespace talvik::cli {

std::shared_ptr<IHostNames> HostNameSources();

}  // namespace talvik::cli
