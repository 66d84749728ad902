// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/ScanCommand.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/CommandMemory.h"
#include "cli/HeadlessPorts.h"
#include "cli/HostNameSources.h"
#include "cli/Language.h"
#include "cli/PlatformChoice.h"
#include "cli/SweepCommand.h"
#include "names/HostNames.h"
#include "names/MacVendors.h"
#include "netlink/NetworkIdentity.h"
#include "platform/Platform.h"
#include "scan/Address.h"
#include "scan/ScanEngine.h"
#include "store/DeviceStore.h"

namespace talvik::cli {

using headless::HeadlessWindow;
using Clock = std::chrono::steady_clock;

namespace {

// How often the scan's state is looked at; short, since the end of a scan is seen this late.
constexpr std::chrono::milliseconds kPoll(2);
constexpr std::chrono::milliseconds kProgressEvery(100);
// The names of the hosts that answered are waited for this long in all.
constexpr std::chrono::milliseconds kNamesWait(2000);
constexpr int kNameThreads = 4;
// How long the scan's start waits for the remembered devices: a read takes milliseconds.
constexpr std::chrono::milliseconds kReadHeadStart(100);
// How long a phase after the scan may go on once a stop came, before the command ends anyway.
constexpr std::chrono::milliseconds kStopGrace(500);

// Every row of the headless list as the export describes it.
ExportResult Collect(HeadlessWindow& window) {
    ExportResult result;
    for (const auto& box : window.messages.All()) {
        if (box.text != kScanComplete) {
            result.notes.push_back(NoticeInLanguage(box.text));
        }
    }
    const headless::HeadlessList& list = window.list;
    for (int row = 0; row < list.GetItemCount(); ++row) {
        ExportHost host;
        host.target = list.GetItemText(row, 0);
        std::uint32_t address = list.AddressOf(row);
        if (address == 0) {
            address = ParseDottedDecimal(host.target).value_or(0);
        }
        if (address != 0) {
            host.address = FormatDottedDecimal(address);
        }
        host.state = ExportStateOf(list.Outcome(row));
        if (host.state == ExportState::Answered) {
            host.mac = ExportMac(list.GetItemText(row, 2));
            for (const std::string& other : list.OtherMacs(row)) {
                if (auto mac = ExportMac(other)) {
                    host.otherMacs.push_back(std::move(*mac));
                }
            }
        }
        result.hosts.push_back(std::move(host));
    }
    return result;
}

// Names of the answered hosts, a few at a time, for at most kNamesWait; gives up early on a
// stop signal. Lookups that have not finished by then are left to run until the process ends.
// False when the names could only be partly asked: the module of the other sources is missing.
bool AddHostNames(ExportResult& result, const sigset_t& signals, bool& interrupted) {
    std::vector<std::uint32_t> wanted;
    for (const ExportHost& host : result.hosts) {
        if (host.state == ExportState::Answered && host.address) {
            wanted.push_back(*ParseDottedDecimal(*host.address));
        }
    }
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    if (wanted.empty()) {
        return true;
    }
    NameSources sources = HostNameSources();
    if (!sources.problem.empty()) {
        result.notes.push_back(Format(
            Tr("the host names module did not load, so only the reverse lookup was asked: %s"),
            sources.problem.c_str()));
    }
    struct Found {
        std::mutex mutex;
        std::map<std::uint32_t, std::optional<std::string>> names;
    };
    auto found = std::make_shared<Found>();
    auto lookups = std::make_unique<HostNameLookups>(
        std::move(sources.names), kNameThreads,
        [found](std::uint32_t address, std::optional<std::string> name) {
            const std::lock_guard lock(found->mutex);
            found->names[address] = std::move(name);
        });
    for (const std::uint32_t address : wanted) {
        lookups->Ask(address);
    }
    const auto until = Clock::now() + kNamesWait;
    for (;;) {
        {
            const std::lock_guard lock(found->mutex);
            if (found->names.size() == wanted.size()) {
                break;
            }
        }
        if (Clock::now() >= until) {
            lookups->Cancel();
            (void)lookups.release();  // its running lookups may take seconds more; nobody waits
            break;
        }
        if (TakeStopSignal(signals, kPoll)) {
            interrupted = true;
            lookups->Cancel();
            (void)lookups.release();
            break;
        }
    }
    const std::lock_guard lock(found->mutex);
    for (ExportHost& host : result.hosts) {
        if (host.state != ExportState::Answered || !host.address) {
            continue;
        }
        if (const auto name = found->names.find(*ParseDottedDecimal(*host.address));
            name != found->names.end() && name->second && !name->second->empty()) {
            host.hostName = *name->second;
        }
    }
    return sources.problem.empty();
}

void AddMakers(ExportResult& result, const MacRegistry& registry) {
    for (ExportHost& host : result.hosts) {
        if (!host.mac) {
            continue;
        }
        if (const auto bytes = ParseMacText(*host.mac); bytes && !IsLocallyAdministered(*bytes)) {
            if (const std::string_view maker = registry.Maker(*bytes); !maker.empty()) {
                host.maker = std::string(maker);
            }
        }
    }
}

// Runs `work` beside this thread, which takes the stop signals meanwhile. On one, `cut` is
// called to end the work early (for the store: every call of it ends); work that has not
// returned kStopGrace later, such as a write to a pipe nobody reads, is not waited for: the
// command ends there as interrupted. Gives whether a stop came.
bool RunTakingStops(const std::function<void()>& work, const sigset_t& signals,
                    const std::function<void()>& cut = {}) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done = true;
    });
    std::optional<Clock::time_point> stopped;
    while (!done) {
        if (stopped) {
            if (Clock::now() - *stopped >= kStopGrace) {
                std::_Exit(kExitInterrupted);
            }
            std::this_thread::sleep_for(kPoll);
        } else if (TakeStopSignal(signals, kPoll)) {
            stopped = Clock::now();
            if (cut) {
                cut();
            }
        }
    }
    worker.join();
    return stopped.has_value();
}

}  // namespace

