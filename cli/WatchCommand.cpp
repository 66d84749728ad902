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
#include "names/MacVendors.h"
#include "scan/Address.h"
#include "store/DeviceStore.h"
#include "store/WatchEvents.h"

namespace talvik::cli {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kTurn(100);
constexpr std::chrono::milliseconds kHearWait(500);
constexpr std::chrono::seconds kReopenEvery(1);
constexpr std::chrono::seconds kLinkCheckEvery(1);
constexpr std::chrono::seconds kExecGrace(2);
constexpr std::chrono::seconds kLostEvery(10);
// Frames waiting for the main thread; a flood past this is dropped and counted.
constexpr std::size_t kFramesQueued = 100000;

store::Millis NowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string DashedMac(const std::array<std::uint8_t, 6>& m) {
    char text[18];
    std::snprintf(text, sizeof text, "%.2x-%.2x-%.2x-%.2x-%.2x-%.2x", m[0], m[1], m[2], m[3], m[4],
                  m[5]);
    return text;
}

struct Watched {
    std::string interfaceName;
    store::NetworkId id;
    std::unique_ptr<store::WatchState> state;
};

// What the listeners and the scans hand to the main thread.
struct Item {
    enum class Kind { Frame, Scan, Note, Stop } kind = Kind::Note;
    std::string interfaceName;
    store::Claim claim;
    store::Millis when = 0;
    std::vector<store::Claim> rows;
    std::string text;
};

class Inbox {
public:
    void Put(Item item) {
        const std::lock_guard lock(mutex_);
        if (item.kind == Item::Kind::Frame && frames_ >= kFramesQueued) {
            ++dropped_;
            return;
        }
        frames_ += item.kind == Item::Kind::Frame ? 1 : 0;
        items_.push_back(std::move(item));
        wake_.notify_one();
    }
    std::deque<Item> Take(std::chrono::milliseconds wait, std::size_t& dropped) {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, wait, [&] { return !items_.empty(); });
        std::deque<Item> taken;
        taken.swap(items_);
        frames_ = 0;
        dropped = dropped_;
        dropped_ = 0;
        return taken;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> items_;
    std::size_t frames_ = 0;
    std::size_t dropped_ = 0;
};

bool TakeStop(const sigset_t& signals) {
    timespec none{};
    return sigtimedwait(&signals, nullptr, &none) > 0;
}

// Hears one interface until stopped, opening its wire again when it ends.
class Listener {
public:
    Listener(IArpWires& wires, std::string name, std::unique_ptr<IArpWire> wire, Inbox& inbox,
             std::atomic<bool>& stop)
        : wires_(wires),
          name_(std::move(name)),
          wire_(std::move(wire)),
          inbox_(inbox),
          stop_(stop),
          thread_([this] { Loop(); }) {}
    ~Listener() {
        Wake();
        thread_.join();
    }
    void Wake() {
        const std::lock_guard lock(mutex_);
        if (wire_) {
            wire_->Wake();
        }
    }

private:
    void Note(std::string text) {
        inbox_.Put({Item::Kind::Note, name_, {}, 0, {}, std::move(text)});
    }
    void Loop() {
        std::vector<HeardArp> frames;
        while (!stop_) {
            frames.clear();
            const int error = wire_->Hear(frames, kHearWait);
            const auto steadyNow = Clock::now();
            const store::Millis now = NowMillis();
            for (const HeardArp& frame : frames) {
                const auto age =
                    std::chrono::duration_cast<std::chrono::milliseconds>(steadyNow - frame.when)
                        .count();
                inbox_.Put({Item::Kind::Frame,
                            name_,
                            {frame.senderAddress, DashedMac(frame.senderMac), {}},
                            now - std::max<std::int64_t>(age, 0),
                            {},
                            {}});
            }
            // A flood overran the wire: said now and then, never silently.
            if (const std::uint64_t lost = wire_->Lost();
                lost > lostSaid_ && steadyNow - lostAt_ >= kLostEvery) {
                Note(Format(Tr("%llu ARP frames on %s were lost to a flood"),
                            static_cast<unsigned long long>(lost - lostSaid_), name_.c_str()));
                lostSaid_ = lost;
                lostAt_ = steadyNow;
            }
            if (error != 0 && !stop_) {
                Reopen(error);
            }
        }
    }
    void Reopen(int error) {
        if (error == EPIPE) {
            Note(Format(Tr("the helper that listens on %s ended; starting it again"),
                        name_.c_str()));
        }
        {
            const std::lock_guard lock(mutex_);
            wire_.reset();
        }
        bool said = false;
        while (!stop_) {
            std::string why;
            if (auto wire = wires_.Open(name_, why)) {
                const std::lock_guard lock(mutex_);
                wire_ = std::move(wire);
                lostSaid_ = 0;
                Note(Format(Tr("listening on %s again"), name_.c_str()));
                return;
            }
            if (!said && error != ENODEV && error != ENETDOWN) {
                said = true;
                Note(Format(Tr("cannot listen on %s for now: %s"), name_.c_str(), why.c_str()));
            }
            for (auto until = Clock::now() + kReopenEvery; !stop_ && Clock::now() < until;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
    }

    IArpWires& wires_;
    std::string name_;
    std::mutex mutex_;
    std::unique_ptr<IArpWire> wire_;
    Inbox& inbox_;
    std::atomic<bool>& stop_;
    std::uint64_t lostSaid_ = 0;
    Clock::time_point lostAt_{};
    std::thread thread_;
};

// The targets' networks; with no target, those of the interfaces named.
std::vector<Watched> FindNetworks(const ScanOptions& options, const WatchPorts& ports,
                                  std::vector<std::string>& targets) {
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
        Watched watched{link.name,
                        store::MakeNetworkId(link.address, link.prefixLength, gatewayMac), nullptr};
        watched.id.gateway = gateway.value_or(0);
        watched.state = std::make_unique<store::WatchState>(store::WatchNetworkSetup{
            link.address, link.prefixLength, gateway.value_or(0), watched.id.gatewayMac});
        found.push_back(std::move(watched));
    };
    targets = options.targets;
    for (const std::string& target : options.targets) {
        if (const auto address = ParseDottedDecimal(target)) {
            const LinkChoice choice = ChooseLink(*links, *address);
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
                // Until scans take more, the 255 hosts around our own address are asked.
                const int bits = std::max(link.prefixLength, 24);
                const std::uint32_t mask = bits >= 32 ? ~0u : ~(~0u >> bits);
                const std::uint32_t first = (link.address & mask) + (bits <= 30 ? 1 : 0);
                const std::uint32_t last = (link.address | ~mask) - (bits <= 30 ? 1 : 0);
                for (std::uint64_t a = first; a <= last; ++a) {
                    targets.push_back(FormatDottedDecimal(static_cast<std::uint32_t>(a)));
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
    std::vector<std::string> targets;
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
        listeners.push_back(std::make_unique<Listener>(*ports.wires, network.interfaceName,
                                                       std::move(wire), inbox, stop));
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
                Item done{
                    Item::Kind::Scan, {}, {}, NowMillis(), ParseScanCsv(buffer ? buffer : ""), {}};
                std::free(buffer);
                if (status == kExitMemoryFailed) {
                    done.text = "memory";
                }
                inbox.Put(std::move(done));
                if (status == kExitInterrupted) {
                    inbox.Put({Item::Kind::Stop, {}, {}, 0, {}, {}});
                    return;
                }
                std::unique_lock lock(scanMutex);
                scanWake.wait_for(lock, std::chrono::seconds(options.everySeconds),
                                  [&] { return stop.load(); });
            }
        });
    }

    WatchLines lines(options.format == OutputFormat::Jsonl, registry);
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
            const store::WatchOutcome outcome = item.kind == Item::Kind::Frame
                                                    ? network.state->Heard(item.claim, item.when)
                                                    : network.state->Scanned(item.rows, item.when);
            for (const store::WatchEvent& event : outcome.events) {
                events.push_back({network.interfaceName, event, {}});
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

    auto checkedAt = Clock::now();
    bool stopping = false;
    while (!stopping && !writeFailed) {
        std::size_t dropped = 0;
        for (const Item& item : inbox.Take(kTurn, dropped)) {
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
        if (TakeStop(stopSignals)) {
            stopping = true;
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
            pthread_kill(scans.native_handle(), SIGTERM);
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
