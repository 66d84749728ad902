// SPDX-License-Identifier: GPL-3.0-or-later
// What the command prints: the text format, the summary, notices and the exit status, and the
// write of the result that must not claim what did not happen.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/Language.h"
#include "cli/ScanCommand.h"
#include "scan/Address.h"

namespace talvik::cli {
namespace {

// Columns measured as a terminal shows them: East Asian characters take two cells.
std::size_t DisplayWidth(std::string_view text) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        width += length >= 3 ? 2 : 1;
        i += length;
    }
    return width;
}

std::string Padded(const std::string& text, std::size_t width) {
    const std::size_t shown = DisplayWidth(text);
    return text + std::string(width > shown ? width - shown : 0, ' ');
}

const char* StateText(ExportState state) {
    switch (state) {
        case ExportState::Answered:
            return Tr("up");
        case ExportState::Silent:
            return Tr("silent");
        case ExportState::Unresolved:
            return Tr("unresolved");
        case ExportState::NotAsked:
            break;
    }
    return Tr("not asked");
}

}  // namespace

int ExitStatusOf(const ExportResult& result, bool interrupted, bool memoryFailed) {
    if (interrupted) {
        return kExitInterrupted;
    }
    if (memoryFailed) {
        return kExitMemoryFailed;
    }
    const bool missed = std::any_of(result.hosts.begin(), result.hosts.end(), [](const auto& h) {
        return h.state == ExportState::NotAsked || h.state == ExportState::Unresolved;
    });
    return missed ? kExitSomeNotAsked : kExitAllAsked;
}

std::string BuildTextOutput(const ExportResult& result, bool all) {
    // What memory knows: another MAC than last time (which wins, as in the window, where a
    // new device took over a known address), a new device, a device that left.
    const auto mark = [](const ExportHost& host) -> std::string {
        if (host.previousMac) {
            return Format(host.state == ExportState::Answered ? Tr("MAC changed, was %s")
                                                              : Tr("gone, was %s"),
                          host.previousMac->c_str());
        }
        return host.state == ExportState::Answered && host.isNew.value_or(false) ? Tr("new device")
                                                                                 : "";
    };
    std::vector<const ExportHost*> shown;
    bool marked = false;
    for (const ExportHost& host : result.hosts) {
        // A device that left is shown as well: that it left is the news.
        if (all || host.state == ExportState::Answered || !mark(host).empty()) {
            shown.push_back(&host);
            marked = marked || !mark(host).empty();
        }
    }
    const auto first = [](const ExportHost& host) { return host.address.value_or(host.target); };
    const auto second = [](const ExportHost& host) {
        return host.state == ExportState::Answered ? host.mac.value_or("")
                                                   : std::string(StateText(host.state));
    };
    // The name the user typed, where the target was one, else what the network calls it.
    const auto last = [](const ExportHost& host) {
        std::string name = host.hostName.value_or("");
        if (!ParseDottedDecimal(host.target) && name != host.target && host.address) {
            name = name.empty() ? host.target : host.target + " (" + name + ")";
        }
        return name;
    };
    const bool interfaces = std::any_of(shown.begin(), shown.end(),
                                        [](const ExportHost* host) { return host->interface; });
    std::size_t widths[5] = {};
    for (const ExportHost* host : shown) {
        widths[4] = std::max(widths[4], DisplayWidth(host->interface.value_or("")));
        widths[0] = std::max(widths[0], DisplayWidth(first(*host)));
        widths[1] = std::max(widths[1], DisplayWidth(second(*host)));
        widths[2] = std::max(widths[2], DisplayWidth(host->maker.value_or("")));
        widths[3] = std::max(widths[3], DisplayWidth(mark(*host)));
    }
    std::string out;
    for (const ExportHost* host : shown) {
        std::string line =
            Padded(first(*host), widths[0]) + "  " + Padded(second(*host), widths[1]) + "  " +
            (interfaces ? Padded(host->interface.value_or(""), widths[4]) + "  " : "") +
            (marked ? Padded(mark(*host), widths[3]) + "  " : "") +
            Padded(host->maker.value_or(""), widths[2]) + "  " + last(*host);
        line.erase(line.find_last_not_of(' ') + 1);
        out += ValidUtf8(line) + "\n";
    }
    return out;
}