bool TakeStopSignal(const sigset_t& signals, std::chrono::milliseconds wait) {
    timespec time{};
    time.tv_sec = static_cast<std::time_t>(wait.count() / 1000);
    time.tv_nsec = static_cast<long>((wait.count() % 1000) * 1000000);
    return sigtimedwait(&signals, nullptr, &time) > 0;
}

namespace {

// The row of the headless list that answered, as it is printed the moment it answers.
ExportHost AnsweredRow(const headless::HeadlessList& list, int row) {
    ExportHost host;
    host.target = list.GetItemText(row, 0);
    host.state = ExportState::Answered;
    if (const std::uint32_t address = list.AddressOf(row); address != 0) {
        host.address = FormatDottedDecimal(address);
    }
    host.mac = ExportMac(list.GetItemText(row, 2));
    return host;
}

// A run of the engine the window uses, on the headless ports. Nothing when no ARP sender could
// be made; its line is said.
std::optional<SweepPhase> RunEnginePhase(const ScanOptions& options, LiveOutput& live,
                                         const std::function<void(ExportHost&)>& describe,
                                         std::FILE* err, bool progress,
                                         const sigset_t& stopSignals) {
    HeadlessWindow window(options.targets.Texts());
    std::string error;
    // What the senders log, the notes say in the command's own words.
    headless::PlatformRequest request;
    request.log = [](const std::string&) {};
    auto platform = headless::MakePlatform(request, error);
    if (!platform) {
        std::fputs(Tr("talvik-scan: cannot send ARP requests.\n"), err);
        return std::nullopt;
    }
    EnginePorts ports = headless::PortsFor(window, *platform);
    ports.senderNotice = platform->notice;
    KnownDevicesRead known(*platform->arp, options);
    for (const auto until = Clock::now() + kReadHeadStart; !known.Done() && Clock::now() < until;) {
        std::this_thread::sleep_for(kPoll);
    }
    auto engine = headless::MakeEngine(window, ports, options.workers, options.networkCondition);
    window.ui->Run([&] { engine->OnScanAll(); });

    SweepPhase phase;
    std::vector<bool> shown(options.targets.size());
    auto shownAt = Clock::now();
    for (;;) {
        if (TakeStopSignal(stopSignals, kPoll)) {
            phase.interrupted = true;
            window.ui->Run([&] { engine->OnStopScan(); });
            break;
        }
        auto [running, done, answered, fresh] = window.ui->Run([&] {
            int found = 0;
            std::vector<ExportHost> now;
            for (int row = 0; row < window.list.GetItemCount(); ++row) {
                if (window.list.Outcome(row) != RowOutcome::Answered) {
                    continue;
                }
                ++found;
                if (live.Streams() && !shown[static_cast<std::size_t>(row)]) {
                    shown[static_cast<std::size_t>(row)] = true;
                    now.push_back(AnsweredRow(window.list, row));
                }
            }
            return std::tuple(engine->IsScanRunning(), window.progress.GetPos(), found,
                              std::move(now));
        });
        for (ExportHost& host : fresh) {
            describe(host);
            live.Answered(host);
        }
        if (!running) {
            break;
        }
        if (progress && Clock::now() - shownAt >= kProgressEvery) {
            shownAt = Clock::now();
            std::fprintf(
                err, "\r%s\033[K",
                Format(Tr("%d/%zu, %d up"), done, options.targets.size(), answered).c_str());
            std::fflush(err);
        }
    }
    if (progress) {
        std::fprintf(err, "\r\033[K");
    }
    // The read tells the sender, so it ends before the sender does; after a stop, at once.
    if (phase.interrupted && !known.Done()) {
        store::DeviceStore::InterruptAll();
    }
    phase.interrupted = RunTakingStops([&] { known.Finish(); }, stopSignals,
                                       [] { store::DeviceStore::InterruptAll(); }) ||
                        phase.interrupted;
    phase.result = window.ui->Run([&] { return Collect(window); });
    if (!known.Said().Ok()) {
        phase.result.notes.push_back(StoreNotice(known.Said()));
    }
    // The engine goes on the thread it was made on; the helper ends with the sender.
    phase.interrupted = RunTakingStops(
                            [&] {
                                window.ui->Run([&] { engine.reset(); });
                                ports = {};
                                platform.reset();
                                window.ui->Shutdown();
                            },
                            stopSignals) ||
                        phase.interrupted;
    return phase;
}

}  // namespace

