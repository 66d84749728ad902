// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Options.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <set>
#include <unordered_set>
#include <utility>

#include "cli/Language.h"
#include "scan/Address.h"

namespace talvik::cli {

namespace {

// Plain decimal digits only, within [low, high]: no sign, no spaces, no suffix.
std::optional<int> Number(std::string_view text, int low, int high) {
    if (text.empty() || text.size() > 6 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    int value = 0;
    for (const char c : text) {
        value = value * 10 + (c - '0');
    }
    if (value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

// The code point of the valid UTF-8 sequence at the start of `text` and its length; a length of
// 0 for a malformed one (cut short, overlong, a surrogate, beyond U+10FFFF).
std::pair<char32_t, std::size_t> DecodeUtf8(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return {lead, 1};
    }
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    if (length == 0 || text.size() < length) {
        return {0, 0};
    }
    char32_t point = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return {0, 0};
        }
        point = (point << 6) | (byte(i) & 0x3F);
    }
    const char32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        return {0, 0};
    }
    return {point, length};
}

// Characters a terminal acts on or that reorder a line rather than show.
bool Unprintable(char32_t point) {
    return point < 0x20 || (point >= 0x7F && point <= 0x9F) || point == 0x2028 || point == 0x2029 ||
           (point >= 0x200E && point <= 0x200F) || (point >= 0x202A && point <= 0x202E) ||
           (point >= 0x2066 && point <= 0x2069);
}

std::string Quoted(std::string_view text) {
    return Format(Tr("'%s'"), PrintableText(text).c_str());
}

// A time for --every: whole seconds, or with s, m or h after them; one day at most.
std::optional<int> Duration(std::string_view text) {
    int unit = 1;
    if (!text.empty() && (text.back() == 's' || text.back() == 'm' || text.back() == 'h')) {
        unit = text.back() == 'h' ? 3600 : text.back() == 'm' ? 60 : 1;
        text.remove_suffix(1);
    }
    const auto number = Number(text, 0, 86400);
    if (!number || *number * unit > 86400) {
        return std::nullopt;
    }
    return *number * unit;
}

bool LooksNumeric(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

// Letters, digits, '-', '_' and '.', as resolvers take them; nothing that could be an option.
bool IsHostName(std::string_view text) {
    if (text.empty() || text.size() > 253 || text.front() == '-' || text.front() == '.') {
        return false;
    }
    return std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
    });
}

// As the kernel takes them: 1 to 15 bytes, no slash, colon or white space, not "." or "..".
bool IsInterfaceName(std::string_view text) {
    return !text.empty() && text.size() < 16 && text != "." && text != ".." &&
           std::all_of(text.begin(), text.end(),
                       [](char c) { return c > ' ' && c < 0x7F && c != '/' && c != ':'; });
}

}  // namespace

std::string PrintableText(std::string_view text) {
    std::string out;
    char escape[16];
    while (!text.empty()) {
        const auto [point, length] = DecodeUtf8(text);
        if (length == 0) {
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[0]));
            out += escape;
            text.remove_prefix(1);
            continue;
        }
        if (point == '\\') {
            out += "\\\\";
        } else if (Unprintable(point)) {
            std::snprintf(escape, sizeof escape, point < 0x80 ? "\\x%02x" : "\\u%04x",
                          static_cast<unsigned>(point));
            out += escape;
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return out;
}

std::string TargetList::Text(std::size_t row) const {
    return IsName(row) ? Name(row) : FormatDottedDecimal(Address(row));
}

std::vector<std::string> TargetList::Texts() const {
    std::vector<std::string> texts;
    texts.reserve(size());
    for (std::size_t row = 0; row < size(); ++row) {
        texts.push_back(Text(row));
    }
    return texts;
}

bool ExpandTarget(std::string_view text, TargetPiece& piece, std::string& error) {
    piece = {};
    if (const auto dash = text.find('-');
        dash != std::string_view::npos && ParseDottedDecimal(text.substr(0, dash))) {
        const std::uint32_t first = *ParseDottedDecimal(text.substr(0, dash));
        const std::string_view end = text.substr(dash + 1);
        std::optional<std::uint32_t> last = ParseDottedDecimal(end);
        if (!last) {
            if (const auto octet = Number(end, 0, 255)) {
                last = (first & 0xFFFFFF00u) | static_cast<std::uint32_t>(*octet);
            }
        }
        if (!last) {
            error = Format(Tr("the end of the range is not an address: %s"), Quoted(text).c_str());
            return false;
        }
        if (*last < first) {
            error = Format(Tr("the range ends before it starts: %s"), Quoted(text).c_str());
            return false;
        }
        piece.first = first;
        piece.last = *last;
        return true;
    }
    if (const auto slash = text.find('/'); slash != std::string_view::npos) {
        const auto base = ParseDottedDecimal(text.substr(0, slash));
        const auto bits = Number(text.substr(slash + 1), 0, 32);
        if (!base || !bits) {
            error = Format(Tr("not a valid network: %s"), Quoted(text).c_str());
            return false;
        }
        const std::uint32_t mask = *bits == 0    ? 0u
                                   : *bits == 32 ? 0xFFFFFFFFu
                                                 : ~(0xFFFFFFFFu >> *bits);
        const std::uint32_t network = *base & mask;
        const std::uint32_t broadcast = network | ~mask;
        // Up to /30 the network and broadcast addresses are no hosts; a /31 has two hosts.
        piece.first = *bits <= 30 ? network + 1 : network;
        piece.last = *bits <= 30 ? broadcast - 1 : broadcast;
        return true;
    }
    if (const auto address = ParseDottedDecimal(text)) {
        piece.first = piece.last = *address;
        return true;
    }
    if (LooksNumeric(text) || !IsHostName(text)) {
        error = Format(Tr("not a valid address, range or host name: %s"), Quoted(text).c_str());
        return false;
    }
    piece.name = text;
    return true;
}

