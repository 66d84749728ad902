// SPDX-License-Identifier: GPL-3.0-or-later
// talvik-soak: one engine, as one window would hold it, through many scans in a row: scans that
// complete, scans stopped part way, and scans restarted the moment they were stopped. Between
// rounds it waits for the engine to go idle (a round that does not is a hang) and samples the
// process's resident memory, threads and open descriptors, then prints them.
//
//   talvik-soak --first A.B.C.D --last A.B.C.D [--cycles N] [--sample-every N] [--workers N]
//               [--sender KIND] [--seed N] [--rss-slack-kb N]
//
// Exits 1 when a round hangs or when, once warmed up, threads or descriptors do not come back
// to where they were, or memory grows by more than the slack.

#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "bench/CommandLine.h"
#include "cli/HeadlessPorts.h"
#include "cli/PlatformChoice.h"
#include "scan/ScanEngine.h"
#include "scan/ScanTypes.h"

namespace {

using namespace talvik;
using namespace talvik::bench;
using namespace talvik::headless;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Options {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    int cycles = 300;
    int sampleEvery = 25;
    int workers = kStartWorkerLimit;
    unsigned seed = 1;
    long rssSlackKb = 2048;
    PlatformRequest platform;
};

struct Sample {
    int cycle = 0;
    long rssKb = 0;
    int threads = 0;
    int fds = 0;
    int children = 0;  // talvik-arp, when the helper sends
    long childRssKb = 0;
};

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    bool haveFirst = false;
    bool haveLast = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const char* value = argv[i + 1];
        auto number = [&](long minimum, long maximum, auto& into) {
            const auto parsed = ParseNumber(value, minimum, maximum);
            if (parsed) {
                into = static_cast<std::remove_reference_t<decltype(into)>>(*parsed);
            }
            return parsed.has_value();
        };
        bool ok = true;
        if (arg == "--first" || arg == "--last") {
            const auto address = ParseAddress(value);
            ok = address.has_value();
            if (ok) {
                (arg == "--first" ? options.first : options.last) = *address;
                (arg == "--first" ? haveFirst : haveLast) = true;
            }
        } else if (arg == "--cycles") {
            ok = number(1, 1000000, options.cycles);
        } else if (arg == "--sample-every") {
            ok = number(1, 1000000, options.sampleEvery);
        } else if (arg == "--workers") {
            ok = number(kMinWorkerLimit, kMaxWorkerLimit, options.workers);
        } else if (arg == "--seed") {
            ok = number(0, 1000000, options.seed);
        } else if (arg == "--rss-slack-kb") {
            ok = number(0, 1 << 20, options.rssSlackKb);
        } else if (arg == "--sender") {
            options.platform.sender = value;
        } else {
            ok = false;
        }
        if (!ok) {
            return std::nullopt;
        }
    }
    if (argc % 2 == 0 || !haveFirst || !haveLast || options.last < options.first ||
        options.last - options.first >= static_cast<std::uint32_t>(MAX_TARGETS)) {
        return std::nullopt;
    }
    return options;
}

int CountEntries(const char* folder) {
    DIR* dir = ::opendir(folder);
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(dir);
    return count;
}

long ResidentKb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// Our child processes and their resident memory; a helper that is started again for every scan,
// or grows, shows here.
void CountChildren(Sample& sample) {
    const pid_t self = ::getpid();
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') {
            continue;
        }
        const std::string folder = std::string("/proc/") + entry->d_name;
        std::ifstream stat(folder + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        char state = 0;
        long parent = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %ld", &state, &parent) != 2 ||
            parent != self) {
            continue;
        }
        ++sample.children;
        std::ifstream statm(folder + "/statm");
        long pages = 0;
        long resident = 0;
        statm >> pages >> resident;
        sample.childRssKb += resident * (::sysconf(_SC_PAGESIZE) / 1024);
    }
    ::closedir(dir);
}

Sample Take(int cycle) {
    // The directory being read holds one descriptor of its own; it is not counted.
    Sample sample{cycle, ResidentKb(), CountEntries("/proc/self/task"),
                  CountEntries("/proc/self/fd") - 1};
    CountChildren(sample);
    return sample;
}

