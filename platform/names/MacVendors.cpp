// SPDX-License-Identifier: GPL-3.0-or-later
#include "names/MacVendors.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <unordered_map>

namespace talvik {

namespace {

// The whole of `text` as hex digits, no sign or prefix; nothing when anything else is in it.
template <typename Number>
std::optional<Number> ParseHex(std::string_view text) {
    Number value{};
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, 16);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

// The registry's names carry tabs, line breaks and stray spaces; a tooltip wants one clean line.
std::string CleanName(std::string_view raw) {
    std::string name;
    name.reserve(raw.size());
    bool space = false;
    for (const char c : raw) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f) {
            space = !name.empty();
            continue;
        }
        if (space) {
            name += ' ';
            space = false;
        }
        name += c;
    }
    return name;
}

void AddRow(const std::vector<std::string>& fields, std::vector<MacAssignment>& out) {
    if (fields.size() < 3) {
        return;
    }
    const std::string_view hex = fields[1];
    if (hex.size() != 6 && hex.size() != 7 && hex.size() != 9) {
        return;
    }
    const std::optional<std::uint64_t> prefix = ParseHex<std::uint64_t>(hex);
    if (!prefix) {
        return;
    }
    std::string name = CleanName(fields[2]);
    if (!name.empty()) {
        out.push_back({*prefix, static_cast<int>(hex.size()) * 4, std::move(name)});
    }
}

constexpr std::uint64_t Key(int bits, std::uint64_t prefix) {
    return static_cast<std::uint64_t>(bits) << 56 | prefix;
}

}  // namespace

std::optional<MacBytes> ParseMacText(std::string_view text) {
    if (text.size() != 17) {
        return std::nullopt;
    }
    MacBytes mac{};
    for (std::size_t i = 0; i < mac.size(); ++i) {
        const std::optional<std::uint8_t> byte = ParseHex<std::uint8_t>(text.substr(i * 3, 2));
        if (!byte) {
            return std::nullopt;
        }
        if (i + 1 < mac.size() && text[i * 3 + 2] != '-' && text[i * 3 + 2] != ':') {
            return std::nullopt;
        }
        mac[i] = *byte;
    }
    return mac;
}

std::vector<MacAssignment> ParseMacRegistry(std::string_view csv) {
    std::vector<MacAssignment> out;
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < csv.size(); ++i) {
        const char c = csv[i];
        if (quoted) {
            if (c != '"') {
                fields.back() += c;
            } else if (i + 1 < csv.size() && csv[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else if (c == '\n') {
            AddRow(fields, out);
            fields.assign(1, std::string());
        } else if (c != '\r') {
            fields.back() += c;
        }
    }
    AddRow(fields, out);  // a last row without a line break
    return out;
}

MacRegistry::MacRegistry(std::vector<MacAssignment> assignments) {
    std::stable_sort(assignments.begin(), assignments.end(), [](const auto& a, const auto& b) {
        return Key(a.bits, a.prefix) < Key(b.bits, b.prefix);
    });
    entries_.reserve(assignments.size());
    // Many holders have several blocks; their name is kept once.
    std::unordered_map<std::string_view, std::uint32_t> offsets;
    std::size_t total = 0;
    for (const auto& a : assignments) {
        total += a.organization.size();
    }
    names_.reserve(total);
    for (const auto& a : assignments) {
        const std::uint64_t key = Key(a.bits, a.prefix);
        if (!entries_.empty() && entries_.back().key == key) {
            continue;
        }
        auto [it, added] =
            offsets.try_emplace(a.organization, static_cast<std::uint32_t>(names_.size()));
        if (added) {
            names_ += a.organization;
        }
        entries_.push_back({key, it->second, static_cast<std::uint32_t>(a.organization.size())});
    }
    names_.shrink_to_fit();
    entries_.shrink_to_fit();
}

std::string_view MacRegistry::Maker(const MacBytes& mac) const {
    if (IsLocallyAdministered(mac)) {
        return {};
    }
    std::uint64_t whole = 0;
    for (const std::uint8_t byte : mac) {
        whole = whole << 8 | byte;
    }
    for (const int bits : {36, 28, 24}) {
        const std::uint64_t key = Key(bits, whole >> (48 - bits));
        const auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                                         [](const Entry& e, std::uint64_t k) { return e.key < k; });
        if (it != entries_.end() && it->key == key) {
            return std::string_view(names_).substr(it->offset, it->length);
        }
    }
    return {};
}

std::size_t MacRegistry::MemoryBytes() const {
    return entries_.capacity() * sizeof(Entry) + names_.capacity();
}

MacVendors::MacVendors(std::string directory) : directory_(std::move(directory)) {}

const MacRegistry& MacVendors::Load() {
    std::call_once(once_, [this] {
        std::vector<MacAssignment> all;
        for (const char* file : {"oui.csv", "mam.csv", "oui36.csv", "iab.csv"}) {
            std::ifstream in(directory_ + "/" + file, std::ios::binary);
            if (!in) {
                continue;
            }
            const std::string text{std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>()};
            auto rows = ParseMacRegistry(text);
            std::move(rows.begin(), rows.end(), std::back_inserter(all));
        }
        registry_ = MacRegistry(std::move(all));
        loaded_.store(true, std::memory_order_release);
    });
    return registry_;
}

const MacRegistry* MacVendors::Loaded() const {
    return loaded_.load(std::memory_order_acquire) ? &registry_ : nullptr;
}

}  // namespace talvik
