// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "names/MacVendors.h"

namespace talvik::test {
namespace {

std::string MakerOf(const MacRegistry& registry, const char* mac) {
    const auto bytes = ParseMacText(mac);
    return bytes ? std::string(registry.Maker(*bytes)) : "(not a MAC)";
}

TEST(MacVendors, ParsesTheRegistryCsvWithQuotesBreaksAndJunk) {
    std::string rows;
    for (const auto& row : ParseMacRegistry(
             "Registry,Assignment,Organization Name,Organization Address\r\n"
             "MA-L,F4BD9E,\"Cisco Systems, Inc\",80 West Tasman Drive\r\n"
             "MA-L,001EFC,\"JSC \"\"MASSA-K\"\"\",\"15, A,\r\nnab. \"\"x\"\"\"\r\n"
             "MA-M,0C5CB56,\tS2C  limited ,Shanghai\t CN\r\n"
             "MA-L,00D0EG,Not hex,\r\nMA-L,00D0E,Too short,\r\nMA-L,00D0EF,,no name\r\n\r\n"
             "MA-S,70b3d5f2f,TELEPLATFORMS,\"Polbina st.,\n3/1\"")) {  // no final line break
        char head[32];
        std::snprintf(head, sizeof head, "%d %llX ", row.bits,
                      static_cast<unsigned long long>(row.prefix));
        rows += head + row.organization + '|';
    }
    EXPECT_EQ(rows,
              "24 F4BD9E Cisco Systems, Inc|24 1EFC JSC \"MASSA-K\"|28 C5CB56 S2C limited|"
              "36 70B3D5F2F TELEPLATFORMS|");
}

TEST(MacVendors, TheNarrowestBlockNamesTheMaker) {
    const MacRegistry registry({{0x70B3D5, 24, "Registration Authority"},
                                {0x70B3D5F, 28, "Medium"},
                                {0x70B3D5F2F, 36, "Small"},
                                {0x00D0EF, 24, "IGT"},
                                {0x00D0EF, 24, "Second entry for the block"},
                                {0x02D0EF, 24, "Looks like a block"}});
    EXPECT_EQ(registry.Size(), 5u);
    for (const auto& [mac, maker] : std::vector<std::pair<const char*, const char*>>{
             {"70-b3-d5-f2-f0-01", "Small"},
             {"70-b3-d5-f3-00-01", "Medium"},
             {"70-b3-d5-e2-f0-01", "Registration Authority"},
             {"00-d0-ef-ff-ff-ff", "IGT"},
             {"00-d0-ee-00-00-00", ""},
             {"00:D0:EF:ff:ff:ff", "IGT"},
             {"02-d0-ef-00-00-01", ""},  // locally administered
             {"00-d0-ef-ff-ff", "(not a MAC)"},
             {"00-d0-ef-ff-ff-fg", "(not a MAC)"},
             {"00.d0.ef.ff.ff.ff", "(not a MAC)"},
             {"00-d0-ef-ff-ff-ff-", "(not a MAC)"}}) {
        EXPECT_EQ(MakerOf(registry, mac), maker) << mac;
    }
}

TEST(MacVendors, InstalledFilesAreReadOnceForAllThreadsAndMayBeMissing) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("talvik-ieee-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "oui.csv") << "Registry,Assignment,Organization Name\nMA-L,70B3D5,Parent\n";
    std::ofstream(dir / "oui36.csv") << "MA-S,70B3D5F2F,Small\n";
    std::ofstream(dir / "iab.csv") << "IAB,0050C27D5,Old small\n";  // and no mam.csv
    MacVendors vendors(dir.string());
    EXPECT_EQ(vendors.Loaded(), nullptr);
    std::vector<const MacRegistry*> seen(4);
    {
        std::vector<std::jthread> askers;
        for (auto& slot : seen) {
            askers.emplace_back([&vendors, &slot] { slot = &vendors.Load(); });
        }
    }
    std::filesystem::remove_all(dir);  // a second read would find nothing
    ASSERT_NE(vendors.Loaded(), nullptr);
    EXPECT_EQ(seen, std::vector<const MacRegistry*>(4, vendors.Loaded()));
    EXPECT_EQ(MakerOf(vendors.Load(), "70-b3-d5-f2-f0-00"), "Small");
    EXPECT_EQ(MakerOf(vendors.Load(), "70-b3-d5-f1-00-00"), "Parent");
    EXPECT_EQ(MakerOf(vendors.Load(), "00-50-c2-7d-50-00"), "Old small");
    MacVendors none(dir.string());
    EXPECT_TRUE(none.Load().Empty());
}

}  // namespace
}  // namespace talvik::test
