// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Options.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <set>
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

void AddRun(std::uint32_t first, std::uint32_t last, std::vector<std::string>& rows) {
    for (std::uint64_t address = first; address <= last; ++address) {
        rows.push_back(FormatDottedDecimal(static_cast<std::uint32_t>(address)));
    }
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

bool ExpandTarget(std::string_view text, std::vector<std::string>& rows, std::string& error) {
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
        if ((*last & 0xFFFFFF00u) != (first & 0xFFFFFF00u)) {
            error = Format(Tr("the range leaves one /24: %s"), Quoted(text).c_str());
            return false;
        }
        if (*last < first) {
            error = Format(Tr("the range ends before it starts: %s"), Quoted(text).c_str());
            return false;
        }
        AddRun(first, *last, rows);
        return true;
    }
    if (const auto slash = text.find('/'); slash != std::string_view::npos) {
        const auto base = ParseDottedDecimal(text.substr(0, slash));
        const auto bits = Number(text.substr(slash + 1), 0, 32);
        if (!base || !bits) {
            error = Format(Tr("not a valid network: %s"), Quoted(text).c_str());
            return false;
        }
        if (*bits < 24) {
            error = Format(Tr("a network prefix must be /24 or longer (255 targets at most): %s"),
                           Quoted(text).c_str());
            return false;
        }
        const std::uint32_t mask = *bits == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> *bits);
        const std::uint32_t network = *base & mask;
        const std::uint32_t broadcast = network | ~mask;
        // Up to /30 the network and broadcast addresses are no hosts; a /31 has two hosts.
        if (*bits <= 30) {
            AddRun(network + 1, broadcast - 1, rows);
        } else {
            AddRun(network, broadcast, rows);
        }
        return true;
    }
    if (ParseDottedDecimal(text)) {
        rows.push_back(FormatDottedDecimal(*ParseDottedDecimal(text)));
        return true;
    }
    if (LooksNumeric(text) || !IsHostName(text)) {
        error = Format(Tr("not a valid address, range or host name: %s"), Quoted(text).c_str());
        return false;
    }
    rows.emplace_back(text);
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
    std::set<std::string> given;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            std::string error;
            std::vector<std::string> rows;
            if (!ExpandTarget(arg, rows, error)) {
                return bad(error);
            }
            for (std::string& row : rows) {
                std::string key = row;
                std::transform(key.begin(), key.end(), key.begin(),
                               [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
                if (given.insert(std::move(key)).second) {
                    options.targets.push_back(std::move(row));
                }
            }
            if (options.targets.size() > static_cast<std::size_t>(MAX_TARGETS)) {
                return bad(Format(Tr("more than %d targets"), MAX_TARGETS));
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
                                name == "--network-condition" || name == "--every" ||
                                name == "--exec" || name == "--interface";
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
                options.format = OutputFormat::Jsonl;
            } else {
                return bad(
                    Format(Tr("--format takes text, csv or json: %s"), Quoted(*value).c_str()));
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
        } else if (name == "--interface") {
            if (value->empty() || value->size() > 15 || value->find('/') != std::string::npos) {
                return bad(Format(Tr("not an interface name: %s"), Quoted(*value).c_str()));
            }
            options.interfaces.push_back(*value);
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
        options.format != OutputFormat::Jsonl) {
        return bad(Tr("--watch prints text or jsonl"));
    }
    if (!options.watch && options.format == OutputFormat::Jsonl) {
        return bad(Tr("--format jsonl goes with --watch"));
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
               "A target is an address (203.0.113.7), a range inside one /24 "
               "(203.0.113.1-203.0.113.254\n"
               "or 203.0.113.1-254), a network of /24 or longer (203.0.113.0/24) or a host name; "
               "255 at "
               "most.\n"
               "\n"
               "Options:\n"
               "  --format text|csv|json   how the result is printed (default text)\n"
               "  --workers 1..64          how many targets are asked at once (default 50)\n"
               "  --network-condition 100..5000\n"
               "                           the lower, the longer late answers are awaited (default "
               "1000)\n"
               "  --all                    the text format lists silent and unasked targets too\n"
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