ParsedCommand ParseCommandLine(const std::vector<std::string>& args) {
    ParsedCommand parsed;
    ScanOptions& options = parsed.options;
    const auto bad = [&](std::string text) {
        parsed.action = ParsedCommand::Action::BadUsage;
        parsed.error = std::move(text);
        return parsed;
    };
    bool optionsEnded = false;
    bool everyGiven = false;
    // A target given twice (also inside two ranges, or a name in another case) is one row: it
    // is asked once and counted once.
    std::unordered_set<std::uint32_t> givenAddresses;
    std::set<std::string> givenNames;
    const auto tooMany = [&] {
        return bad(Format(Tr("more than %zu targets in one run"), kMaxRunTargets));
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            std::string error;
            TargetPiece piece;
            if (!ExpandTarget(arg, piece, error)) {
                return bad(error);
            }
            if (!piece.name.empty()) {
                std::string key = piece.name;
                std::transform(key.begin(), key.end(), key.begin(),
                               [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
                if (givenNames.insert(std::move(key)).second) {
                    options.targets.AddName(std::move(piece.name));
                }
            } else if (std::uint64_t{piece.last} - piece.first + 1 > kMaxRunTargets) {
                return tooMany();  // refused before a /8 is spelled out
            } else {
                for (std::uint64_t address = piece.first; address <= piece.last; ++address) {
                    if (givenAddresses.insert(static_cast<std::uint32_t>(address)).second) {
                        options.targets.AddAddress(static_cast<std::uint32_t>(address));
                    }
                }
            }
            if (options.targets.size() > kMaxRunTargets) {
                return tooMany();
            }
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            parsed.action = ParsedCommand::Action::Help;
            return parsed;
        }
        if (arg == "--version") {
            parsed.action = ParsedCommand::Action::Version;
            return parsed;
        }
        // --name=value or --name value for the options that take one.
        std::string name = arg;
        std::optional<std::string> value;
        if (const auto equals = arg.find('='); equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        }
        const bool takesValue = name == "--format" || name == "--workers" ||
                                name == "--network-condition" || name == "--rate" ||
                                name == "--interface" || name == "--every" || name == "--exec";
        if (takesValue && !value) {
            if (i + 1 >= args.size()) {
                return bad(Format(Tr("option %s needs a value"), name.c_str()));
            }
            value = args[++i];
        } else if (!takesValue && value) {
            return bad(Format(Tr("option %s takes no value"), Quoted(name).c_str()));
        }
        if (name == "--format") {
            if (*value == "text") {
                options.format = OutputFormat::Text;
            } else if (*value == "csv") {
                options.format = OutputFormat::Csv;
            } else if (*value == "json") {
                options.format = OutputFormat::Json;
            } else if (*value == "jsonl") {
                options.format = OutputFormat::JsonLines;
            } else {
                return bad(Format(Tr("--format takes text, csv, json or jsonl: %s"),
                                  Quoted(*value).c_str()));
            }
        } else if (name == "--rate") {
            const auto number = Number(*value, 1, kMaxRate);
            if (!number) {
                return bad(Format(Tr("--rate takes frames per second from 1 to %d: %s"), kMaxRate,
                                  Quoted(*value).c_str()));
            }
            options.rate = *number;
        } else if (name == "--interface") {
            if (!IsInterfaceName(*value)) {
                return bad(Format(Tr("not a valid interface name: %s"), Quoted(*value).c_str()));
            }
            if (std::find(options.interfaces.begin(), options.interfaces.end(), *value) ==
                options.interfaces.end()) {
                options.interfaces.push_back(*value);
            }
        } else if (name == "--workers") {
            const auto number = Number(*value, kMinWorkerLimit, kMaxWorkerLimit);
            if (!number) {
                return bad(Format(Tr("--workers takes a whole number from 1 to 64: %s"),
                                  Quoted(*value).c_str()));
            }
            options.workers = *number;
        } else if (name == "--network-condition") {
            const auto number = Number(*value, kMinNetworkCondition, kMaxNetworkCondition);
            if (!number) {
                return bad(
                    Format(Tr("--network-condition takes a whole number from 100 to 5000: %s"),
                           Quoted(*value).c_str()));
            }
            options.networkCondition = *number;
        } else if (name == "--watch") {
            options.watch = true;
        } else if (name == "--every") {
            const auto seconds = Duration(*value);
            if (!seconds) {
                return bad(Format(Tr("--every takes a time such as 90, 30s, 5m or 1h (a day at "
                                     "most): %s"),
                                  Quoted(*value).c_str()));
            }
            options.everySeconds = *seconds;
            everyGiven = true;
        } else if (name == "--exec") {
            options.exec = *value;
        } else if (name == "--all") {
            options.all = true;
        } else if (name == "--no-names") {
            options.noNames = true;
        } else if (name == "--remember") {
            options.remember = true;
        } else if (name == "--no-memory") {
            options.noMemory = true;
        } else if (name == "--bom") {
            options.bom = true;
        } else {
            return bad(Format(Tr("unknown option: %s"), Quoted(arg).c_str()));
        }
    }
    if (options.remember && options.noMemory) {
        return bad(Tr("--remember and --no-memory cannot be used together"));
    }
    if (!options.watch && (everyGiven || !options.exec.empty())) {
        return bad(Tr("--every and --exec belong to --watch"));
    }
    if (options.watch && options.format != OutputFormat::Text &&
        options.format != OutputFormat::JsonLines) {
        return bad(Tr("--watch prints text or jsonl"));
    }
    if (options.targets.empty() && !(options.watch && !options.interfaces.empty())) {
        return bad(Tr("no target to scan"));
    }
    parsed.action = ParsedCommand::Action::Scan;
    return parsed;
}

std::string UsageText() {
    return std::string(Tr(
               "Usage: talvik-scan [OPTION]... TARGET...\n"
               "Finds the live hosts of the local network segment by ARP, prints them and exits.\n"
               "\n"
               "A target is an address (203.0.113.7), a range (198.18.0.1-198.18.3.254 or\n"
               "203.0.113.1-254), a network (198.18.0.0/16) or a host name; 65536 at most in one "
               "run.\n"
               "Each target is asked on the interface the kernel routes it by.\n"
               "\n"
               "Runs of more than 255 targets, and runs with --rate or --interface, ask frame by\n"
               "frame at a steady pace: as root, or through the helper talvik-arp.\n"
               "\n"
               "Options:\n"
               "  --format text|csv|json|jsonl\n"
               "                           how the result is printed (default text); in a run\n"
               "                           frame by frame, text and jsonl print each host as it "
               "answers\n"
               "  --interface NAME         ask only on this interface (may be given again)\n"
               "  --rate 1..3000           frames per second per interface (default 500 for runs "
               "of\n"
               "                           more than 255 targets)\n"
               "  --workers 1..64          how many targets are asked at once (default 50)\n"
               "  --network-condition 100..5000\n"
               "                           the lower, the longer late answers are awaited (default "
               "1000)\n"
               "  --all                    text and jsonl list silent and unasked targets too\n"
               "  --bom                    the CSV starts with UTF-8's byte order mark, for "
               "spreadsheets\n"
               "  --no-names               look up neither makers nor host names\n"
               "  --remember               write the result to the device memory\n"
               "  --no-memory              neither read nor write the device memory\n"
               "  -h, --help               show this help and exit\n"
               "  --version                show the version and exit\n"
               "\n"
               "Exit status: 0 every target was asked; 1 some target was not; 2 bad usage or "
               "input;\n"
               "3 the result could not be written; 4 device memory could not be read or written "
               "(the\n"
               "result is printed all the same); 130 stopped by SIGINT or SIGTERM.\n")) +
           std::string(Tr(
               "\n"
               "Keeping watch: talvik-scan --watch [OPTION]... [TARGET]...\n"
               "  --watch                  listen to ARP on the targets' interfaces, scan them "
               "again\n"
               "                           now and then, print each event as it happens until "
               "SIGINT\n"
               "                           or SIGTERM: new, back, gone, mac-changed, conflict,\n"
               "                           gateway-changed, link-down, link-up\n"
               "  --every TIME             scan again this often: 90, 30s, 5m, 1h (default 5m; "
               "0: only\n"
               "                           listen)\n"
               "  --format text|jsonl      an event as a line for people or as one JSON object\n"
               "  --exec COMMAND           run COMMAND for each event, the event as JSON on its "
               "input\n"
               "                           (no shell; one at a time; stopped after 10 s)\n"
               "  --interface NAME         with no target: watch the network of interface NAME\n"
               "A watch exits with 0 when stopped, or 4 when device memory failed on the way (it\n"
               "watched on without it).\n"));
}

}  // namespace talvik::cli
