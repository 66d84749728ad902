// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/HostNameSources.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
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

NameSources LoadHostNames(const std::vector<std::string>& places, bool expected) {
    std::string problem;
    for (const std::string& place : places) {
        if (access(place.c_str(), F_OK) != 0 && errno == ENOENT) {
            continue;
        }
        // Never unloaded: its threads and the application object live until the process ends.
        void* module = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            const char* why = dlerror();
            problem = why != nullptr ? why : place;
            continue;
        }
        using Entry = IHostNames* (*)();
        const auto entry = reinterpret_cast<Entry>(dlsym(module, kEntry));
        if (IHostNames* names = entry != nullptr ? entry() : nullptr) {
            return {std::shared_ptr<IHostNames>(names, [](IHostNames*) {}), {}};
        }
        problem = place + ": " + kEntry + " missing";
    }
    if (problem.empty() && expected) {
        problem = std::string(kModuleName) + " not found";
    }
    // The system's reverse lookup alone, as a build without Qt has it.
    return {std::make_shared<ReverseLookupNames>(), problem};
}

NameSources HostNameSources() {
#ifdef TALVIK_NAMES_MODULE_PATH
    return LoadHostNames(ModulePlaces(), true);
#else
    return LoadHostNames(ModulePlaces(), false);
#endif
}

}  // namespace talvik::cli
