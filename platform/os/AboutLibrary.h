// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The optional external about library, loaded for one about command and released right after.

#include <cstdint>
#include <memory>
#include <string>

namespace talvik {

inline constexpr const char* kAboutLibraryName = "ZandorUICommon.dll";
inline constexpr const char* kAboutEntryName = "zucDoSAbout";

class IAboutLibrary {
public:
    virtual ~IAboutLibrary() = default;
    // Shows the library's about window and returns once it is closed. False when the library or
    // its entry is missing; nothing was called then and the caller shows its own dialog.
    virtual bool ShowAbout(std::uint32_t mainIcon) = 0;
};

// Loads the library with the dynamic loader's usual search for a plain file name.
class DlopenAboutLibrary final : public IAboutLibrary {
public:
    explicit DlopenAboutLibrary(std::string fileName = kAboutLibraryName);
    bool ShowAbout(std::uint32_t mainIcon) override;

private:
    std::string fileName_;
};

std::unique_ptr<IAboutLibrary> MakeAboutLibrary();

}  // namespace talvik
