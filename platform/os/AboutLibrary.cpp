// SPDX-License-Identifier: GPL-3.0-or-later
#include "os/AboutLibrary.h"

#include <dlfcn.h>

#include <bit>
#include <cstring>
#include <utility>

#include "os/AboutInfo.h"
#include "talvik/Version.h"

namespace talvik {

namespace {

std::uint32_t LittleEndian(std::uint32_t value) {
    if constexpr (std::endian::native == std::endian::big) {
        return __builtin_bswap32(value);
    }
    return value;
}

template <std::size_t N>
void CopyText(char (&field)[N], const char* text) {
    static_assert(N > 0);
    std::strncpy(field, text, N - 1);
}

struct LibraryCloser {
    void operator()(void* handle) const { dlclose(handle); }
};

// The entry cleans nothing off the stack itself and its result means nothing to us.
using AboutEntry = int (*)(AboutInfo*);

}  // namespace

AboutInfo MakeAboutInfo(std::uint32_t mainIcon) {
    AboutInfo info;
    std::memset(&info, 0, sizeof info);
    info.size = LittleEndian(sizeof(AboutInfo));
    info.icon = LittleEndian(mainIcon);
    info.reserved0 = 0;
    CopyText(info.programName, kProductName);
    CopyText(info.releaseText, "Release: 1.0");
    CopyText(info.noteText, "\r\n");
    return info;
}

DlopenAboutLibrary::DlopenAboutLibrary(std::string fileName) : fileName_(std::move(fileName)) {}

bool DlopenAboutLibrary::ShowAbout(std::uint32_t mainIcon) {
    // RTLD_LOCAL keeps the library's symbols away from anything loaded later; the handle is
    // released on every way out.
    std::unique_ptr<void, LibraryCloser> library(dlopen(fileName_.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!library) {
        return false;
    }
    void* symbol = dlsym(library.get(), kAboutEntryName);
    if (symbol == nullptr) {
        return false;
    }
    const auto entry = reinterpret_cast<AboutEntry>(symbol);
    AboutInfo info = MakeAboutInfo(mainIcon);
    static_cast<void>(entry(&info));
    return true;
}

std::unique_ptr<IAboutLibrary> MakeAboutLibrary() {
    return std::make_unique<DlopenAboutLibrary>();
}

}  // namespace talvik
