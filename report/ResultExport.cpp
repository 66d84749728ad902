// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/ResultExport.h"

#include <utility>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace talvik {

namespace {
// Large results go out in pieces of about this size, never held whole.
constexpr std::size_t kExportPiece = 64 * 1024;
}  // namespace

namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";

// A spreadsheet takes a cell that starts like this for a formula, and names come off the
// network: a leading apostrophe makes such a cell text again.
bool LooksLikeFormula(std::string_view text) {
    return !text.empty() &&
           std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos;
}

std::string CsvText(std::string_view raw) {
    std::string text = ValidUtf8(raw);
    if (LooksLikeFormula(text)) {
        text.insert(0, 1, '\'');
    }
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

std::string CsvField(const std::optional<std::string>& value) {
    return value ? CsvText(*value) : std::string();
}

std::string JsonValue(const std::optional<std::string>& value) {
    return value ? JsonString(*value) : std::string("null");
}

std::string JsonList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += (i == 0 ? "" : ", ") + JsonString(items[i]);
    }
    return out + "]";
}

}  // namespace

std::string JsonString(std::string_view raw) {
    std::string out = "\"";
    for (const char c : ValidUtf8(raw)) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

ExportState ExportStateOf(RowOutcome outcome) {
    switch (outcome) {
        case RowOutcome::Answered:
            return ExportState::Answered;
        case RowOutcome::Silent:
            return ExportState::Silent;
        case RowOutcome::Unresolved:
            return ExportState::Unresolved;
        case RowOutcome::NotAsked:
        case RowOutcome::Waiting:
        case RowOutcome::NotScanned:
            break;
    }
    return ExportState::NotAsked;
}

const char* ExportStateName(ExportState state) {
    switch (state) {
        case ExportState::Answered:
            return "answered";
        case ExportState::Silent:
            return "silent";
        case ExportState::Unresolved:
            return "unresolved";
        case ExportState::NotAsked:
            break;
    }
    return "not-asked";
}

std::optional<std::string> ExportMac(std::string_view listText) {
    if (listText.size() != 17) {
        return std::nullopt;
    }
    std::string mac;
    for (std::size_t i = 0; i < listText.size(); ++i) {
        const char c = listText[i];
        if (i % 3 == 2) {
            if (c != '-' && c != ':') {
                return std::nullopt;
            }
            mac += ':';
        } else if (std::isxdigit(static_cast<unsigned char>(c)) != 0) {
            mac += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else {
            return std::nullopt;
        }
    }
    return mac;
}

std::string ExportTime(std::int64_t when) {
    const std::time_t time = static_cast<std::time_t>(when);
    std::tm local{};
    localtime_r(&time, &local);
    char text[40] = {};
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    const std::string iso = text;
    // ISO 8601 writes the offset as +08:00. Built by concatenation: GCC 12 warns falsely about
    // std::string::insert here.
    if (iso.size() < 5) {
        return iso;
    }
    return iso.substr(0, iso.size() - 2) + ":" + iso.substr(iso.size() - 2);
}

std::string ValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t least = 0;
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            least = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            least = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            least = 0x10000;
        }
        bool valid = length > 0 && i + length <= text.size();
        std::uint32_t code = length > 1 ? lead & (0x7Fu >> length) : lead;
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3Fu);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are no UTF-8 either.
        valid = valid && code >= least && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        if (valid) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += kReplacement;
            ++i;
        }
    }
    return out;
}

