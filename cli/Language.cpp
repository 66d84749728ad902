// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Language.h"

#include <locale.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "arp/ArpSenders.h"
#include "scan/ScanTypes.h"

namespace talvik::cli {

std::string Format(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) {
        std::vsnprintf(text.data(), text.size() + 1, format, again);
    }
    va_end(again);
    return text;
}

namespace {

// A line of the window's text: literal pieces, and between them (where a piece is empty) a
// value such as a number or a path.
using Pieces = std::vector<std::string_view>;

bool Match(std::string_view line, const Pieces& pieces, std::vector<std::string>& values) {
    values.clear();
    std::size_t at = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (!pieces[i].empty()) {
            if (line.substr(at, pieces[i].size()) != pieces[i]) {
                return false;
            }
            at += pieces[i].size();
            continue;
        }
        // A value runs to the next piece; the last piece ends the line.
        const bool last = i + 2 == pieces.size();
        const std::string_view next = i + 1 < pieces.size() ? pieces[i + 1] : std::string_view();
        std::size_t end = line.size();
        if (!next.empty()) {
            end = last ? (line.ends_with(next) ? line.size() - next.size() : std::string_view::npos)
                       : line.find(next, at);
        }
        if (end == std::string_view::npos || end <= at) {
            return false;
        }
        values.emplace_back(line.substr(at, end - at));
        at = end;
    }
    return at == line.size();
}

// The pieces of a text with one "%1" in it.
Pieces AroundPath(std::string_view text) {
    const std::size_t slot = text.find("%1");
    return {text.substr(0, slot), {}, text.substr(slot + 2)};
}

unsigned long Number(const std::string& text) {
    return std::strtoul(text.c_str(), nullptr, 10);
}

std::string NotAsked(const std::string& count) {
    return Format(
        TrCount("%lu target could not be asked.", "%lu targets could not be asked.", Number(count)),
        Number(count));
}

struct Known {
    Pieces pieces;
    std::function<std::string(const std::vector<std::string>&)> words;
};

const std::vector<Known>& KnownLines() {
    using V = const std::vector<std::string>&;
    static const std::vector<Known> known = {
        {{kHelperRestarted},
         [](V) {
             return Tr(
                 "The ARP helper ended unexpectedly; it was started again and the scan "
                 "went on.");
         }},
        {{kHelperReplaced},
         [](V) {
             return Tr(
                 "The ARP helper ended unexpectedly; the scan went on through the "
                 "system's neighbour table (slower).");
         }},
        {{kLinkLostBefore, {}, kLinkLostAfter, {}, kNotAskedCount},
         [](V v) { return Format(Tr("Interface %s went down; "), v[0].c_str()) + NotAsked(v[1]); }},
        {{kNotAskedLinkDown, {}, kNotAskedCount},
         [](V v) { return Tr("An interface went down; ") + NotAsked(v[0]); }},
        {{kNotAskedRefused, {}, kNotAskedCount},
         [](V v) {
             return Tr("The system refused the send (a firewall, say); ") + NotAsked(v[0]);
         }},
        {{kNotAskedDescriptors, {}, kNotAskedCount},
         [](V v) { return Tr("The system ran short of resources; ") + NotAsked(v[0]); }},
        {{kNotAskedHelperLost, {}, kNotAskedCount},
         [](V v) { return Tr("The ARP helper ended; ") + NotAsked(v[0]); }},
        {{kNotAskedFailed, {}, kNotAskedCount},
         [](V v) { return Tr("Sending failed; ") + NotAsked(v[0]); }},
        {{kNotAskedTail},
         [](V) { return Tr("Their rows stay empty, which does not mean the hosts are down."); }},
        {{kOffLinkBefore, {}, kOffLinkAfter},
         [](V v) {
             return Format(TrCount("%lu target is not on the local segment (behind a gateway, "
                                   "without a route, or a loopback address): ARP cannot reach "
                                   "it, and nothing was sent.",
                                   "%lu targets are not on the local segment (behind a gateway, "
                                   "without a route, or a loopback address): ARP cannot reach "
                                   "them, and nothing was sent.",
                                   Number(v[0])),
                           Number(v[0]));
         }},
        {{kHelperUnavailable},
         [](V) {
             return Tr(
                 "The ARP helper could not be started again, so this scan asked through "
                 "the system's neighbour table (slower). It is tried again at the start "
                 "of every scan.");
         }},
        {{kScanThreadFailed}, [](V) { return Tr("The scan thread failed and is ending!"); }},
        {{kFallbackMissing}, [](V) { return Tr("The ARP helper talvik-arp was not found."); }},
        {AroundPath(kFallbackNoCapability),
         [](V v) {
             return Format(Tr("The ARP helper %s lacks the cap_net_raw capability."), v[0].c_str());
         }},
        {AroundPath(kFallbackRefused),
         [](V v) {
             return Format(Tr("The system refused the ARP helper %s its socket (a security "
                              "policy, perhaps)."),
                           v[0].c_str());
         }},
        {AroundPath(kFallbackNotStarted),
         [](V v) { return Format(Tr("The ARP helper %s did not start."), v[0].c_str()); }},
        {{kFallbackNotice},
         [](V) {
             return Tr(
                 "This scan asks through the system's neighbour table instead, which is "
                 "slower.");
         }},
        {{kFallbackInstall}, [](V) { return Tr("Install the talvik package."); }},
        {{kFallbackInstallOrSetcap},
         [](V) { return Tr("Reinstall the talvik package, or run this command as root:"); }},
        {{kFallbackSetcap}, [](V) { return Tr("Run this command as root:"); }},
    };
    return known;
}

}  // namespace

