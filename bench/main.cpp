// SPDX-License-Identifier: GPL-3.0-or-later
// talvik-bench: runs the real scan engine (dispatcher, workers, ARP sender) without a window over
// a range of addresses and prints how long the scan took, what it found and the peak memory.
//
//   talvik-bench --first A.B.C.D --last A.B.C.D [--workers N] [--sender KIND] [--rows]
//                [--stop-after-ms N] [--settle-ms N] [--timeout-ms N]
//                [--schedule 0,75,150/300] [--neighbour-give-up-ms N] [--close-after-ms N]
//                [--network-condition 100..5000]
//
// --close-after-ms destroys the engine in the middle of the scan, as closing the window does,
// and reports how long that took and whether anything reached the list afterwards.
//   talvik-bench --target ADDRESS-OR-NAME ... (instead of --first/--last)
//
// Output is one "key=value" line per figure; --rows adds one "row" line per target
// (address, status, MAC, then any other MACs that answered for it).
//
// For the failure cases of the lab: --scans N runs N scans one after another (--scan-gap-ms
// apart), each block after the first opened by a "scan K" line; --helper-signal-after-ms N
// sends --helper-signal (kill or stop) to the ARP helper N ms into the first scan (given
// again, at each of the times given, to whichever helper runs then); the last
// lines tell how many children of the bench are left and how many of them are zombies.
//
// --remember PATH keeps the devices found in the device store at PATH, as the window does with
// device memory on: the store is opened (made if missing) before the first scan, and each
// scan's rows are written after it ends; store_open_ms, store_ms and store_new report it.
//
// start_ms tells how long the scan start held the user-interface thread; started_monotonic_ms
// when the scan started, on CLOCK_MONOTONIC.

#include <arpa/inet.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/CommandLine.h"
#include "cli/HeadlessPorts.h"
#include "cli/PlatformChoice.h"
#include "netlink/NetworkIdentity.h"
#include "scan/ScanEngine.h"
#include "scan/ScanTypes.h"
#include "store/DeviceStore.h"

