// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/HostNameSources.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

namespace talvik::cli {

namespace {

constexpr const char* kModuleName = "talvik-scan-names.so";
constexpr const char* kEntry = "talvik_scan_host_names";

// Where the module may be: beside the program (a build tree), then where an installed tree
// keeps it, relative to the program and at the configured path, as for the ARP helper.
std::vector<std::string> ModulePlaces() {
    std::vector<std::string> places;
    char self[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        std::string folder(self, static_cast<std::size_t>(length));
        folder.erase(folder.rfind('/') + 1);
        places.push_back(folder + kModuleName);
#ifdef TALVIK_NAMES_MODULE_FROM_BINDIR
        places.push_back(folder + TALVIK_NAMES_MODULE_FROM_BINDIR);
#endif
    }
#ifdef TALVIK_NAMES_MODULE_PATH
    places.emplace_back(TALVIK_NAMES_MODULE_PATH);
#endif
    return places;
}

}  // namespace

std::shared_ptr<IHostNames> HostNameSources() {
    for (const std::string& place : ModulePlaces()) {
        // Never unloaded: its threads and the application object live until the process ends.
        void* module = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            continue;
        }
        using Entry = IHostNames* (*)();
        const auto entry = reinterpret_cast<Entry>(dlsym(module, kEntry));
        if (IHostNames* names = entry != nullptr ? entry() : nullptr) {
            return std::shared_ptr<IHostNames>(names, [](IHostNames*) {});
        }
    }
    // Without the module (a build without Qt), the system's reverse lookup alone.
    return std::make_shared<ReverseLookupNames>();
}

}  // namespace talvik::cli
