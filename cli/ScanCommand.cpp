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
#include <optional>
#include <thread>

#include "cli/HeadlessPorts.h"
#include "cli/HostNameSources.h"
#include "cli/Language.h"
#include "cli/PlatformChoice.h"
#include "names/HostNames.h"
#include "names/MacVendors.h"
#include "netlink/NetworkIdentity.h"
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
// How long the write after the scan waits for another program holding the store.
constexpr int kWriteWaitMs = 1000;
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

bool TakeStopSignal(const sigset_t& signals, std::chrono::milliseconds wait) {
    timespec time{};
    time.tv_sec = static_cast<std::time_t>(wait.count() / 1000);
    time.tv_nsec = static_cast<long>((wait.count() % 1000) * 1000000);
    return sigtimedwait(&signals, nullptr, &time) > 0;
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

// The identity of the network the answered hosts are on: the first answered host's interface
// and its gateway, whose MAC this scan may have seen itself.
std::optional<store::NetworkId> NetworkOfScan(const ExportResult& result) {
    for (const ExportHost& host : result.hosts) {
        if (host.state != ExportState::Answered || !host.address) {
            continue;
        }
        const auto network = IdentifyNetwork(*ParseDottedDecimal(*host.address));
        if (!network) {
            continue;
        }
        std::optional<MacAddress> gatewayMac = network->gatewayMac;
        if (!gatewayMac && network->gateway) {
            for (const ExportHost& other : result.hosts) {
                if (other.address == FormatDottedDecimal(*network->gateway) && other.mac) {
                    if (const auto bytes = ParseMacText(*other.mac)) {
                        gatewayMac = *bytes;
                    }
                }
            }
        }
        return store::MakeNetworkId(network->address, network->prefixLength, gatewayMac);
    }
    return std::nullopt;
}

// The device memory's side of the result: what is remembered of each host, and this scan
// written down unless it was cut short. Memory is on where its file is; --remember turns it
// on, --no-memory leaves it untouched for this run. Gives whether memory was wanted and failed.
bool AddMemory(ExportResult& result, const ScanOptions& options, bool interrupted) {
    if (options.noMemory) {
        return false;
    }
    const store::StoreLocation location = store::LocateStore();
    if (location.path.empty()) {
        if (options.remember) {
            result.notes.push_back(StoreNotice(location.status));
        }
        return options.remember;
    }
    if (!options.remember && !store::DeviceStore::Exists(location.path)) {
        return false;
    }
    store::DeviceStore::Opened opened = options.remember ? store::DeviceStore::Create(location.path)
                                                         : store::DeviceStore::Open(location.path);
    if (!opened.status.Ok()) {
        result.notes.push_back(StoreNotice(opened.status));
    }
    if (!opened.store) {
        return !opened.status.Ok();
    }
    // The scan is over: a store another program holds is waited for only briefly.
    opened.store->SetBusyTimeout(kWriteWaitMs);
    const auto network = NetworkOfScan(result);
    if (!network) {
        return false;
    }
    // Only the targets really asked say anything about a device.
    std::vector<store::ScanRow> rows;
    std::vector<ExportHost*> hosts;
    for (ExportHost& host : result.hosts) {
        if (host.address &&
            (host.state == ExportState::Answered || host.state == ExportState::Silent)) {
            rows.push_back({*ParseDottedDecimal(*host.address), host.mac.value_or(""),
                            host.maker.value_or(""), host.hostName.value_or("")});
            hosts.push_back(&host);
        }
    }
    const store::Seconds now = std::time(nullptr);
    const store::ScanWrite write = interrupted ? opened.store->Compare(*network, rows, now)
                                               : opened.store->RecordScan(*network, rows, now);
    if (!write.status.Ok() && write.changes.empty()) {
        result.notes.push_back(StoreNotice(write.status));
        return true;
    }
    if (!write.status.Ok()) {
        result.notes.push_back(StoreNotice(write.status));  // kept aside, written anew
    }
    for (std::size_t i = 0; i < hosts.size() && i < write.changes.size(); ++i) {
        AddMemoryFields(*hosts[i], write.changes[i], now);
    }
    return false;
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

// Tells the sender the devices the store knows on the targets' network, so that dozing ones are
// also asked by their own MAC. It runs beside the scan: only a read, which never waits for
// another program's write, but the scan need not wait for it either. Memory that is off or
// cannot be read tells nothing; what went wrong is said after the scan, when the store is
// opened again, except a damaged store kept aside here, which is said from here.
class KnownDevicesRead final {
public:
    KnownDevicesRead(IArpSender& sender, const ScanOptions& options)
        : thread_([this, &sender, targets = options.targets, off = options.noMemory] {
              if (!off) {
                  Read(sender, targets);
              }
              done_ = true;
          }) {}
    ~KnownDevicesRead() { Finish(); }
    KnownDevicesRead(const KnownDevicesRead&) = delete;
    KnownDevicesRead& operator=(const KnownDevicesRead&) = delete;

    bool Done() const { return done_; }
    void Finish() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // Not Ok: the damaged store that was kept aside.
    const store::StoreStatus& Said() const { return said_; }

private:
    void Read(IArpSender& sender, const std::vector<std::string>& targets) {
        const store::StoreLocation location = store::LocateStore();
        if (location.path.empty() || !store::DeviceStore::Exists(location.path)) {
            return;
        }
        std::optional<NetworkIdentity> network;
        for (const std::string& target : targets) {
            if (const auto address = ParseDottedDecimal(target)) {
                if ((network = IdentifyNetwork(*address))) {
                    break;
                }
            }
        }
        if (!network) {
            return;
        }
        const store::DeviceStore::Opened opened = store::DeviceStore::Open(location.path);
        if (opened.status.problem == store::StoreProblem::Corrupt) {
            said_ = opened.status;
        }
        if (!opened.store) {
            return;
        }
        const store::NetworkDevices known = opened.store->Devices(
            store::MakeNetworkId(network->address, network->prefixLength, network->gatewayMac));
        if (known.status.problem == store::StoreProblem::Corrupt) {
            said_ = known.status;
        }
        std::vector<KnownDevice> devices;
        for (const store::Device& device : known.devices) {
            if (const auto mac = ParseMacText(device.mac); mac && device.address != 0) {
                devices.push_back({device.address, *mac});
            }
        }
        if (known.status.Ok() && !devices.empty()) {
            sender.Remember(devices);
        }
    }

    store::StoreStatus said_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

}  // namespace

int RunScan(const ScanOptions& options, std::FILE* out, std::FILE* err, bool progress,
            const sigset_t& stopSignals) {
    const auto start = Clock::now();
    // The makers' registry is read while the scan runs, off its threads' way.
    auto vendors = std::make_shared<MacVendors>();
    std::thread vendorsLoad;
    if (!options.noNames) {
        vendorsLoad = std::thread([vendors] { vendors->Load(); });
    }

    HeadlessWindow window(options.targets);
    std::string error;
    // What the senders log, the notes say in the command's own words.
    headless::PlatformRequest request;
    request.log = [](const std::string&) {};
    auto platform = headless::MakePlatform(request, error);
    if (!platform) {
        if (vendorsLoad.joinable()) {
            vendorsLoad.join();
        }
        std::fputs(Tr("talvik-scan: cannot send ARP requests.\n"), err);
        return kExitSomeNotAsked;
    }
    EnginePorts ports = headless::PortsFor(window, *platform);
    ports.senderNotice = platform->notice;
    KnownDevicesRead known(*platform->arp, options);
    for (const auto until = Clock::now() + kReadHeadStart; !known.Done() && Clock::now() < until;) {
        std::this_thread::sleep_for(kPoll);
    }
    auto engine = headless::MakeEngine(window, ports, options.workers, options.networkCondition);
    window.ui->Run([&] { engine->OnScanAll(); });

    bool interrupted = false;
    auto shownAt = Clock::now();
    for (;;) {
        if (TakeStopSignal(stopSignals, kPoll)) {
            interrupted = true;
            window.ui->Run([&] { engine->OnStopScan(); });
            break;
        }
        const auto [running, done, answered] = window.ui->Run([&] {
            int found = 0;
            for (int row = 0; row < window.list.GetItemCount(); ++row) {
                found += window.list.Outcome(row) == RowOutcome::Answered ? 1 : 0;
            }
            return std::tuple(engine->IsScanRunning(), window.progress.GetPos(), found);
        });
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
    if (interrupted && !known.Done()) {
        store::DeviceStore::InterruptAll();
    }
    interrupted = RunTakingStops([&] { known.Finish(); }, stopSignals,
                                 [] { store::DeviceStore::InterruptAll(); }) ||
                  interrupted;
    ExportResult result = window.ui->Run([&] { return Collect(window); });
    if (!known.Said().Ok()) {
        result.notes.push_back(StoreNotice(known.Said()));
    }
    // The engine goes on the thread it was made on; the helper ends with the sender.
    interrupted = RunTakingStops(
                      [&] {
                          window.ui->Run([&] { engine.reset(); });
                          ports = {};
                          platform.reset();
                          window.ui->Shutdown();
                      },
                      stopSignals) ||
                  interrupted;

    bool namesComplete = true;
    if (vendorsLoad.joinable()) {
        interrupted = RunTakingStops([&] { vendorsLoad.join(); }, stopSignals) || interrupted;
        AddMakers(result, vendors->Load());
        // The registry goes before the names' module brings Qt in: the two never add up.
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

    std::string text;
    switch (options.format) {
        case OutputFormat::Text:
            text = BuildTextOutput(result, options.all);
            break;
        case OutputFormat::Csv:
            text = BuildCsvExport(result, options.bom);
            break;
        case OutputFormat::Json:
            text = BuildJsonExport(result);
            break;
    }
    // A reader that stalls (a pipe nobody reads) must not hold the command past a stop.
    bool written = false;
    const bool stoppedWriting = RunTakingStops(
        [&] {
            for (const std::string& note : result.notes) {
                std::fprintf(err, "%s\n", NoticeLine(note).c_str());
            }
            // The summary only once the result is out: it must not claim what did not happen.
            written = WriteResult(out, text, err);
            if (written && options.format == OutputFormat::Text) {
                std::fprintf(err, "%s\n", SummaryLine(result, seconds, interrupted).c_str());
            }
        },
        stopSignals);
    if (stoppedWriting) {
        return kExitInterrupted;
    }
    if (!written) {
        return kExitWriteFailed;
    }
    const int status = ExitStatusOf(result, interrupted, memoryFailed);
    return status == kExitAllAsked && !namesComplete ? kExitSomeNotAsked : status;
}

}  // namespace talvik::cli