namespace {

using namespace talvik;
using namespace talvik::bench;
using namespace talvik::headless;
using Clock = std::chrono::steady_clock;

struct Options {
    std::vector<std::string> targets;
    int workers = kStartWorkerLimit;
    int networkCondition = kStartNetworkCondition;
    PlatformRequest platform;
    bool rows = false;
    long stopAfterMs = -1;
    long closeAfterMs = -1;
    long settleMs = 1500;
    long timeoutMs = 120000;
    int scans = 1;
    long scanGapMs = 0;
    std::vector<long> helperSignalAfterMs;
    int helperSignal = SIGKILL;
    std::string rememberPath;
};

void Usage() {
    std::fprintf(stderr,
                 "usage: talvik-bench (--first A --last B | --target T ...) [--workers 1..64]\n"
                 "       [--sender %s] [--rows] [--stop-after-ms N] [--settle-ms N]\n"
                 "       [--timeout-ms N] [--schedule 0,75,150/300] [--neighbour-give-up-ms N]\n"
                 "       [--network-condition 100..5000] [--remember STORE]\n",
                 SenderKinds());
}

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    std::optional<std::uint32_t> first;
    std::optional<std::uint32_t> last;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto number = [&](long minimum, long maximum) -> std::optional<long> {
            if (value == nullptr) {
                return std::nullopt;
            }
            ++i;
            return ParseNumber(value, minimum, maximum);
        };
        if (arg == "--rows") {
            options.rows = true;
        } else if (arg == "--remember" && value != nullptr) {
            options.rememberPath = value;
            ++i;
        } else if ((arg == "--first" || arg == "--last") && value != nullptr) {
            auto address = ParseAddress(value);
            ++i;
            if (!address) {
                std::fprintf(stderr, "talvik-bench: not an IPv4 address: %s\n", value);
                return std::nullopt;
            }
            (arg == "--first" ? first : last) = address;
        } else if (arg == "--target" && value != nullptr) {
            options.targets.emplace_back(value);
            ++i;
        } else if (arg == "--sender" && value != nullptr) {
            options.platform.sender = value;
            ++i;
        } else if (arg == "--schedule" && value != nullptr) {
            options.platform.schedule = value;
            ++i;
        } else if (arg == "--neighbour-give-up-ms") {
            auto n = number(0, 60000);
            if (!n) {
                return std::nullopt;
            }
            options.platform.neighbourGiveUpMs = *n;
        } else if (arg == "--workers") {
            auto n = number(kMinWorkerLimit, kMaxWorkerLimit);
            if (!n) {
                return std::nullopt;
            }
            options.workers = static_cast<int>(*n);
        } else if (arg == "--network-condition") {
            auto n = number(kMinNetworkCondition, kMaxNetworkCondition);
            if (!n) {
                return std::nullopt;
            }
            options.networkCondition = static_cast<int>(*n);
        } else if (arg == "--close-after-ms") {
            auto n = number(0, 3600000);
            if (!n) {
                return std::nullopt;
            }
            options.closeAfterMs = *n;
        } else if (arg == "--scans" || arg == "--scan-gap-ms" ||
                   arg == "--helper-signal-after-ms") {
            auto n = number(arg == "--scans" ? 1 : 0, arg == "--scans" ? 10 : 3600000);
            if (!n) {
                return std::nullopt;
            }
            if (arg == "--scans") {
                options.scans = static_cast<int>(*n);
            } else {
                if (arg == "--scan-gap-ms") {
                    options.scanGapMs = *n;
                } else {
                    options.helperSignalAfterMs.push_back(*n);
                }
            }
        } else if (arg == "--helper-signal" && value != nullptr) {
            const std::string name = value;
            if (name != "kill" && name != "stop") {
                return std::nullopt;
            }
            options.helperSignal = name == "kill" ? SIGKILL : SIGSTOP;
            ++i;
        } else if (arg == "--stop-after-ms" || arg == "--settle-ms" || arg == "--timeout-ms") {
            auto n = number(0, 3600000);
            if (!n) {
                return std::nullopt;
            }
            (arg == "--stop-after-ms" ? options.stopAfterMs
             : arg == "--settle-ms"   ? options.settleMs
                                      : options.timeoutMs) = *n;
        } else {
            return std::nullopt;
        }
    }
    if (first.has_value() != last.has_value()) {
        return std::nullopt;
    }
    if (first) {
        // The list of the window holds one /24 range at most, as here.
        if (*last < *first || *last - *first >= static_cast<std::uint32_t>(MAX_TARGETS)) {
            std::fprintf(stderr, "talvik-bench: the range holds more than %d addresses\n",
                         MAX_TARGETS);
            return std::nullopt;
        }
        for (std::uint32_t a = *first;; ++a) {
            options.targets.push_back(FormatAddress(a));
            if (a == *last) {
                break;
            }
        }
    }
    if (options.targets.size() > static_cast<std::size_t>(MAX_TARGETS)) {
        return std::nullopt;
    }
    return options;
}

long PeakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The children of this process: the ARP helper, when the helper sends.
std::vector<int> ChildPids() {
    std::vector<int> pids;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::ifstream list(task.path() / "children");
        for (int pid = 0; list >> pid;) {
            pids.push_back(pid);
        }
    }
    return pids;
}

// How many children this process has, and how many of them are zombies.
std::pair<int, int> Children() {
    const std::vector<int> pids = ChildPids();
    int zombies = 0;
    for (const int pid : pids) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        zombies += close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
    }
    return {static_cast<int>(pids.size()), zombies};
}

// Signals every child of this process after `afterMs`, from a thread of its own.
std::jthread SignalChildrenLater(std::vector<long> afterMs, int signal) {
    if (afterMs.empty()) {
        return {};
    }
    std::sort(afterMs.begin(), afterMs.end());
    return std::jthread([afterMs, signal] {
        const auto start = Clock::now();
        for (const long at : afterMs) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(at));
            for (const int pid : ChildPids()) {
                ::kill(pid, signal);
                std::fprintf(stderr, "talvik-bench: signal %d to %d\n", signal, pid);
            }
        }
    });
}