std::string NoticeInLanguage(std::string_view notice) {
    // TRANSLATORS: the code of this catalogue's language. The notices the engine writes in
    // the window's language are shown as they are where this is zh_CN.
    if (std::string_view(Tr("en")) == "zh_CN") {
        return std::string(notice);
    }
    std::string out;
    std::vector<std::string> values;
    while (!notice.empty()) {
        const std::size_t end = std::min(notice.find('\n'), notice.size());
        const std::string_view line = notice.substr(0, end);
        std::string said(line);
        for (const Known& known : KnownLines()) {
            if (Match(line, known.pieces, values)) {
                said = known.words(values);
                break;
            }
        }
        out += said;
        if (end < notice.size()) {
            out += '\n';
        }
        notice.remove_prefix(std::min(end + 1, notice.size()));
    }
    return out;
}

std::string StoreNotice(const store::StoreStatus& status) {
    if (std::string_view(Tr("en")) == "zh_CN") {
        return store::DescribeProblem(status);
    }
    using store::StoreProblem;
    const char* path = status.path.c_str();
    switch (status.problem) {
        case StoreProblem::None:
            return {};
        case StoreProblem::NoHome:
            return Tr("There is no folder to keep the device records in (HOME is not set).");
        case StoreProblem::OtherUsersPlace:
            return Format(Tr("The device records' place %s belongs to another user and is not "
                             "written."),
                          path);
        case StoreProblem::NotWritable:
            return Format(Tr("The device records file %s cannot be written (the file, its folder "
                             "or the disk is read-only)."),
                          path);
        case StoreProblem::DiskFull:
            return Tr("The disk is full; the device records cannot be written.");
        case StoreProblem::Corrupt:
            return status.keptAside.empty()
                       ? Format(Tr("The device records file %s is damaged."), path)
                       : Format(Tr("The device records file was damaged: it was kept aside as %s "
                                   "and new, empty device records were made."),
                                status.keptAside.c_str());
        case StoreProblem::NewerSchema:
            return Format(Tr("The device records file %s was written by a newer Talvik, which "
                             "this version cannot use."),
                          path);
        case StoreProblem::Busy:
            return Tr("The device records file is held by another program for too long.");
        case StoreProblem::NoSuchDevice:
            return Tr("There is no record of this device.");
        case StoreProblem::Failed:
            break;
    }
    return Format(Tr("The device records file %s cannot be read or written."), path);
}

std::string ErrorText(int error) {
    static const locale_t words = [] {
        const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
        return utf8 != nullptr ? ::newlocale(LC_MESSAGES_MASK, "", utf8) : nullptr;
    }();
    return words != nullptr ? ::strerror_l(error, words) : std::strerror(error);
}

void SetUpLanguage() {
    // Messages only: numbers, times and the classes of characters stay those of C, so that the
    // output scripts read does not change with the locale.
    std::setlocale(LC_MESSAGES, "");
    // The catalogues lie where the program's own tree keeps them (the build tree, the package,
    // a tree installed elsewhere), relative to the program, as the helper and the module do.
    char self[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string folder = TALVIK_LOCALE_DIR;
    if (length > 0) {
        folder.assign(self, static_cast<std::size_t>(length));
        folder.erase(folder.rfind('/') + 1);
        folder += TALVIK_LOCALE_FROM_BINDIR;
    }
    ::bindtextdomain(kTextDomain, folder.c_str());
    ::bind_textdomain_codeset(kTextDomain, "UTF-8");
}

}  // namespace talvik::cli
