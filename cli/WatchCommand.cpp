// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/WatchCommand.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/EventCommand.h"
#include "cli/Language.h"
#include "cli/ScanCommand.h"
#include "cli/WatchLines.h"
#include "cli/WatchListener.h"
#include "names/MacVendors.h"
#include "scan/Address.h"
#include "store/DeviceStore.h"
#include "store/WatchEvents.h"

namespace talvik::cli {

namespace {

using Clock = std::chrono::steady_clock;
// The main thread looks at what came this often: a frame is told well within a second, and a
// busy link costs a few wake-ups a second rather than one per frame.
constexpr std::chrono::milliseconds kTurn(50);
constexpr std::chrono::seconds kLinkCheckEvery(1);
constexpr std::chrono::seconds kExecGrace(2);
constexpr std::chrono::seconds kRememberEvery(5);
// How long a write waits for another program holding the store: the main thread tells the
// events, and a held store must not hold them past their second. What a held store could not
// take is kept for the next write, and only a store held this long counts as failed.
constexpr int kStoreWaitMs = 200;
constexpr std::chrono::seconds kStoreHeldAtMost(10);

struct Watched {
    std::string interfaceName;
    store::NetworkId id;
    std::unique_ptr<store::WatchState> state;
    // For the store, until it is next written: the latest time each MAC claimed each address
    // (a flood of one pair costs one entry), and the events said.
    std::map<std::pair<std::uint32_t, std::string>, store::Seconds> heard;
    std::vector<store::DeviceStore::KeptEvent> said;
};

bool TakeStop(const sigset_t& signals, std::chrono::milliseconds wait) {
    timespec time{};
    time.tv_nsec = static_cast<long>(wait.count()) * 1000000;
    return sigtimedwait(&signals, nullptr, &time) > 0;
}

// The targets' networks; with no target, those of the interfaces named.
std::vector<Watched> FindNetworks(const ScanOptions& options, const WatchPorts& ports,
                                  TargetList& targets) {
    std::vector<Watched> found;
    const auto links = ports.links();
    if (!links) {
        return found;
    }
    const auto add = [&](const LinkInterface& link) {
        for (const Watched& known : found) {
            if (known.interfaceName == link.name &&
                store::MakeNetworkId(link.address, link.prefixLength, std::nullopt).subnet ==
                    known.id.subnet) {
                return;
            }
        }
        const auto identity = ports.identify(link.address);
        std::optional<MacAddress> gatewayMac;
        std::optional<std::uint32_t> gateway;
        if (identity && identity->interfaceName == link.name) {
            gatewayMac = identity->gatewayMac;
            gateway = identity->gateway;
        }
        Watched watched;
        watched.interfaceName = link.name;
        watched.id = store::MakeNetworkId(link.address, link.prefixLength, gatewayMac);
        watched.id.gateway = gateway.value_or(0);
        watched.state = std::make_unique<store::WatchState>(store::WatchNetworkSetup{
            link.address, link.prefixLength, gateway.value_or(0), watched.id.gatewayMac});
        found.push_back(std::move(watched));
    };
    targets = options.targets;
    for (std::size_t row = 0; row < options.targets.size(); ++row) {
        if (!options.targets.IsName(row)) {
            const LinkChoice choice = ChooseLink(*links, options.targets.Address(row));
            if (choice.verdict != LinkVerdict::NotOnLink && choice.link.canArp &&
                (options.interfaces.empty() ||
                 std::ranges::find(options.interfaces, choice.link.name) !=
                     options.interfaces.end())) {
                add(choice.link);
            }
        }
    }
    if (options.targets.empty()) {
        for (const std::string& name : options.interfaces) {
            for (const LinkInterface& link : *links) {
                if (link.name != name || !link.canArp) {
                    continue;
                }
                add(link);
                // The interface's network, as much of it as one run takes.
                const int bits = std::max(link.prefixLength, 16);
                const std::uint32_t mask = bits >= 32 ? ~0u : ~(~0u >> bits);
                const std::uint32_t first = (link.address & mask) + (bits <= 30 ? 1 : 0);
                const std::uint32_t last = (link.address | ~mask) - (bits <= 30 ? 1 : 0);
                for (std::uint64_t a = first; a <= last; ++a) {
                    targets.AddAddress(static_cast<std::uint32_t>(a));
                }
            }
        }
    }
    return found;
}

}  // namespace

int RunWatch(const ScanOptions& options, std::FILE* out, std::FILE* err,
             const sigset_t& stopSignals, WatchPorts ports) {
    std::vector<std::string> execWords;
    if (!options.exec.empty()) {
        std::string error;
        if (!SplitWords(options.exec, execWords, error)) {
            std::fprintf(err, Tr("talvik-scan: %s (see talvik-scan --help)\n"), error.c_str());
            return kExitBadUsage;
        }
    }
    TargetList targets;
    std::vector<Watched> networks = FindNetworks(options, ports, targets);
    if (networks.empty()) {
        std::fputs(Tr("talvik-scan: no target is on a network of this machine that carries ARP: "
                      "nothing to watch.\n"),
                   err);
        return kExitSomeNotAsked;
    }
    const auto note = [&](const std::string& text) {
        std::fprintf(err, "%s\n", NoticeLine(text).c_str());
        std::fflush(err);
    };

    // The baseline: what the store knows, where memory is on.
    bool memoryFailed = false;
    bool fromStore = false;
    std::unique_ptr<store::DeviceStore> memory;
    if (!options.noMemory) {
        const store::StoreLocation location = store::LocateStore();
        if (!location.path.empty() &&
            (options.remember || store::DeviceStore::Exists(location.path))) {
            auto opened = options.remember ? store::DeviceStore::Create(location.path)
                                           : store::DeviceStore::Open(location.path);
            if (!opened.status.Ok()) {
                note(store::DescribeProblem(opened.status));
                memoryFailed = !opened.store;
            }
            if (opened.store) {
                fromStore = true;
                for (Watched& network : networks) {
                    const store::NetworkDevices known = opened.store->Devices(network.id);
                    if (!known.status.Ok()) {
                        note(store::DescribeProblem(known.status));
                        memoryFailed = true;
                    }
                    network.state->Baseline(known.devices, NowMillis());
                }
                memory = std::move(opened.store);
                memory->SetBusyTimeout(kStoreWaitMs);
            }
        } else if (options.remember) {
            note(store::DescribeProblem(location.status));
            memoryFailed = true;
        }
    }
    if (options.everySeconds == 0 && !fromStore) {
        // Listening only, with nothing known: every device heard is new.
        for (Watched& network : networks) {
            network.state->Baseline(std::span<const store::Device>(), NowMillis());
        }
    }

    MacVendors vendors;
    const MacRegistry* registry = options.noNames ? nullptr : &vendors.Load();

    Inbox inbox;
    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<Listener>> listeners;
    std::map<std::string, bool> linkUp;
    for (const Watched& network : networks) {
        if (linkUp.contains(network.interfaceName)) {
            continue;
        }
        linkUp[network.interfaceName] = true;
        std::string why = ports.noWires;
        std::unique_ptr<IArpWire> wire =
            ports.wires ? ports.wires->Open(network.interfaceName, why) : nullptr;
        if (!wire) {
            note(Format(Tr("cannot listen on %s, so only its scans tell what changed: %s"),
                        network.interfaceName.c_str(), why.c_str()));
            continue;
        }
        listeners.push_back(std::make_unique<Listener>(*ports.wires, std::move(wire), inbox));
    }
    if (listeners.empty() && options.everySeconds == 0) {
        std::fputs(Tr("talvik-scan: it cannot listen and --every 0 asks for no scans: nothing "
                      "to watch.\n"),
                   err);
        return kExitSomeNotAsked;
    }

    std::unique_ptr<EventCommand> command;
    if (!execWords.empty()) {
        command =
            std::make_unique<EventCommand>(execWords, [&](const std::string& line) { note(line); });
    }

    // Scans on their own thread; the stop signal reaches a running one as it would the command.
    ScanOptions scanOptions = options;
    scanOptions.watch = false;
    scanOptions.exec.clear();
    scanOptions.format = OutputFormat::Csv;
    scanOptions.all = true;
    scanOptions.targets = targets;
    std::atomic<bool> scanning{false};
    std::mutex scanMutex;
    std::condition_variable scanWake;
    std::thread scans;
    if (options.everySeconds > 0 && ports.scan) {
        scans = std::thread([&] {
            while (!stop) {
                char* buffer = nullptr;
                std::size_t size = 0;
                std::FILE* csv = open_memstream(&buffer, &size);
                int status = kExitSomeNotAsked;
                if (csv != nullptr) {
                    scanning = true;
                    if (!stop) {
                        status = ports.scan(scanOptions, csv, err, stopSignals);
                    }
                    scanning = false;
                    std::fclose(csv);
                }
                Item done;
                done.kind = Item::Kind::Scan;
                done.when = NowMillis();
                done.rows = ParseScanCsv(buffer ? buffer : "");
                std::free(buffer);
                if (status == kExitMemoryFailed) {
                    done.text = "memory";
                }
                inbox.Put(std::move(done));
                if (status == kExitInterrupted) {
                    Item end;
                    end.kind = Item::Kind::Stop;
                    inbox.Put(std::move(end));
                    return;
                }
                std::unique_lock lock(scanMutex);
                scanWake.wait_for(lock, std::chrono::seconds(options.everySeconds),
                                  [&] { return stop.load(); });
            }
        });
    }

    WatchLines lines(options.format == OutputFormat::JsonLines, registry);
    bool writeFailed = false;
    const auto say = [&](const std::vector<WatchLine>& events) {
        for (const WatchLine& event : events) {
            const std::string text = lines.Line(event);
            if (!writeFailed && !WriteResult(out, text, err)) {
                writeFailed = true;
            }
            if (command) {
                command->Push(lines.Json(event));
            }
        }
    };
    const auto handle = [&](const Item& item) {
        std::vector<WatchLine> events;
        for (Watched& network : networks) {
            if (item.kind == Item::Kind::Frame && network.interfaceName != item.interfaceName) {
                continue;
            }
            if (item.kind == Item::Kind::Scan && network.id.gatewayMac.empty() &&
                network.id.gateway != 0) {
                // The kernel held no MAC for the gateway when the watch began; the scan, which
                // names the network by the one that answered, does, and so does the store.
                for (const store::Claim& row : item.rows) {
                    if (row.address == network.id.gateway && store::NormalMac(row.mac)) {
                        network.id.gatewayMac = *store::NormalMac(row.mac);
                        break;
                    }
                }
            }
            const store::WatchOutcome outcome = item.kind == Item::Kind::Frame
                                                    ? network.state->Heard(item.claim, item.when)
                                                    : network.state->Scanned(item.rows, item.when);
            for (const store::WatchEvent& event : outcome.events) {
                events.push_back({network.interfaceName, event, {}});
                if (memory) {
                    network.said.push_back(store::DeviceStore::KeptEvent::Of(event));
                }
            }
            if (memory && item.kind == Item::Kind::Frame && network.state->Holds(item.claim)) {
                auto& when = network.heard[{item.claim.address, item.claim.mac}];
                when = std::max(when, item.when / 1000);
            }
            for (const store::WatchNoteAt& said : outcome.notes) {
                note(said.note == store::WatchNote::Bound
                         ? Format(Tr("%s has more devices than a watch keeps; those heard least "
                                     "lately are forgotten"),
                                  network.id.subnet.c_str())
                         : Format(Tr("%s answers for many addresses on %s (a router or proxy "
                                     "ARP): its further addresses are not reported"),
                                  ExportMac(said.mac).value_or(said.mac).c_str(),
                                  network.interfaceName.c_str()));
            }
        }
        say(events);
    };

    // What the watch heard and said goes to the store now and then, in one transaction; a store
    // that fails is said once and the watch goes on.
    bool memorySaid = false;
    Clock::time_point heldSince{};
    const auto remember = [&](bool last) {
        for (Watched& network : networks) {
            if (!memory || (network.heard.empty() && network.said.empty())) {
                continue;
            }
            std::vector<store::DeviceStore::HeardClaim> heard;
            for (const auto& [claim, when] : network.heard) {
                heard.push_back({claim.first, claim.second, when});
            }
            const store::StoreStatus status = memory->RecordWatch(network.id, heard, network.said);
            if (status.problem == store::StoreProblem::Busy && !last) {
                if (heldSince == Clock::time_point{}) {
                    heldSince = Clock::now();
                }
                if (Clock::now() - heldSince < kStoreHeldAtMost) {
                    // The store keeps only the latest events anyway.
                    const auto keep = static_cast<std::size_t>(store::DeviceStore::kKeepEvents);
                    if (network.said.size() > keep) {
                        network.said.erase(network.said.begin(),
                                           network.said.end() - static_cast<std::ptrdiff_t>(keep));
                    }
                    continue;
                }
            }
            heldSince = {};
            network.heard.clear();
            network.said.clear();
            if (!status.Ok()) {
                memoryFailed = true;
                if (!memorySaid) {
                    memorySaid = true;
                    note(store::DescribeProblem(status));
                }
            }
        }
    };
    auto rememberedAt = Clock::now();
    auto checkedAt = Clock::now();
    bool stopping = false;
    while (!stopping && !writeFailed) {
        std::size_t dropped = 0;
        for (const Item& item : inbox.Take(std::chrono::milliseconds(0), dropped)) {
            if (item.kind == Item::Kind::Note) {
                note(item.text);
            } else if (item.kind == Item::Kind::Stop) {
                stopping = true;
            } else {
                memoryFailed = memoryFailed || item.text == "memory";
                handle(item);
            }
        }
        if (dropped > 0) {
            note(Format(Tr("%zu ARP frames came faster than they could be looked at and were "
                           "dropped"),
                        dropped));
        }
        if (TakeStop(stopSignals, kTurn)) {
            stopping = true;
        }
        if (Clock::now() - rememberedAt >= kRememberEvery) {
            rememberedAt = Clock::now();
            remember(false);
        }
        if (Clock::now() - checkedAt >= kLinkCheckEvery) {
            checkedAt = Clock::now();
            if (const auto links = ports.links()) {
                std::vector<WatchLine> changes;
                for (auto& [name, up] : linkUp) {
                    const bool now = std::ranges::any_of(
                        *links, [&](const LinkInterface& l) { return l.name == name; });
                    if (now != up) {
                        up = now;
                        changes.push_back({name, {}, now ? "link-up" : "link-down"});
                        changes.back().event.when = NowMillis();
                    }
                }
                say(changes);
            }
        }
    }

    stop = true;
    scanWake.notify_all();
    if (scans.joinable()) {
        if (scanning) {
            // One of the stop signals, which every thread of ours blocks and a running scan
            // waits for: any other could end the whole process.
            for (int signal = 1; signal < NSIG; ++signal) {
                if (sigismember(&stopSignals, signal) == 1) {
                    pthread_kill(scans.native_handle(), signal);
                    break;
                }
            }
        }
        scans.join();
    }
    listeners.clear();
    // What was heard before the stop is still told, complete.
    std::size_t dropped = 0;
    for (const Item& item : inbox.Take(std::chrono::milliseconds(0), dropped)) {
        if (item.kind == Item::Kind::Frame) {
            handle(item);
        } else if (item.kind == Item::Kind::Note) {
            note(item.text);
        }
    }
    remember(true);
    if (command) {
        command->Finish(kExecGrace);
    }
    std::fflush(out);
    if (writeFailed) {
        return kExitWriteFailed;
    }
    return memoryFailed ? kExitMemoryFailed : kExitAllAsked;
}

}  // namespace talvik::cli