int RunScan(const ScanOptions& options, std::FILE* out, std::FILE* err, bool progress,
            const sigset_t& stopSignals) {
    const auto start = Clock::now();
    const bool sweep = options.targets.size() > kMaxEngineTargets || options.rate > 0 ||
                       !options.interfaces.empty();
    // A run target by target ends within seconds: its rows come whole, names and all.
    LiveOutput live(options.format, out, sweep);
    // The makers' registry is read while the scan starts, off its threads' way; rows printed
    // as they come wait for it, so that they name their maker.
    auto vendors = std::make_shared<MacVendors>();
    std::thread vendorsLoad;
    if (!options.noNames) {
        vendorsLoad = std::thread([vendors] { vendors->Load(); });
    }
    const MacRegistry* makers = nullptr;
    if (live.Streams() && vendorsLoad.joinable()) {
        vendorsLoad.join();
        makers = &vendors->Load();
    }
    LiveMemory liveMemory(options);
    // Only the engine's rows need their interface found; the sweep knows it.
    const auto describe = [makers, &liveMemory, &live](ExportHost& host) {
        if (!host.interface && host.address) {
            host.interface = InterfaceOf(*ParseDottedDecimal(*host.address));
        }
        if (makers && host.mac) {
            if (const auto bytes = ParseMacText(*host.mac);
                bytes && !IsLocallyAdministered(*bytes)) {
                if (const std::string_view maker = makers->Maker(*bytes); !maker.empty()) {
                    host.maker = std::string(maker);
                }
            }
        }
        if (live.Streams()) {
            liveMemory.Describe(host);
        }
    };
    const auto finishLoad = [&] {
        if (vendorsLoad.joinable()) {
            vendorsLoad.join();
        }
    };

    std::optional<SweepPhase> phase;
    if (sweep) {
        std::string error;
        if (const auto wires = MakeArpWires(error)) {
            const store::StoreLocation store = store::LocateStore();
            const bool memoryOn = !options.noMemory &&
                                  (options.remember ||
                                   (!store.path.empty() && store::DeviceStore::Exists(store.path)));
            phase = RunSweepPhase(options, *wires, live, describe, memoryOn, err, progress,
                                  stopSignals);
        } else if (options.targets.size() > kMaxEngineTargets) {
            finishLoad();
            std::fprintf(err, "%s\n",
                         NoticeLine(Tr("cannot ask frame by frame: that needs root "
                                       "(CAP_NET_RAW) or the helper talvik-arp"))
                             .c_str());
            return kExitSomeNotAsked;
        } else {
            // A small run still goes as it always went, target by target.
            std::fprintf(err, "%s\n",
                         NoticeLine(Tr("cannot ask frame by frame without root (CAP_NET_RAW) or "
                                       "the helper talvik-arp; asking target by target"))
                             .c_str());
        }
    }
    if (!phase) {
        phase = RunEnginePhase(options, live, describe, err, progress, stopSignals);
    }
    if (!phase || phase->exitStatus) {
        finishLoad();
        return phase ? *phase->exitStatus : kExitSomeNotAsked;
    }
    ExportResult& result = phase->result;
    bool interrupted = phase->interrupted;
    for (ExportHost& host : result.hosts) {
        if (!host.interface && host.address &&
            (host.state == ExportState::Answered || host.state == ExportState::Silent)) {
            host.interface = InterfaceOf(*ParseDottedDecimal(*host.address));
        }
    }

    bool namesComplete = true;
    if (!options.noNames) {
        interrupted = RunTakingStops(finishLoad, stopSignals) || interrupted;
        AddMakers(result, vendors->Load());
        // The registry goes before the names' module brings Qt in: the two never add up.
        makers = nullptr;
        vendors.reset();
        if (!interrupted) {
            namesComplete = AddHostNames(result, stopSignals, interrupted);
        }
    }
    bool memoryFailed = false;
    const std::size_t notesBefore = result.notes.size();
    interrupted = RunTakingStops([&] { memoryFailed = AddMemory(result, options, interrupted); },
                                 stopSignals, [] { store::DeviceStore::InterruptAll(); }) ||
                  interrupted;
    if (interrupted) {
        // Cut short by the user: the store is as it was, and no failure of it is told.
        result.notes.resize(notesBefore);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    // A reader that stalls (a pipe nobody reads) must not hold the command past a stop.
    int failed = 0;
    const bool stoppedWriting = RunTakingStops(
        [&] {
            for (const std::string& note : result.notes) {
                std::fprintf(err, "%s\n", NoticeLine(note).c_str());
            }
            if (const std::string failure = live.Failure(); !failure.empty()) {
                std::fprintf(err, Tr("talvik-scan: cannot write the result: %s\n"),
                             failure.c_str());
                failed = kExitWriteFailed;
                return;
            }
            const auto write = [&](std::string_view piece) { return WriteResult(out, piece, err); };
            bool written = true;
            switch (options.format) {
                case OutputFormat::Text:
                case OutputFormat::JsonLines:
                    written = write(live.Rest(result, options.all));
                    break;
                case OutputFormat::Csv:
                    written = WriteCsvExport(result, options.bom, write);
                    break;
                case OutputFormat::Json:
                    written = WriteJsonExport(result, write);
                    break;
            }
            if (!written) {
                failed = kExitWriteFailed;
                return;
            }
            // The summary only once the result is out: it must not claim what did not happen.
            if (options.format == OutputFormat::Text) {
                std::fprintf(
                    err, "%s\n",
                    SummaryLine(result, seconds, interrupted, options.targets.size()).c_str());
            }
        },
        stopSignals);
    if (stoppedWriting) {
        return kExitInterrupted;
    }
    if (failed != 0) {
        return failed;
    }
    const int status = ExitStatusOf(result, interrupted, memoryFailed);
    return status == kExitAllAsked && !namesComplete ? kExitSomeNotAsked : status;
}

}  // namespace talvik::cli