// Writes a scan's answers to the store as the window does after a scan; prints what it took.
void Remember(store::DeviceStore& memory, const std::vector<store::ScanRow>& rows) {
    const auto start = Clock::now();
    const auto identity = rows.empty() ? std::nullopt : IdentifyNetwork(rows.front().address);
    if (!identity) {
        std::printf("store_status=no network\n");
        return;
    }
    const auto network = store::MakeNetworkId(identity->address, identity->prefixLength,
                                              identity->gateway, identity->gatewayMac, rows);
    const auto wrote = memory.RecordScan(network, rows, std::time(nullptr));
    std::printf("store_ms=%.1f\n",
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    std::printf("store_network=%s %s\n", network.subnet.c_str(),
                network.gatewayMac.empty() ? "-" : network.gatewayMac.c_str());
    std::printf("store_new=%d\n", wrote.newDevices);
    if (!wrote.status.Ok()) {
        std::printf("store_status=%s\n", store::DescribeProblem(wrote.status).c_str());
    }
}

// One scan; prints its figures. False when it neither completed nor was stopped or closed.
bool RunOneScan(const Options& options, HeadlessWindow& window, std::unique_ptr<ScanEngine>& engine,
                const PlatformParts& platform, const std::vector<long>& signalAfterMs,
                store::DeviceStore* memory) {
    auto& [ui, list, progress, commands, messages] = window;
    const std::size_t shownBefore = messages.All().size();
    const std::jthread signaller = SignalChildrenLater(signalAfterMs, options.helperSignal);
    const auto start = Clock::now();
    double startMs = 0;
    ui->Run([&] {
        const auto called = Clock::now();
        engine->OnScanAll();
        startMs = std::chrono::duration<double, std::milli>(Clock::now() - called).count();
    });

    bool stopped = false;
    bool closed = false;
    double closeMs = 0;
    long writesAtStop = 0;
    int positionAtStop = 0;
    bool completed = false;
    if (options.closeAfterMs >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.closeAfterMs));
        ui->Run([&] {
            const auto closing = Clock::now();
            engine.reset();
            closeMs = std::chrono::duration<double, std::milli>(Clock::now() - closing).count();
            writesAtStop = list.Writes();
            positionAtStop = progress.GetPos();
        });
        closed = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(options.settleMs));
    } else if (options.stopAfterMs >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.stopAfterMs));
        ui->Run([&] {
            engine->OnStopScan();
            writesAtStop = list.Writes();
            positionAtStop = progress.GetPos();
        });
        stopped = true;
        // Anything the stopped scan still delivers would arrive within this time.
        std::this_thread::sleep_for(std::chrono::milliseconds(options.settleMs));
    } else {
        completed = messages.WaitFor(shownBefore + 1, std::chrono::milliseconds(options.timeoutMs));
    }
    const auto end = completed ? messages.All()[shownBefore].when : Clock::now();
    // The dispatcher leaves the running state once the box is dismissed.
    const auto idleBy = Clock::now() + std::chrono::seconds(10);
    bool running = true;
    while ((running = ui->Run([&] { return engine && engine->IsScanRunning(); })) &&
           Clock::now() < idleBy) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Every box of the scan, the notices after its first too, is up once it is idle again.
    auto shown = messages.All();
    shown.erase(shown.begin(), shown.begin() + static_cast<std::ptrdiff_t>(shownBefore));

    int found = 0;
    std::string progressText;
    std::vector<std::string> rowLines;
    std::vector<store::ScanRow> answers;
    long writesAfter = 0;
    int position = 0;
    ui->Run([&] {
        for (int row = 0; row < list.GetItemCount(); ++row) {
            const auto status = list.GetItemText(row, 1);
            const auto mac = list.GetItemText(row, 2);
            if (status == kRunning) {
                ++found;
            }
            if (const auto address = ParseAddress(list.GetItemText(row, 0).c_str())) {
                answers.push_back({*address, status == kRunning ? mac : std::string(), "", ""});
            }
            if (options.rows) {
                std::string line = "row " + list.GetItemText(row, 0) + " " +
                                   (status.empty() ? "-" : status) + " " +
                                   (mac.empty() ? "-" : mac);
                for (const auto& other : list.OtherMacs(row)) {
                    line += " " + other;
                }
                rowLines.push_back(line);
                rowLines.push_back("outcome " + list.GetItemText(row, 0) + " " +
                                   list.OutcomeText(row));
            }
        }
        writesAfter = list.Writes();
        position = progress.GetPos();
        progressText = ProgressText(position, progress.Maximum(), found,
                                    list.CountOutcome(RowOutcome::NotAsked));
    });

    const double wallMs = std::chrono::duration<double, std::milli>(end - start).count();
    std::printf("sender=%s\n", platform.chosen.c_str());
    std::printf("workers=%d\n", options.workers);
    std::printf("targets=%zu\n", options.targets.size());
    std::printf("completed=%d\n", completed ? 1 : 0);
    std::printf("wall_ms=%.1f\n", wallMs);
    std::printf("start_ms=%.1f\n", startMs);
    // On the system's monotonic clock, which the lab's responder stamps its log by as well.
    std::printf("started_monotonic_ms=%.1f\n",
                std::chrono::duration<double, std::milli>(start.time_since_epoch()).count());
    std::printf("found=%d\n", found);
    std::printf("progress=%d/%d\n", position, progress.Maximum());
    std::printf("progress_text=%s\n", progressText.c_str());
    std::printf("running_after=%d\n", running ? 1 : 0);
    std::printf("messages=%zu\n", shown.size());
    for (const auto& box : shown) {
        std::string text = box.text;  // one line per box
        for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at)) {
            text.replace(at, 1, "\\n");
        }
        std::printf("message %s|%s|%u\n", text.c_str(), box.caption.c_str(), box.type);
    }
    if (closed) {
        std::printf("closed=1\n");
        std::printf("close_ms=%.1f\n", closeMs);
        std::printf("progress_at_close=%d\n", positionAtStop);
        std::printf("writes_after_close=%ld\n", writesAfter - writesAtStop);
    }
    if (stopped) {
        std::printf("stopped=1\n");
        std::printf("progress_at_stop=%d\n", positionAtStop);
        std::printf("writes_after_stop=%ld\n", writesAfter - writesAtStop);
    }
    if (memory != nullptr && completed) {
        Remember(*memory, answers);
    }
    std::printf("maxrss_kb=%ld\n", PeakRssKb());
    for (const auto& line : rowLines) {
        std::printf("%s\n", line.c_str());
    }
    return completed || stopped || closed;
}