std::string SummaryLine(const ExportResult& result, double seconds, bool interrupted,
                        std::size_t targets) {
    int answered = 0;
    int notAsked = 0;
    int unresolved = 0;
    for (const ExportHost& host : result.hosts) {
        answered += host.state == ExportState::Answered ? 1 : 0;
        notAsked += host.state == ExportState::NotAsked ? 1 : 0;
        unresolved += host.state == ExportState::Unresolved ? 1 : 0;
    }
    char time[32];
    std::snprintf(time, sizeof time, "%.1f", seconds);
    std::string line = interrupted ? Tr("Scan interrupted: ") : "";
    targets = std::max(targets, result.hosts.size());
    line += Format(TrCount("%zu target", "%zu targets", targets), targets);
    line += Format(TrCount(", %d up", ", %d up", static_cast<unsigned long>(answered)), answered);
    if (notAsked > 0) {
        line += Format(
            TrCount(", %d not asked", ", %d not asked", static_cast<unsigned long>(notAsked)),
            notAsked);
    }
    if (unresolved > 0) {
        line += Format(TrCount(", %d name did not resolve", ", %d names did not resolve",
                               static_cast<unsigned long>(unresolved)),
                       unresolved);
    }
    return line + Format(Tr(" (%s s)."), time);
}

std::string NoticeLine(std::string_view note) {
    std::string line;
    while (!note.empty()) {
        const std::size_t end = std::min(note.find('\n'), note.size());
        const std::string_view piece = note.substr(0, end);
        note.remove_prefix(std::min(end + 1, note.size()));
        if (piece.empty()) {
            continue;
        }
        // Chinese sentences end in full-width marks and need no blank after them.
        if (!line.empty() && static_cast<unsigned char>(line.back()) < 0x80) {
            line += ' ';
        }
        line += piece;
    }
    return Tr("talvik-scan: ") + PrintableText(line);
}

void LiveOutput::Answered(const ExportHost& host) {
    if (!Streams()) {
        return;
    }
    std::string line;
    if (format_ == OutputFormat::JsonLines) {
        line = BuildJsonHost(host) + "\n";
    } else {
        // Fixed columns: the widths of rows still to come are not known.
        line = Padded(host.address.value_or(host.target), 15) + "  " +
               Padded(host.mac.value_or(""), 17) + "  " + Padded(host.interface.value_or(""), 9) +
               "  " + host.maker.value_or("");
        if (!ParseDottedDecimal(host.target)) {
            line += "  " + host.target;
        }
        line.erase(line.find_last_not_of(' ') + 1);
        line = ValidUtf8(line) + "\n";
    }
    const std::lock_guard lock(mutex_);
    printed_.push_back(host.target);
    if (!failure_.empty()) {
        return;
    }
    if (out_ == nullptr) {
        failure_ = Tr("standard output is closed");
    } else if (std::fwrite(line.data(), 1, line.size(), out_) != line.size() ||
               std::fflush(out_) != 0) {
        failure_ = ErrorText(errno);
    }
}

std::string LiveOutput::Rest(const ExportResult& result, bool all) const {
    const std::lock_guard lock(mutex_);
    std::vector<std::string> printed = printed_;
    std::sort(printed.begin(), printed.end());
    ExportResult rest;
    for (const ExportHost& host : result.hosts) {
        if (!std::binary_search(printed.begin(), printed.end(), host.target)) {
            rest.hosts.push_back(host);
        }
    }
    if (format_ == OutputFormat::Text) {
        return BuildTextOutput(rest, all);
    }
    std::string out;
    for (const ExportHost& host : rest.hosts) {
        if (all || host.state == ExportState::Answered) {
            out += BuildJsonHost(host) + "\n";
        }
    }
    return out;
}

std::string LiveOutput::Failure() const {
    const std::lock_guard lock(mutex_);
    return failure_;
}

bool WriteResult(std::FILE* out, std::string_view text, std::FILE* err) {
    std::string why;
    if (out == nullptr) {
        why = Tr("standard output is closed");
    } else if (std::fwrite(text.data(), 1, text.size(), out) != text.size() ||
               std::fflush(out) != 0) {
        why = ErrorText(errno);
    } else {
        return true;
    }
    std::fprintf(err, Tr("talvik-scan: cannot write the result: %s\n"), why.c_str());
    return false;
}

}  // namespace talvik::cli
