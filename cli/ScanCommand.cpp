// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/ScanCommand.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/HeadlessPorts.h"
#include "cli/HostNameSources.h"
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
            return "在线";
        case ExportState::Silent:
            return "无响应";
        case ExportState::Unresolved:
            return "无法解析";
        case ExportState::NotAsked:
            break;
    }
    return "未能探测";
}

// Every row of the headless list as the export describes it.
ExportResult Collect(HeadlessWindow& window) {
    ExportResult result;
    for (const auto& box : window.messages.All()) {
        if (box.text != kScanComplete) {
            result.notes.push_back(box.text);
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
void AddHostNames(ExportResult& result, const sigset_t& signals, bool& interrupted) {
    std::vector<std::uint32_t> wanted;
    for (const ExportHost& host : result.hosts) {
        if (host.state == ExportState::Answered && host.address) {
            wanted.push_back(*ParseDottedDecimal(*host.address));
        }
    }
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    if (wanted.empty()) {
        return;
    }
    struct Found {
        std::mutex mutex;
        std::map<std::uint32_t, std::optional<std::string>> names;
    };
    auto found = std::make_shared<Found>();
    auto lookups = std::make_unique<HostNameLookups>(
        HostNameSources(), kNameThreads,
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
// on, --no-memory leaves it untouched for this run.
void AddMemory(ExportResult& result, const ScanOptions& options, bool interrupted) {
    if (options.noMemory) {
        return;
    }
    const store::StoreLocation location = store::LocateStore();
    if (location.path.empty()) {
        if (options.remember) {
            result.notes.push_back(store::DescribeProblem(location.status));
        }
        return;
    }
    if (!options.remember && !store::DeviceStore::Exists(location.path)) {
        return;
    }
    store::DeviceStore::Opened opened = options.remember ? store::DeviceStore::Create(location.path)
                                                         : store::DeviceStore::Open(location.path);
    if (!opened.status.Ok()) {
        result.notes.push_back(store::DescribeProblem(opened.status));
    }
    if (!opened.store) {
        return;
    }
    const auto network = NetworkOfScan(result);
    if (!network) {
        return;
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
    if (!write.status.Ok()) {
        result.notes.push_back(store::DescribeProblem(write.status));
        return;
    }
    for (std::size_t i = 0; i < hosts.size() && i < write.changes.size(); ++i) {
        AddMemoryFields(*hosts[i], write.changes[i], now);
    }
}

// Tells the sender the devices the store knows on the targets' network, so that dozing ones are
// also asked by their own MAC. Memory that is off or cannot be read tells nothing; what went
// wrong is said after the scan, when the store is opened again.
void RememberKnown(IArpSender& sender, const ScanOptions& options) {
    if (options.noMemory) {
        return;
    }
    const store::StoreLocation location = store::LocateStore();
    if (location.path.empty() || !store::DeviceStore::Exists(location.path)) {
        return;
    }
    std::optional<NetworkIdentity> network;
    for (const std::string& target : options.targets) {
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
    if (!opened.store) {
        return;
    }
    const store::NetworkDevices known = opened.store->Devices(
        store::MakeNetworkId(network->address, network->prefixLength, network->gatewayMac));
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

}  // namespace

int ExitStatusOf(const ExportResult& result, bool interrupted) {
    if (interrupted) {
        return kExitInterrupted;
    }
    const bool missed = std::any_of(result.hosts.begin(), result.hosts.end(), [](const auto& h) {
        return h.state == ExportState::NotAsked || h.state == ExportState::Unresolved;
    });
    return missed ? kExitSomeNotAsked : kExitAllAsked;
}

std::string BuildTextOutput(const ExportResult& result, bool all) {
    std::vector<const ExportHost*> shown;
    for (const ExportHost& host : result.hosts) {
        if (all || host.state == ExportState::Answered) {
            shown.push_back(&host);
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
    std::size_t widths[3] = {};
    for (const ExportHost* host : shown) {
        widths[0] = std::max(widths[0], DisplayWidth(first(*host)));
        widths[1] = std::max(widths[1], DisplayWidth(second(*host)));
        widths[2] = std::max(widths[2], DisplayWidth(host->maker.value_or("")));
    }
    std::string out;
    for (const ExportHost* host : shown) {
        std::string line = Padded(first(*host), widths[0]) + "  " +
                           Padded(second(*host), widths[1]) + "  " +
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
    std::string line = interrupted ? "扫描已中断：" : "";
    line +=
        std::to_string(result.hosts.size()) + " 个目标，" + std::to_string(answered) + " 台在线";
    if (notAsked > 0) {
        line += "，" + std::to_string(notAsked) + " 个未能探测";
    }
    if (unresolved > 0) {
        line += "，" + std::to_string(unresolved) + " 个名字无法解析";
    }
    return line + "（用时 " + time + " 秒）。";
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
    auto platform = headless::MakePlatform(headless::PlatformRequest{}, error);
    if (!platform) {
        if (vendorsLoad.joinable()) {
            vendorsLoad.join();
        }
        std::fprintf(err, "talvik-scan：无法发送 ARP 请求。\n");
        return kExitSomeNotAsked;
    }
    EnginePorts ports = headless::PortsFor(window, *platform);
    ports.senderNotice = platform->notice;
    RememberKnown(*platform->arp, options);
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
            std::fprintf(err, "\r%d/%zu · %d 台在线\033[K", done, options.targets.size(), answered);
            std::fflush(err);
        }
    }
    if (progress) {
        std::fprintf(err, "\r\033[K");
    }
    ExportResult result = window.ui->Run([&] { return Collect(window); });
    // The engine goes on the thread it was made on; the helper ends with the sender.
    window.ui->Run([&] { engine.reset(); });
    ports = {};
    platform.reset();
    window.ui->Shutdown();

    if (vendorsLoad.joinable()) {
        vendorsLoad.join();
        AddMakers(result, vendors->Load());
        // The registry goes before the names' module brings Qt in: the two never add up.
        vendors.reset();
        if (!interrupted) {
            AddHostNames(result, stopSignals, interrupted);
        }
    }
    AddMemory(result, options, interrupted);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    std::string text;
    switch (options.format) {
        case OutputFormat::Text:
            text = BuildTextOutput(result, options.all);
            break;
        case OutputFormat::Csv:
            text = BuildCsvExport(result);
            break;
        case OutputFormat::Json:
            text = BuildJsonExport(result);
            break;
    }
    for (const std::string& note : result.notes) {
        std::fprintf(err, "%s\n", note.c_str());
    }
    if (options.format == OutputFormat::Text) {
        std::fprintf(err, "%s\n", SummaryLine(result, seconds, interrupted).c_str());
    }
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0) {
        std::fprintf(err, "talvik-scan：无法写出结果。\n");
        return kExitSomeNotAsked;
    }
    return ExitStatusOf(result, interrupted);
}

}  // namespace talvik::cli
