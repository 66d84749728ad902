// SPDX-License-Identifier: GPL-3.0-or-later
// talvik-sweep: one large run of the engine's sweep over the platform's wires, without the
// command around it, for the lab and the benchmark.
//
//   talvik-sweep [--sender auto|packet|helper] [--rate N] [--late-window-ms N]
//                [--known A.B.C.D=MAC]... [--stop-after-ms N] --link IF FIRST LAST [--link ...]
//
// Prints a line "found MS ADDRESS MAC" the moment each host answers (MS from the start), then
// key=value lines: elapsed_ms, targets, asked, found, not_asked, threads_max (the process's
// threads, sampled every 20 ms by a thread of this driver's own, which it counts), maxrss_kb
// (its own peak resident memory, VmHWM).

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/CommandLine.h"
#include "platform/Platform.h"
#include "scan/Sweep.h"

namespace {

using namespace talvik;
using namespace talvik::bench;
using Clock = std::chrono::steady_clock;

struct LinkArg {
    std::string name;
    std::uint32_t first = 0, last = 0;
};

std::size_t Threads() {
    std::size_t count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        closedir(dir);
    }
    return count;
}

bool ParseMac(const char* text, std::array<std::uint8_t, 6>& mac) {
    unsigned b[6];
    if (std::sscanf(text, "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6) {
        return false;
    }
    for (int i = 0; i < 6; ++i) {
        mac[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(b[i]);
    }
    return true;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: talvik-sweep [--sender auto|packet|helper] [--rate N] "
                 "[--late-window-ms N]\n"
                 "       [--known A.B.C.D=MAC]... [--stop-after-ms N] --link IF FIRST LAST...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    SweepOptions options;
    ArpSenderKind kind = ArpSenderKind::Automatic;
    std::vector<LinkArg> linkArgs;
    std::vector<KnownDevice> known;
    long stopAfterMs = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--link" && i + 3 < argc) {
            const auto first = ParseAddress(argv[i + 2]);
            const auto last = ParseAddress(argv[i + 3]);
            if (!first || !last || *last < *first || *last - *first >= 65536) {
                return Usage();
            }
            linkArgs.push_back({argv[i + 1], *first, *last});
            i += 3;
        } else if (arg == "--rate" && value != nullptr) {
            const auto rate = ParseNumber(value, 1, 100000);
            if (!rate) {
                return Usage();
            }
            options.framesPerSecond = static_cast<int>(*rate);
            ++i;
        } else if ((arg == "--late-window-ms" || arg == "--stop-after-ms") && value != nullptr) {
            const auto ms = ParseNumber(value, 0, 600000);
            if (!ms) {
                return Usage();
            }
            if (arg == "--stop-after-ms") {
                stopAfterMs = *ms;
            } else {
                options.lateWindow = std::chrono::milliseconds(*ms);
            }
            ++i;
        } else if (arg == "--known" && value != nullptr) {
            const char* eq = std::strchr(value, '=');
            KnownDevice device;
            const auto address =
                eq == nullptr ? std::nullopt : ParseAddress(std::string(value, eq).c_str());
            if (!address || !ParseMac(eq + 1, device.mac)) {
                return Usage();
            }
            device.address = *address;
            known.push_back(device);
            ++i;
        } else if (arg == "--sender" && value != nullptr) {
            const std::string name = value;
            kind = name == "packet"   ? ArpSenderKind::Packet
                   : name == "helper" ? ArpSenderKind::Helper
                                      : ArpSenderKind::Automatic;
            ++i;
        } else {
            return Usage();
        }
    }
    if (linkArgs.empty()) {
        return Usage();
    }
    std::string error;
    auto wires = MakeArpWires(error, kind);
    if (!wires) {
        std::fprintf(stderr, "talvik-sweep: %s\n", error.c_str());
        return 1;
    }
    std::vector<std::unique_ptr<IArpWire>> opened;
    std::vector<SweepLink> links;
    std::vector<std::uint32_t> addresses;
    for (const auto& arg : linkArgs) {
        opened.push_back(wires->Open(arg.name, error));
        if (!opened.back()) {
            std::fprintf(stderr, "talvik-sweep: %s\n", error.c_str());
            return 1;
        }
        SweepLink link{opened.back().get(), {}, {}};
        for (std::uint64_t address = arg.first; address <= arg.last; ++address) {
            link.targets.push_back({static_cast<std::uint32_t>(address), addresses.size()});
            addresses.push_back(static_cast<std::uint32_t>(address));
        }
        for (const auto& device : known) {
            if (device.address >= arg.first && device.address <= arg.last) {
                link.known.push_back(device);
            }
        }
        links.push_back(std::move(link));
    }

    const auto start = Clock::now();
    std::atomic<std::size_t> threadsMax{Threads()};
    std::stop_source stop;
    std::jthread sampler([&](std::stop_token done) {
        while (!done.stop_requested()) {
            threadsMax = std::max(threadsMax.load(), Threads());
            if (stopAfterMs >= 0 &&
                Clock::now() - start >= std::chrono::milliseconds(stopAfterMs)) {
                stop.request_stop();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    std::size_t found = 0, notAsked = 0, asked = 0;
    SweepEvents events;
    events.answered = [&](std::size_t row, const std::array<std::uint8_t, 6>& mac) {
        ++found;
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        std::printf("found %lld %s %02x:%02x:%02x:%02x:%02x:%02x\n", static_cast<long long>(ms),
                    FormatAddress(addresses[row]).c_str(), mac[0], mac[1], mac[2], mac[3], mac[4],
                    mac[5]);
        std::fflush(stdout);
    };
    events.notAsked = [&](std::size_t, NotAskedReason) { ++notAsked; };
    events.progress = [&](std::size_t a, std::size_t, std::chrono::milliseconds) { asked = a; };
    RunSweep(links, options, events, stop.get_token());
    const auto elapsed = Clock::now() - start;
    sampler.request_stop();
    sampler.join();

    // The driver's own peak: the kernel's maxrss of a process also keeps the peak of whatever
    // exec'd it (a reader spawning it by vfork passes on its whole interpreter).
    long peakKb = -1;
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status) != nullptr) {
            if (std::sscanf(line, "VmHWM: %ld", &peakKb) == 1) {
                break;
            }
        }
        std::fclose(status);
    }
    std::printf("elapsed_ms=%lld\ntargets=%zu\nasked=%zu\nfound=%zu\nnot_asked=%zu\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()),
                addresses.size(), asked, found, notAsked);
    std::printf("threads_max=%zu\nmaxrss_kb=%ld\n", threadsMax.load(), peakKb);
    return 0;
}