bool WriteCsvExport(const ExportResult& result, bool byteOrderMark, const ExportSink& sink) {
    std::string out = byteOrderMark ? "\xEF\xBB\xBF" : "";
    out +=
        "address,state,mac,maker,host_name,name,first_seen,last_seen,new,previous_mac,"
        "other_macs,interface\r\n";
    for (const ExportHost& host : result.hosts) {
        std::string others;
        for (const std::string& mac : host.otherMacs) {
            others += (others.empty() ? "" : " ") + mac;
        }
        // A name that did not resolve has no address; the name itself says which row it is.
        const std::string address = host.address.value_or(host.target);
        const std::string fields[] = {CsvText(address),
                                      ExportStateName(host.state),
                                      CsvField(host.mac),
                                      CsvField(host.maker),
                                      CsvField(host.hostName),
                                      CsvField(host.name),
                                      CsvField(host.firstSeen),
                                      CsvField(host.lastSeen),
                                      host.isNew ? (*host.isNew ? "true" : "false") : "",
                                      CsvField(host.previousMac),
                                      CsvText(others),
                                      CsvField(host.interface)};
        for (std::size_t i = 0; i < std::size(fields); ++i) {
            out += (i == 0 ? "" : ",") + fields[i];
        }
        out += "\r\n";
        if (out.size() >= kExportPiece && !sink(std::exchange(out, {}))) {
            return false;
        }
    }
    return sink(out);
}

std::string BuildCsvExport(const ExportResult& result, bool byteOrderMark) {
    std::string out;
    WriteCsvExport(result, byteOrderMark, [&out](std::string_view piece) {
        out += piece;
        return true;
    });
    return out;
}

std::string BuildJsonHost(const ExportHost& host) {
    return "{\"target\": " + JsonString(host.target) + ", \"address\": " + JsonValue(host.address) +
           ", \"state\": \"" + ExportStateName(host.state) + "\", \"mac\": " + JsonValue(host.mac) +
           ", \"other_macs\": " + JsonList(host.otherMacs) +
           ", \"maker\": " + JsonValue(host.maker) +
           ", \"host_name\": " + JsonValue(host.hostName) + ", \"name\": " + JsonValue(host.name) +
           ", \"first_seen\": " + JsonValue(host.firstSeen) +
           ", \"last_seen\": " + JsonValue(host.lastSeen) +
           ", \"new\": " + (host.isNew ? (*host.isNew ? "true" : "false") : "null") +
           ", \"previous_mac\": " + JsonValue(host.previousMac) +
           ", \"interface\": " + JsonValue(host.interface) + "}";
}

bool WriteJsonExport(const ExportResult& result, const ExportSink& sink) {
    const auto answered =
        std::count_if(result.hosts.begin(), result.hosts.end(),
                      [](const auto& h) { return h.state == ExportState::Answered; });
    std::string out = "{\"targets\": " + std::to_string(result.hosts.size()) +
                      ", \"answered\": " + std::to_string(answered) +
                      ", \"notes\": " + JsonList(result.notes) + ", \"hosts\": [";
    for (std::size_t i = 0; i < result.hosts.size(); ++i) {
        out += i == 0 ? "\n  " : ",\n  ";
        out += BuildJsonHost(result.hosts[i]);
        if (out.size() >= kExportPiece && !sink(std::exchange(out, {}))) {
            return false;
        }
    }
    out += result.hosts.empty() ? "]}\n" : "\n]}\n";
    return sink(out);
}

std::string BuildJsonExport(const ExportResult& result) {
    std::string out;
    WriteJsonExport(result, [&out](std::string_view piece) {
        out += piece;
        return true;
    });
    return out;
}

void AddMemoryFields(ExportHost& host, const store::RowChange& change, std::int64_t scannedAt) {
    if (!change.mac.empty()) {
        host.isNew = change.isNew;
        host.firstSeen = ExportTime(change.firstSeen);
        host.lastSeen = ExportTime(scannedAt);
        if (!change.name.empty()) {
            host.name = change.name;
        }
        if (change.previous) {
            host.previousMac = ExportMac(change.previous->mac);
        }
    } else if (change.lastOnline) {
        host.lastSeen = ExportTime(change.lastOnline->when);
        host.previousMac = ExportMac(change.lastOnline->mac);
        if (!change.lastOnline->name.empty()) {
            host.name = change.lastOnline->name;
        }
    }
}

}  // namespace talvik
