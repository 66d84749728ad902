// SPDX-License-Identifier: GPL-3.0-or-later
// Figures for the device store: a file of 10,000 devices and 100,000 sightings on one network,
// how long opening it and listing that network's devices take, and how long writing one /24
// scan takes. Run by hand: store_bench [rounds] [folder]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "store/DeviceStore.h"

namespace {

using namespace talvik::store;
using Clock = std::chrono::steady_clock;

constexpr int kDevices = 10000;
constexpr int kScans = 100;
constexpr int kRowsPerScan = 1000;  // 100 x 1000 = 100,000 sightings, each device seen 10 times
constexpr Seconds kStart = 1'800'000'000;

double Ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

std::string Mac(int n) {
    char text[18];
    std::snprintf(text, sizeof text, "02-00-00-%02x-%02x-%02x", (n >> 16) & 0xff, (n >> 8) & 0xff,
                  n & 0xff);
    return text;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    std::string folder = argc > 2 ? argv[2] : "";
    bool made = false;
    if (folder.empty()) {
        char pattern[] = "/tmp/talvik-store-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        folder = pattern;
        made = true;
    }
    const std::string path = folder + "/devices.sqlite3";
    // A network bigger than a /24, so that one list holds every device.
    const NetworkId network{"10.0.0.0/18", "02-00-00-ff-ff-01"};

    const auto fillStart = Clock::now();
    {
        auto opened = DeviceStore::Create(path);
        if (!opened.store) {
            std::fprintf(stderr, "%s\n", DescribeProblem(opened.status).c_str());
            return 1;
        }
        std::vector<ScanRow> rows(kRowsPerScan);
        for (int scan = 0; scan < kScans; ++scan) {
            for (int i = 0; i < kRowsPerScan; ++i) {
                const int device = (scan * kRowsPerScan + i) % kDevices;
                rows[static_cast<std::size_t>(i)] = {
                    0x0A000000u + static_cast<std::uint32_t>(device), Mac(device), "Maker", "host"};
            }
            if (!opened.store->RecordScan(network, rows, kStart + scan * 3600).status.Ok()) {
                std::fprintf(stderr, "filling failed at scan %d\n", scan);
                return 1;
            }
        }
    }
    const double fill = Ms(fillStart);

    std::vector<double> opens, lists, both, writes;
    std::size_t listed = 0;
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        auto opened = DeviceStore::Open(path);
        const double open = Ms(start);
        if (!opened.store) {
            std::fprintf(stderr, "%s\n", DescribeProblem(opened.status).c_str());
            return 1;
        }
        const auto listStart = Clock::now();
        const auto devices = opened.store->Devices(network);
        lists.push_back(Ms(listStart));
        opens.push_back(open);
        both.push_back(Ms(start));
        listed = devices.devices.size();

        // One /24 scan's results, written as the window writes them after a scan.
        std::vector<ScanRow> rows;
        for (int i = 1; i < 255; ++i) {
            rows.push_back({0x0A000000u + static_cast<std::uint32_t>(i),
                            i % 4 == 0 ? Mac(i) : std::string(), "", ""});
        }
        const auto writeStart = Clock::now();
        if (!opened.store->RecordScan(network, rows, kStart + (kScans + round) * 3600)
                 .status.Ok()) {
            std::fprintf(stderr, "writing a scan failed\n");
            return 1;
        }
        writes.push_back(Ms(writeStart));
    }
    std::error_code ignored;
    const auto bytes = std::filesystem::file_size(path, ignored);

    std::printf("store: %d devices, %d sightings, %.1f MiB, filled in %.0f ms\n", kDevices,
                kScans * kRowsPerScan, static_cast<double>(bytes) / 1048576.0, fill);
    std::printf("open: median %.1f ms\n", Median(opens));
    std::printf("list %zu devices: median %.1f ms\n", listed, Median(lists));
    std::printf("open + list: median %.1f ms, worst %.1f ms over %d rounds (target < 200 ms)\n",
                Median(both), *std::max_element(both.begin(), both.end()), rounds);
    std::printf("write one /24 scan (254 rows): median %.1f ms\n", Median(writes));
    if (made) {
        std::filesystem::remove_all(folder, ignored);
    }
    return Median(both) < 200.0 ? 0 : 2;
}
