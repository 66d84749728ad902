// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// talvik-scan's command line: its options and the targets they name, checked before anything
// is sent.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "scan/ScanTypes.h"

namespace talvik::cli {

enum class OutputFormat { Text, Csv, Json, JsonLines };

// The most rows one run takes: a whole /16 and then some.
inline constexpr std::size_t kMaxRunTargets = 65536;
// Runs up to this many rows, without --rate or --interface, keep the engine the window uses.
inline constexpr std::size_t kMaxEngineTargets = 255;
inline constexpr int kDefaultRate = 500;
inline constexpr int kMaxRate = 3000;  // the wires' own ceiling

// The rows of a run, in order: addresses as numbers (a /16 is 65,534 of them), the few host
// names as text.
class TargetList {
public:
    void AddAddress(std::uint32_t address) { rows_.push_back(address); }
    void AddName(std::string name) {
        rows_.push_back(-static_cast<std::int64_t>(names_.size()) - 1);
        names_.push_back(std::move(name));
    }
    std::size_t size() const { return rows_.size(); }
    bool empty() const { return rows_.empty(); }
    bool IsName(std::size_t row) const { return rows_[row] < 0; }
    std::uint32_t Address(std::size_t row) const { return static_cast<std::uint32_t>(rows_[row]); }
    const std::string& Name(std::size_t row) const {
        return names_[static_cast<std::size_t>(-rows_[row] - 1)];
    }
    // The row as the user gave it: dotted decimal or the name.
    std::string Text(std::size_t row) const;
    std::vector<std::string> Texts() const;

private:
    std::vector<std::int64_t> rows_;  // an address, or -(index of the name + 1)
    std::vector<std::string> names_;
};

// What one TARGET names: the addresses first..last, or a host name.
struct TargetPiece {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    std::string name;  // set for a host name
};

struct ScanOptions {
    OutputFormat format = OutputFormat::Text;
    int workers = kStartWorkerLimit;
    int networkCondition = kStartNetworkCondition;
    bool all = false;
    bool noNames = false;
    bool remember = false;
    bool noMemory = false;
    bool bom = false;  // CSV starts with UTF-8's byte order mark, for spreadsheets
    // Frames per second per interface; 0: none given (the default of the way the run takes).
    int rate = 0;
    // Only these interfaces are asked on; empty: each target's own.
    std::vector<std::string> interfaces;
    TargetList targets;
    // Keep watch until stopped: listen, scan again every `everySeconds` (0: listen only), and
    // run `exec` for each event.
    bool watch = false;
    int everySeconds = 300;
    std::string exec;
};

struct ParsedCommand {
    enum class Action { Scan, Help, Version, BadUsage };
    Action action = Action::BadUsage;
    ScanOptions options;
    std::string error;  // for BadUsage: one line saying what is wrong
};

// `args` without the program's name.
ParsedCommand ParseCommandLine(const std::vector<std::string>& args);

// What one TARGET names: an address, a range (a.b.c.d-w.x.y.z, or a.b.c.d-e inside one /24),
// the hosts of a prefix (network and broadcast left out below /31), or a host name. False with
// `error` set when the text is none of these.
bool ExpandTarget(std::string_view text, TargetPiece& piece, std::string& error);

// `text` as a line may show it: escape sequences, other control characters, line and
// bidirectional marks and malformed UTF-8 written as \xHH or \uHHHH, a backslash doubled.
std::string PrintableText(std::string_view text);

// What --help prints.
std::string UsageText();

}  // namespace talvik::cli
