// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where talvik-scan asks the names of the hosts that answered: the window's sources, in the
// window's order, where this build has them.

#include <memory>
#include <string>
#include <vector>

#include "names/HostNames.h"

namespace talvik::cli {

struct NameSources {
    std::shared_ptr<IHostNames> names;  // never null: the reverse lookup at least
    std::string problem;                // why the module was not loaded, when it should have been
};

// The module from the first of `places` that loads. Without one, the reverse lookup alone; that
// is a problem worth saying when a place held a module that did not load, or when `expected`.
NameSources LoadHostNames(const std::vector<std::string>& places, bool expected);

// The module of this build, from where a build tree or an installed tree keeps it.
NameSources HostNameSources();

}  // namespace talvik::cli
