// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The results for scripts and spreadsheets: CSV (RFC 4180) and JSON, both UTF-8, with the same
// columns from the window's export and from talvik-scan.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scan/Ports.h"
#include "store/DeviceChanges.h"

namespace talvik {

enum class ExportState { Answered, Silent, NotAsked, Unresolved };

// The word a state is written as: answered, silent, not-asked, unresolved.
const char* ExportStateName(ExportState state);

// How a row's outcome is exported: a row the scan has not finished with was not asked.
ExportState ExportStateOf(RowOutcome outcome);

// One target of a scan. Absent values are written as null (JSON) or an empty field (CSV).
struct ExportHost {
    std::string target;                  // as the user gave it: an address or a name
    std::optional<std::string> address;  // dotted decimal; none for a name that did not resolve
    ExportState state = ExportState::NotAsked;
    std::optional<std::string> mac;  // aa:bb:cc:dd:ee:ff
    std::vector<std::string> otherMacs;
    std::optional<std::string> maker;
    std::optional<std::string> hostName;   // what the network calls it
    std::optional<std::string> name;       // what the user called it in the device memory
    std::optional<std::string> firstSeen;  // ISO 8601 with offset
    std::optional<std::string> lastSeen;
    // Null where memory is off or failed, or nothing answered; false: a device known before.
    std::optional<bool> isNew;
    // Answered: the other MAC that answered there last time; silent: the one that last did.
    std::optional<std::string> previousMac;
    std::optional<std::string> interface;  // the interface it was asked on
};

struct ExportResult {
    std::vector<std::string> notes;  // what the window's boxes said of the scan
    std::vector<ExportHost> hosts;   // in list order
};

// A MAC as the list shows it (00-0C-29-...) in lower case with colons; nothing for other text.
std::optional<std::string> ExportMac(std::string_view listText);

// A moment (seconds since the epoch) in ISO 8601 with the local offset: 2026-12-09T14:03:00+08:00.
std::string ExportTime(std::int64_t when);

// Text that is valid UTF-8, every malformed byte replaced by U+FFFD: names come off the network.
std::string ValidUtf8(std::string_view text);

// A header line and one line per host, CRLF line ends; other_macs are separated by spaces. A
// cell that a spreadsheet would run as a formula (it starts with = + - @, a tab or a carriage
// return) gets a leading '. With `byteOrderMark` the text starts with UTF-8's, by which
// spreadsheets tell it from the local code page.
std::string BuildCsvExport(const ExportResult& result, bool byteOrderMark = false);

// One host as a JSON object on one line, without a line break: an entry of "hosts".
std::string BuildJsonHost(const ExportHost& host);
// `raw` as a JSON string, quotes included: malformed UTF-8 mended, control characters escaped.
std::string JsonString(std::string_view raw);

// One JSON object {"targets", "answered", "notes", "hosts"}, ending with a line break.
std::string BuildJsonExport(const ExportResult& result);

// The same documents handed to `sink` piece by piece, so that a /16's need not be held whole;
// false as soon as the sink refuses a piece.
using ExportSink = std::function<bool(std::string_view piece)>;
bool WriteCsvExport(const ExportResult& result, bool byteOrderMark, const ExportSink& sink);
bool WriteJsonExport(const ExportResult& result, const ExportSink& sink);

// Fills the device memory's fields of `host` from what the store said of its row in a scan
// written at `scannedAt`; the window and talvik-scan share it so their exports agree.
void AddMemoryFields(ExportHost& host, const store::RowChange& change, std::int64_t scannedAt);

}  // namespace talvik
