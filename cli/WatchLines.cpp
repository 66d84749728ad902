// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/WatchLines.h"

#include "cli/Language.h"
#include "cli/Options.h"
#include "report/ResultExport.h"
#include "scan/Address.h"

namespace talvik::cli {

namespace {

std::string JsonOrNull(const std::string& text) {
    return text.empty() ? "null" : JsonString(text);
}

std::string ColonMac(const std::string& mac) {
    return ExportMac(mac).value_or(mac);
}

// One CSV record's cells, from `at` on; `at` is left after its line end.
std::vector<std::string> Cells(std::string_view csv, std::size_t& at) {
    std::vector<std::string> cells(1);
    bool quoted = false;
    while (at < csv.size()) {
        const char c = csv[at++];
        if (quoted) {
            if (c == '"' && at < csv.size() && csv[at] == '"') {
                cells.back() += '"';
                ++at;
            } else if (c == '"') {
                quoted = false;
            } else {
                cells.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            cells.emplace_back();
        } else if (c == '\n') {
            break;
        } else if (c != '\r') {
            cells.back() += c;
        }
    }
    // A cell a spreadsheet would run got a leading ' in the export.
    for (std::string& cell : cells) {
        if (cell.size() > 1 && cell[0] == '\'' &&
            std::string_view("=+-@\t\r").find(cell[1]) != std::string_view::npos) {
            cell.erase(0, 1);
        }
    }
    return cells;
}

}  // namespace

std::string WatchLines::Maker(const std::string& mac) const {
    if (makers_ == nullptr) {
        return {};
    }
    const auto bytes = ParseMacText(mac);
    if (!bytes || IsLocallyAdministered(*bytes)) {
        return {};
    }
    return std::string(makers_->Maker(*bytes));
}

std::string WatchLines::Json(const WatchLine& line) const {
    const store::WatchEvent& e = line.event;
    const bool link = !line.linkKind.empty();
    const std::string kind = link ? line.linkKind : std::string(store::WatchEventName(e.kind));
    return "{\"time\": " + JsonString(ExportTime(e.when / 1000)) +
           ", \"event\": " + JsonString(kind) +
           ", \"interface\": " + JsonString(line.interfaceName) +
           ", \"address\": " + (link ? "null" : JsonString(FormatDottedDecimal(e.address))) +
           ", \"mac\": " + (link ? "null" : JsonString(ColonMac(e.mac))) +
           ", \"maker\": " + JsonOrNull(link ? "" : Maker(e.mac)) +
           ", \"name\": " + JsonOrNull(e.name) + ", \"previous_mac\": " +
           JsonOrNull(e.previousMac.empty() ? "" : ColonMac(e.previousMac)) +
           ", \"private\": " + (e.isPrivate ? "true" : "false") + "}";
}

std::string WatchLines::Line(const WatchLine& line) const {
    if (json_) {
        return Json(line) + "\n";
    }
    const store::WatchEvent& e = line.event;
    std::string text = ExportTime(e.when / 1000) + "  " + PrintableText(line.interfaceName) + "  ";
    if (!line.linkKind.empty()) {
        return text + line.linkKind + "\n";
    }
    text += std::string(store::WatchEventName(e.kind)) + "  " + FormatDottedDecimal(e.address) +
            "  " + ColonMac(e.mac);
    if (const std::string maker = Maker(e.mac); !maker.empty()) {
        text += "  " + PrintableText(maker);
    }
    if (!e.name.empty()) {
        text += "  \"" + PrintableText(e.name) + "\"";
    }
    if (!e.previousMac.empty()) {
        text += "  " + Format(Tr("(before: %s)"), ColonMac(e.previousMac).c_str());
    }
    if (e.isPrivate) {
        text += "  " + std::string(Tr("private"));
    }
    return text + "\n";
}

std::vector<store::Claim> ParseScanCsv(std::string_view csv) {
    std::vector<store::Claim> rows;
    std::size_t at = 0;
    if (csv.starts_with("\xEF\xBB\xBF")) {
        at = 3;
    }
    const std::vector<std::string> header = Cells(csv, at);
    const auto column = [&](std::string_view name) {
        for (std::size_t i = 0; i < header.size(); ++i) {
            if (header[i] == name) {
                return i;
            }
        }
        return header.size();
    };
    const std::size_t address = column("address"), state = column("state"), mac = column("mac"),
                      host = column("host_name"), others = column("other_macs");
    while (at < csv.size()) {
        const std::vector<std::string> cells = Cells(csv, at);
        const auto cell = [&](std::size_t i) {
            return i < cells.size() ? cells[i] : std::string();
        };
        const auto parsed = ParseDottedDecimal(cell(address));
        if (!parsed) {
            continue;
        }
        if (cell(state) == "answered") {
            rows.push_back({*parsed, cell(mac), cell(host)});
            const std::string other = cell(others);
            std::string_view rest = other;
            while (!rest.empty()) {
                const auto space = rest.find(' ');
                rows.push_back({*parsed, std::string(rest.substr(0, space)), cell(host)});
                rest = space == std::string_view::npos ? "" : rest.substr(space + 1);
            }
        } else if (cell(state) == "silent") {
            rows.push_back({*parsed, {}, {}});
        }
    }
    return rows;
}

}  // namespace talvik::cli