void Print(const Sample& s) {
    std::printf("cycle=%d rss_kb=%ld threads=%d fds=%d children=%d child_rss_kb=%ld\n", s.cycle,
                s.rssKb, s.threads, s.fds, s.children, s.childRssKb);
    std::fflush(stdout);
}

void Usage() {
    std::fprintf(stderr,
                 "usage: talvik-soak --first A --last B [--cycles N] [--sample-every N]\n"
                 "       [--workers 1..64] [--sender %s] [--seed N] [--rss-slack-kb N]\n",
                 SenderKinds());
}

int Run(const Options& options) {
    std::string error;
    auto platform = MakePlatform(options.platform, error);
    if (!platform) {
        std::fprintf(stderr, "talvik-soak: %s\n", error.c_str());
        return 2;
    }
    std::vector<std::string> targets;
    for (std::uint32_t a = options.first;; ++a) {
        targets.push_back(FormatAddress(a));
        if (a == options.last) {
            break;
        }
    }

    HeadlessWindow window(targets);
    auto& [ui, list, progress, commands, messages] = window;
    // The window's start network condition, as a user meets it.
    auto engine =
        MakeEngine(window, PortsFor(window, *platform), options.workers, kStartNetworkCondition);

    std::mt19937 random(options.seed);
    // Mostly inside a scan of the lab's range (a few hundred milliseconds), now and then after it.
    std::uniform_int_distribution<int> stopAfterMs(0, 250);
    std::size_t seenBoxes = 0;
    int finishedBeforeStop = 0;
    int completed = 0;
    int stopped = 0;
    int restarted = 0;
    int foundFewest = MAX_TARGETS + 1;
    int foundMost = -1;
    bool hung = false;
    bool staleBoxes = false;
    std::vector<Sample> samples;
    std::vector<double> scanMs;

    // The engine idles once its dispatcher and workers have let go of the scan.
    auto waitIdle = [&](std::chrono::milliseconds timeout) {
        const auto until = Clock::now() + timeout;
        while (ui->Run([&] { return engine->IsScanRunning(); })) {
            if (Clock::now() > until) {
                return false;
            }
            std::this_thread::sleep_for(2ms);
        }
        return true;
    };
    // Threads of a stopped scan end on their own; a sample is taken once they are down to the
    // fewest seen idle, or after a while, so that threads that never end show up as growth.
    const Sample idle = Take(0);
    int fewestThreads = idle.threads;
    auto settledSample = [&](int cycle) {
        const auto until = Clock::now() + 3s;
        Sample sample = Take(cycle);
        while (sample.threads > fewestThreads && Clock::now() < until) {
            std::this_thread::sleep_for(10ms);
            sample = Take(cycle);
        }
        fewestThreads = std::min(fewestThreads, sample.threads);
        return sample;
    };
    Print(idle);

    const auto start = Clock::now();
    for (int cycle = 1; cycle <= options.cycles && !hung && !staleBoxes; ++cycle) {
        const int kind = cycle % 3;  // 0: to the end, 1: stopped part way, 2: stop and restart
        Clock::time_point began;
        ui->Run([&] {
            began = Clock::now();
            engine->OnScanAll();
        });
        if (kind == 0) {
            if (!messages.WaitFor(seenBoxes + 1, 60s)) {
                hung = true;
                break;
            }
            const auto box = messages.All()[seenBoxes++];
            if (box.when < began) {
                std::printf("completion_after_stop=before cycle %d\n", cycle);
                staleBoxes = true;
                break;
            }
            scanMs.push_back(std::chrono::duration<double, std::milli>(box.when - began).count());
            ++completed;
            const int found = ui->Run([&] {
                int running = 0;
                for (int row = 0; row < list.GetItemCount(); ++row) {
                    running += list.GetItemText(row, 1) == kRunning ? 1 : 0;
                }
                return running;
            });
            foundFewest = std::min(foundFewest, found);
            foundMost = std::max(foundMost, found);
        } else {
            // The moment of the stop is taken on the user-interface thread, where completion
            // boxes are shown too, so a box either came before the stop or after it.
            Clock::time_point stoppedAt;
            auto stop = [&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(stopAfterMs(random)));
                ui->Run([&] {
                    engine->OnStopScan();
                    stoppedAt = Clock::now();
                });
            };
            stop();
            if (kind == 2) {
                // Straight back in, as a user who pressed stop by mistake.
                ui->Run([&] { engine->OnScanAll(); });
                stop();
                ++restarted;
            }
            ++stopped;
            // Results of a stopped scan still on their way would land within this time.
            std::this_thread::sleep_for(50ms);
            const auto shown = messages.All();
            for (; seenBoxes < shown.size(); ++seenBoxes) {
                if (shown[seenBoxes].when > stoppedAt) {
                    std::printf("completion_after_stop=cycle %d\n", cycle);
                    staleBoxes = true;
                }
                ++finishedBeforeStop;  // the scan was quicker than the stop
            }
        }
        if (!waitIdle(30s)) {
            hung = true;
            break;
        }
        if (cycle == 1 || cycle % options.sampleEvery == 0 || cycle == options.cycles) {
            samples.push_back(settledSample(cycle));
            Print(samples.back());
        }
    }
    const double totalS = std::chrono::duration<double>(Clock::now() - start).count();
    ui->Run([&] { engine.reset(); });
    ui->Shutdown();

    std::printf("sender=%s\n", platform->chosen.c_str());
    std::printf("targets=%zu\n", targets.size());
    std::printf("cycles_completed=%d\n", completed);
    std::printf("cycles_stopped=%d\n", stopped);
    std::printf("cycles_restarted=%d\n", restarted);
    std::printf("finished_before_stop=%d\n", finishedBeforeStop);
    if (completed > 0) {
        std::printf("found_fewest=%d\n", foundFewest);
        std::printf("found_most=%d\n", foundMost);
    }
    std::printf("total_s=%.1f\n", totalS);
    if (!scanMs.empty()) {
        std::sort(scanMs.begin(), scanMs.end());
        std::printf("scan_ms_median=%.1f\n", scanMs[scanMs.size() / 2]);
        std::printf("scan_ms_max=%.1f\n", scanMs.back());
    }
    std::printf("hung=%d\n", hung ? 1 : 0);
    // Only completions may show a box; anything else (a thread that could not start) is a fault.
    int otherBoxes = 0;
    for (const auto& box : messages.All()) {
        if (box.text != kScanComplete) {
            std::printf("message %s|%s|%u\n", box.text.c_str(), box.caption.c_str(), box.type);
            ++otherBoxes;
        }
    }
    std::printf("other_messages=%d\n", otherBoxes);
    std::printf("completion_after_stop=%d\n", staleBoxes ? 1 : 0);
    if (hung || staleBoxes || otherBoxes > 0 || samples.size() < 2) {
        return 1;
    }

    // The first round warms the allocator and the sender up; growth is counted from the second
    // sample on.
    const Sample& base = samples.size() > 2 ? samples[1] : samples[0];
    const Sample& end = samples.back();
    long peakRss = 0;
    for (const Sample& s : samples) {
        peakRss = std::max(peakRss, s.rssKb);
    }
    std::printf("rss_kb_growth=%ld (from %ld at cycle %d to %ld, peak %ld)\n",
                end.rssKb - base.rssKb, base.rssKb, base.cycle, end.rssKb, peakRss);
    std::printf("threads_growth=%d (%d to %d)\n", end.threads - base.threads, base.threads,
                end.threads);
    std::printf("fds_growth=%d (%d to %d)\n", end.fds - base.fds, base.fds, end.fds);
    std::printf("child_processes=%d to %d\n", base.children, end.children);
    std::printf("child_rss_kb_growth=%ld\n", end.childRssKb - base.childRssKb);
    const bool ok = end.threads <= base.threads && end.fds <= base.fds &&
                    end.rssKb - base.rssKb <= options.rssSlackKb && end.children <= base.children &&
                    end.childRssKb - base.childRssKb <= options.rssSlackKb;
    std::printf("verdict=%s\n", ok ? "steady" : "GROWING");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = ParseOptions(argc, argv);
    if (!options) {
        Usage();
        return 2;
    }
    return Run(*options);
}
