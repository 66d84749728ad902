// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Descriptors 0 to 2 kept taken. A program started with one of them closed would otherwise give
// that number to the next socket or file it opens, and whatever it then writes to its standard
// output or error would go there: a packet socket, a store.

#include <array>
#include <optional>

namespace talvik {

// Opens /dev/null on each of descriptors 0 to 2 that is closed. Gives which were closed, or
// nothing when /dev/null could not be opened, in which case the program must not go on. Called
// first thing in main, before any thread or descriptor of our own.
std::optional<std::array<bool, 3>> KeepStandardDescriptorsTaken();

}  // namespace talvik
