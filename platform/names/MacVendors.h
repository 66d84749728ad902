// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Who made a network card: the IEEE registry of MAC address blocks as Debian installs it.

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talvik {

using MacBytes = std::array<std::uint8_t, 6>;

inline constexpr const char* kIeeeDataDirectory = "/usr/share/ieee-data";

// Six hex pairs separated by '-' or ':' (either case), as the result list shows them.
std::optional<MacBytes> ParseMacText(std::string_view text);

// Addresses a host makes up for itself (the 0x02 bit of the first byte) belong to no maker,
// whatever block their first bytes resemble.
inline bool IsLocallyAdministered(const MacBytes& mac) {
    return (mac[0] & 0x02) != 0;
}

// One block of the registry: the top `bits` bits of a MAC (24, 28 or 36) and who holds them.
struct MacAssignment {
    std::uint64_t prefix = 0;
    int bits = 0;
    std::string organization;
};

// The assignments of one registry CSV text (oui.csv, mam.csv, oui36.csv, iab.csv: a header,
// quoted fields that may hold commas, quotes and line breaks). Rows that are no assignment are
// skipped.
std::vector<MacAssignment> ParseMacRegistry(std::string_view csv);

// An immutable lookup table; safe to share between threads.
class MacRegistry final {
public:
    MacRegistry() = default;
    // Where two assignments name the same block, the first one counts.
    explicit MacRegistry(std::vector<MacAssignment> assignments);

    // The holder of the narrowest block that contains `mac`, or empty when none does.
    std::string_view Maker(const MacBytes& mac) const;
    std::size_t Size() const { return entries_.size(); }
    bool Empty() const { return entries_.empty(); }
    // Bytes held by the table, for measurements.
    std::size_t MemoryBytes() const;

private:
    struct Entry {
        std::uint64_t key;  // bits in the top byte, the prefix below
        std::uint32_t offset;
        std::uint32_t length;
    };
    std::vector<Entry> entries_;
    std::string names_;  // each organization once
};

// The installed registry, read on first use. The files are read once, by whichever thread asks
// first, while other askers wait; a missing or unreadable file adds nothing.
class MacVendors final {
public:
    explicit MacVendors(std::string directory = kIeeeDataDirectory);

    // Blocks while the files are read (about a tenth of a second): never call it first on the
    // user-interface thread.
    const MacRegistry& Load();
    // The registry once Load has finished on some thread, otherwise nullptr; never blocks.
    const MacRegistry* Loaded() const;

private:
    std::string directory_;
    std::once_flag once_;
    std::atomic<bool> loaded_{false};
    MacRegistry registry_;
};

}  // namespace talvik