int Run(const Options& options) {
    std::string error;
    auto platform = MakePlatform(options.platform, error);
    if (!platform) {
        std::fprintf(stderr, "talvik-bench: %s\n", error.c_str());
        return 2;
    }

    HeadlessWindow window(options.targets);
    EnginePorts ports = PortsFor(window, *platform);
    ports.senderNotice = platform->notice;
    auto engine = MakeEngine(window, ports, options.workers, options.networkCondition);

    std::unique_ptr<store::DeviceStore> memory;
    if (!options.rememberPath.empty()) {
        const auto start = Clock::now();
        auto opened = store::DeviceStore::Create(options.rememberPath);
        std::printf("store_open_ms=%.1f\n",
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (!opened.status.Ok()) {
            std::printf("store_status=%s\n", store::DescribeProblem(opened.status).c_str());
        }
        memory = std::move(opened.store);
    }

    bool allEnded = true;
    for (int scan = 1; scan <= options.scans; ++scan) {
        if (scan > 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(options.scanGapMs));
            std::printf("scan %d\n", scan);
        }
        allEnded = RunOneScan(options, window, engine, *platform,
                              scan == 1 ? options.helperSignalAfterMs : std::vector<long>{},
                              memory.get()) &&
                   allEnded;
        if (!engine) {
            break;  // closed
        }
    }
    // The engine goes on the user-interface thread, where it was made and where its destructor
    // may wait for the last scan threads.
    window.ui->Run([&] { engine.reset(); });
    window.ui->Shutdown();
    const auto [children, zombies] = Children();
    std::printf("children=%d\n", children);
    std::printf("zombies=%d\n", zombies);
    return allEnded ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    auto options = ParseOptions(argc, argv);
    if (!options || options->targets.empty()) {
        Usage();
        return 2;
    }
    return Run(*options);
}
