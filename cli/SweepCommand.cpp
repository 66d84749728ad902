// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/SweepCommand.h"

#include <net/if.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <stop_token>
#include <thread>

#include "cli/Language.h"
#include "netlink/LinkInterfaces.h"
#include "platform/Platform.h"
#include "scan/Address.h"
#include "scan/ScanTypes.h"
#include "scan/Sweep.h"

namespace talvik::cli {
namespace {

constexpr std::chrono::milliseconds kPoll(20);
constexpr std::chrono::milliseconds kProgressEvery(200);

std::string MacText(const std::array<std::uint8_t, 6>& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

// What the run knows of a row once it answered; the few that answer, not every row.
struct Answer {
    std::vector<std::array<std::uint8_t, 6>> macs;
};

// The targets not asked, counted apart as the engine's notes count them: those off every
// segment, those of each interface that is down, and those the sweep could not send.
void AddNotAskedNotes(const RoutedRun& run, const std::map<std::size_t, NotAskedReason>& sweep,
                      const std::vector<std::size_t>& linkOf, std::vector<std::string>& notes) {
    std::size_t offLink = 0;
    std::vector<std::size_t> down(run.downLinks.size());
    std::map<NotAskedReason, std::size_t> failed;
    for (std::size_t row = 0; row < run.rows.size(); ++row) {
        const RoutedRow& routed = run.rows[row];
        if (routed.address == 0 || routed.own) {
            continue;
        }
        if (routed.down >= 0) {
            ++down[static_cast<std::size_t>(routed.down)];
        } else if (routed.link < 0 && routed.why == NotAskedReason::OffLink) {
            ++offLink;
        } else if (const auto why = sweep.find(row); why != sweep.end()) {
            ++failed[why->second];
        } else if (routed.link >= 0 && linkOf[static_cast<std::size_t>(routed.link)] == SIZE_MAX) {
            ++failed[NotAskedReason::Failed];
        }
    }
    offLink -= std::min(offLink, run.notOnChosen);
    if (offLink > 0) {
        notes.push_back(NoticeInLanguage(kOffLinkBefore + std::to_string(offLink) + kOffLinkAfter));
    }
    for (std::size_t i = 0; i < down.size(); ++i) {
        notes.push_back(NoticeInLanguage(kLinkLostBefore + run.downLinks[i] + kLinkLostAfter +
                                         std::to_string(down[i]) + kNotAskedCount));
    }
    for (const auto& [why, count] : failed) {
        const char* start = why == NotAskedReason::LinkDown      ? kNotAskedLinkDown
                            : why == NotAskedReason::Refused     ? kNotAskedRefused
                            : why == NotAskedReason::NoResources ? kNotAskedDescriptors
                            : why == NotAskedReason::HelperLost  ? kNotAskedHelperLost
                                                                 : kNotAskedFailed;
        notes.push_back(NoticeInLanguage(start + std::to_string(count) + kNotAskedCount));
    }
}

}  // namespace

std::optional<RoutedRun> RouteTargets(const ScanOptions& options, std::string& error, int& status) {
    const auto interfaces = ReadLinkInterfaces();
    if (!interfaces) {
        error = Format(Tr("cannot read the interfaces: %s"), ErrorText(errno).c_str());
        status = kExitSomeNotAsked;
        return std::nullopt;
    }
    for (const std::string& name : options.interfaces) {
        if (::if_nametoindex(name.c_str()) == 0) {
            error = Format(Tr("there is no interface %s"), name.c_str());
            status = kExitBadUsage;
            return std::nullopt;
        }
        if (!LinkUsable(name)) {
            error = Format(Tr("interface %s is down"), name.c_str());
            status = kExitSomeNotAsked;
            return std::nullopt;
        }
        if (std::none_of(interfaces->begin(), interfaces->end(), [&](const LinkInterface& link) {
                return link.name == name && link.canArp;
            })) {
            error = Format(Tr("interface %s has no IPv4 address to ask from"), name.c_str());
            status = kExitSomeNotAsked;
            return std::nullopt;
        }
    }
    RoutedRun run;
    run.rows.resize(options.targets.size());
    std::vector<std::uint32_t> asked;
    const auto resolver = MakeNameResolver();
    for (std::size_t row = 0; row < options.targets.size(); ++row) {
        RoutedRow& routed = run.rows[row];
        if (options.targets.IsName(row)) {
            routed.address = resolver->Resolve(options.targets.Name(row)).value_or(0);
        } else {
            routed.address = options.targets.Address(row);
        }
        if (routed.address != 0) {
            asked.push_back(routed.address);
        }
    }
    // The kernel is asked for every address: its rules may send any of them anywhere.
    const auto routes = AskRoutes(asked);
    const auto down = ReadDownLinkInterfaces().value_or(std::vector<LinkInterface>{});
    std::size_t next = 0;
    for (RoutedRow& routed : run.rows) {
        if (routed.address == 0) {
            continue;
        }
        const std::size_t at = next++;
        const LinkChoice choice = routes ? ChooseRoute(*interfaces, routed.address, (*routes)[at])
                                         : ChooseLink(*interfaces, routed.address);
        if (choice.verdict == LinkVerdict::NotOnLink) {
            // Its routes went with its link: the subnets of the links that are down say it.
            if (const LinkChoice downChoice = ChooseLink(down, routed.address);
                downChoice.verdict != LinkVerdict::NotOnLink) {
                routed.why = NotAskedReason::LinkDown;
                const auto named =
                    std::find(run.downLinks.begin(), run.downLinks.end(), downChoice.link.name);
                routed.down = static_cast<int>(named - run.downLinks.begin());
                if (named == run.downLinks.end()) {
                    run.downLinks.push_back(downChoice.link.name);
                }
            }
            continue;
        }
        if (!options.interfaces.empty() &&
            std::find(options.interfaces.begin(), options.interfaces.end(), choice.link.name) ==
                options.interfaces.end()) {
            ++run.notOnChosen;
            continue;
        }
        const auto found = std::find(run.links.begin(), run.links.end(), choice.link.name);
        routed.link = static_cast<int>(found - run.links.begin());
        if (found == run.links.end()) {
            run.links.push_back(choice.link.name);
            run.ownMacs.push_back(choice.link.mac);
        }
        routed.own = choice.verdict == LinkVerdict::OwnAddress;
    }
    return run;
}

SweepPhase RunSweepPhase(const ScanOptions& options, IArpWires& wires, LiveOutput& live,
                         const std::function<void(ExportHost&)>& describe, bool keepSilent,
                         std::FILE* err, bool progress, const sigset_t& stopSignals) {
    SweepPhase phase;
    std::string error;
    int status = kExitSomeNotAsked;
    const auto routed = RouteTargets(options, error, status);
    if (!routed) {
        std::fprintf(err, "%s\n", NoticeLine(error).c_str());
        phase.exitStatus = status;
        return phase;
    }
    if (routed->notOnChosen > 0) {
        phase.result.notes.push_back(
            Format(TrCount("%zu target does not leave by the interfaces given; it is not asked",
                           "%zu targets do not leave by the interfaces given; they are not asked",
                           routed->notOnChosen),
                   routed->notOnChosen));
    }
    const std::vector<RoutedRow>& rows = routed->rows;
    std::vector<std::unique_ptr<IArpWire>> opened(routed->links.size());
    std::vector<SweepLink> links;
    std::vector<std::size_t> linkOf(routed->links.size(), SIZE_MAX);
    for (std::size_t i = 0; i < routed->links.size(); ++i) {
        opened[i] = wires.Open(routed->links[i], error);
        if (!opened[i]) {
            phase.result.notes.push_back(error);
            continue;
        }
        linkOf[i] = links.size();
        links.push_back({opened[i].get(), {}, {}});
    }
    for (std::size_t row = 0; row < rows.size(); ++row) {
        if (rows[row].link >= 0 && !rows[row].own &&
            linkOf[static_cast<std::size_t>(rows[row].link)] != SIZE_MAX) {
            links[linkOf[static_cast<std::size_t>(rows[row].link)]].targets.push_back(
                {rows[row].address, row});
        }
    }

    const auto hostOf = [&](std::size_t row) {
        ExportHost host;
        host.target = options.targets.Text(row);
        if (rows[row].address != 0) {
            host.address = FormatDottedDecimal(rows[row].address);
        }
        if (rows[row].link >= 0) {
            host.interface = routed->links[static_cast<std::size_t>(rows[row].link)];
        }
        return host;
    };
    std::mutex mutex;
    std::map<std::size_t, Answer> answers;
    std::map<std::size_t, NotAskedReason> notAsked;
    std::size_t asked = 0;
    std::size_t found = 0;
    std::chrono::milliseconds left{0};
    bool progressShown = false;
    SweepEvents events;
    events.answered = [&](std::size_t row, const std::array<std::uint8_t, 6>& mac) {
        const std::lock_guard lock(mutex);
        Answer& answer = answers[row];
        if (std::find(answer.macs.begin(), answer.macs.end(), mac) != answer.macs.end()) {
            return;
        }
        answer.macs.push_back(mac);
        if (answer.macs.size() == 1) {
            ExportHost host = hostOf(row);
            host.state = ExportState::Answered;
            host.mac = MacText(mac);
            describe(host);
            if (progressShown && live.Streams()) {
                // On a terminal the row would land after the progress line's text.
                std::fputs("\r\033[K", err);
                std::fflush(err);
                progressShown = false;
            }
            live.Answered(host);
        }
    };
    events.notAsked = [&](std::size_t row, NotAskedReason why) {
        const std::lock_guard lock(mutex);
        notAsked.emplace(row, why);
    };
    events.progress = [&](std::size_t nowAsked, std::size_t nowFound,
                          std::chrono::milliseconds nowLeft) {
        const std::lock_guard lock(mutex);
        asked = nowAsked;
        found = nowFound;
        left = nowLeft;
    };
    // Our own addresses answer for themselves, before anything is sent.
    for (std::size_t row = 0; row < rows.size(); ++row) {
        if (rows[row].own) {
            events.answered(row, routed->ownMacs[static_cast<std::size_t>(rows[row].link)]);
        }
    }
    SweepOptions sweepOptions;
    sweepOptions.framesPerSecond = options.rate > 0 ? options.rate : kDefaultRate;
    sweepOptions.lateWindow = LateWindow(options.networkCondition);
    std::stop_source stop;
    std::atomic<bool> done{false};
    std::thread sweep([&] {
        RunSweep(links, sweepOptions, events, stop.get_token());
        done = true;
    });
    auto shownAt = std::chrono::steady_clock::now();
    while (!done) {
        if (TakeStopSignal(stopSignals, kPoll)) {
            phase.interrupted = true;
            stop.request_stop();
            break;
        }
        if (progress && std::chrono::steady_clock::now() - shownAt >= kProgressEvery) {
            shownAt = std::chrono::steady_clock::now();
            const std::lock_guard lock(mutex);
            std::fprintf(err, "\r%s\033[K",
                         Format(Tr("%zu/%zu asked, %zu up, %llds left"), asked, rows.size(), found,
                                static_cast<long long>(left.count() / 1000))
                             .c_str());
            std::fflush(err);
            progressShown = true;
        }
    }
    sweep.join();
    if (progress) {
        std::fprintf(err, "\r\033[K");
    }

    AddNotAskedNotes(*routed, notAsked, linkOf, phase.result.notes);

    // The whole list; silent rows only where they are printed, which a /16 has thousands of.
    // Memory needs them too: what was asked and not heard says who left.
    const bool silentRows = !live.Streams() || options.all || keepSilent;
    for (std::size_t row = 0; row < rows.size(); ++row) {
        ExportHost host = hostOf(row);
        if (const auto answer = answers.find(row); answer != answers.end()) {
            host.state = ExportState::Answered;
            host.mac = MacText(answer->second.macs.front());
            for (std::size_t i = 1; i < answer->second.macs.size(); ++i) {
                host.otherMacs.push_back(MacText(answer->second.macs[i]));
            }
        } else if (rows[row].address == 0) {
            host.state = ExportState::Unresolved;
        } else if (rows[row].link < 0 || notAsked.contains(row) ||
                   linkOf[static_cast<std::size_t>(rows[row].link)] == SIZE_MAX ||
                   phase.interrupted) {
            host.state = ExportState::NotAsked;
        } else if (silentRows) {
            host.state = ExportState::Silent;
        } else {
            continue;
        }
        phase.result.hosts.push_back(std::move(host));
    }
    return phase;
}

}  // namespace talvik::cli
