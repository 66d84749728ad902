// SPDX-License-Identifier: GPL-3.0-or-later
// Figures for reading the installed MAC maker registry: time, entries and memory. Run by hand:
// registry_bench [directory] [rounds]
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "names/MacVendors.h"

int main(int argc, char** argv) {
    const std::string directory = argc > 1 ? argv[1] : talvik::kIeeeDataDirectory;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    double fastest = 1e9;
    double total = 0;
    std::size_t entries = 0;
    std::size_t table = 0;
    std::size_t heap = 0;
    for (int i = 0; i < rounds; ++i) {
        const std::size_t before = mallinfo2().uordblks;
        const auto start = std::chrono::steady_clock::now();
        talvik::MacVendors vendors(directory);
        const talvik::MacRegistry& registry = vendors.Load();
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        fastest = std::min(fastest, took.count());
        total += took.count();
        entries = registry.Size();
        table = registry.MemoryBytes();
        heap = mallinfo2().uordblks - before;
    }
    std::printf("registry %s: %zu blocks\n", directory.c_str(), entries);
    std::printf("load: fastest %.1f ms, mean %.1f ms over %d rounds\n", fastest, total / rounds,
                rounds);
    std::printf("memory: table %.2f MiB, heap kept after load %.2f MiB\n",
                static_cast<double>(table) / 1048576.0, static_cast<double>(heap) / 1048576.0);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("process peak resident size: %.1f MiB\n",
                static_cast<double>(usage.ru_maxrss) / 1024.0);
    return entries == 0 ? 1 : 0;
}
