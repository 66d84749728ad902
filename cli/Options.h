// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// talvik-scan's command line: its options and the targets they name, checked before anything
// is sent.

#include <string>
#include <string_view>
#include <vector>

#include "scan/ScanTypes.h"

namespace talvik::cli {

enum class OutputFormat { Text, Csv, Json, Jsonl };

struct ScanOptions {
    OutputFormat format = OutputFormat::Text;
    int workers = kStartWorkerLimit;
    int networkCondition = kStartNetworkCondition;
    bool all = false;
    bool noNames = false;
    bool remember = false;
    bool noMemory = false;
    bool bom = false;  // CSV starts with UTF-8's byte order mark, for spreadsheets
    // Keep watch until stopped: listen, scan again every `everySeconds` (0: listen only), and
    // run `exec` for each event.
    bool watch = false;
    int everySeconds = 300;
    std::string exec;
    // Interfaces named by --interface; a watch without targets watches their networks.
    std::vector<std::string> interfaces;
    // The rows of the scan, in order: dotted-decimal addresses and host names.
    std::vector<std::string> targets;
};

struct ParsedCommand {
    enum class Action { Scan, Help, Version, BadUsage };
    Action action = Action::BadUsage;
    ScanOptions options;
    std::string error;  // for BadUsage: one line saying what is wrong
};

// `args` without the program's name.
ParsedCommand ParseCommandLine(const std::vector<std::string>& args);

// Adds the rows one TARGET names: an address, a range inside one /24 (a.b.c.d-a.b.c.e or
// a.b.c.d-e), the hosts of a prefix of /24 or longer, or a host name. False with `error` set
// when the text is none of these.
bool ExpandTarget(std::string_view text, std::vector<std::string>& rows, std::string& error);

// `text` as a line may show it: escape sequences, other control characters, line and
// bidirectional marks and malformed UTF-8 written as \xHH or \uHHHH, a backslash doubled.
std::string PrintableText(std::string_view text);

// What --help prints.
std::string UsageText();

}  // namespace talvik::cli
