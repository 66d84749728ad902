// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/ScanCommand.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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
            result.notes.push_back(store::DescribeProblem(location.status));
        }
        return options.remember;
    }
    if (!options.remember && !store::DeviceStore::Exists(location.path)) {
        return false;
    }
    store::DeviceStore::Opened opened = options.remember ? store::DeviceStore::Create(location.path)
                                                         : store::DeviceStore::Open(location.path);
    if (!opened.status.Ok()) {
        result.notes.push_back(store::DescribeProblem(opened.status));
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
        result.notes.push_back(store::DescribeProblem(write.status));
        return true;
    }
    if (!write.status.Ok()) {
        result.notes.push_back(store::DescribeProblem(write.status));  // kept aside, written anew
    }
    for (std::size_t i = 0; i < hosts.size() && i < write.changes.size(); ++i) {
        AddMemoryFields(*hosts[i], write.changes[i], now);
    }
    return false;
}

// Runs `work` beside this thread, which takes the stop signals meanwhile. On one, every store
// call is ended, so the work returns at once. Gives whether a stop came.
bool RunTakingStops(const std::function<void()>& work, const sigset_t& signals) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done = true;
    });
    bool stopped = false;
    while (!done) {
        if (stopped) {
            std::this_thread::sleep_for(kPoll);
        } else if (TakeStopSignal(signals, kPoll)) {
            stopped = true;
            store::DeviceStore::InterruptAll();
        }
    }
    worker.join();
    return stopped;
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
    std::size_t widths[4] = {};
    for (const ExportHost* host : shown) {
        widths[0] = std::max(widths[0], DisplayWidth(first(*host)));
        widths[1] = std::max(widths[1], DisplayWidth(second(*host)));
        widths[2] = std::max(widths[2], DisplayWidth(host->maker.value_or("")));
        widths[3] = std::max(widths[3], DisplayWidth(mark(*host)));
    }
    std::string out;
    for (const ExportHost* host : shown) {
        std::string line = Padded(first(*host), widths[0]) + "  " +
                           Padded(second(*host), widths[1]) + "  " +
                           (marked ? Padded(mark(*host), widths[3]) + "  " : "") +
                           Padded(host->maker.value_or(""), widths[2]) + "  " + last(*host);
        line.erase(line.find_last_not_of(' ') + 1);
        out += ValidUtf8(line) + "\n";
    }
    return out;
}

std::string SummaryLine(const ExportResult& result, double seconds, bool interrupted) {
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
    line += Format(TrCount("%zu target", "%zu targets", result.hosts.size()), result.hosts.size());
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
    interrupted = RunTakingStops([&] { known.Finish(); }, stopSignals) || interrupted;
    ExportResult result = window.ui->Run([&] { return Collect(window); });
    if (!known.Said().Ok()) {
        result.notes.push_back(store::DescribeProblem(known.Said()));
    }
    // The engine goes on the thread it was made on; the helper ends with the sender.
    window.ui->Run([&] { engine.reset(); });
    ports = {};
    platform.reset();
    window.ui->Shutdown();

    bool namesComplete = true;
    if (vendorsLoad.joinable()) {
        vendorsLoad.join();
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
                                 stopSignals) ||
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
    for (const std::string& note : result.notes) {
        std::fprintf(err, "%s\n", NoticeLine(note).c_str());
    }
    // The summary only once the result is out: it must not claim what did not happen.
    if (!WriteResult(out, text, err)) {
        return kExitWriteFailed;
    }
    if (options.format == OutputFormat::Text) {
        std::fprintf(err, "%s\n", SummaryLine(result, seconds, interrupted).c_str());
    }
    const int status = ExitStatusOf(result, interrupted, memoryFailed);
    return status == kExitAllAsked && !namesComplete ? kExitSomeNotAsked : status;
}

}  // namespace talvik::cli
