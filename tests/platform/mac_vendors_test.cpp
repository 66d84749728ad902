#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/MacVendors.h"

namespace talvik {
namespace {

MacBytes Mac(std::string_view text) {
    const auto mac = ParseMacText(text);
    EXPECT_TRUE(mac) << text;
    return mac.value_or(MacBytes{});
}

TEST(MacVendors, MacTextIsSixHexPairsWithDashesOrColons) {
    EXPECT_EQ(Mac("00-0c-29-3A-4b-5c"), (MacBytes{0x00, 0x0c, 0x29, 0x3a, 0x4b, 0x5c}));
    EXPECT_EQ(Mac("f4:bd:9e:00:00:01"), (MacBytes{0xf4, 0xbd, 0x9e, 0, 0, 1}));
    for (const char* bad : {"", "00-0c-29-3a-4b", "00-0c-29-3a-4b-5c-", "00-0c-29-3a-4b-5g",
                            "00.0c.29.3a.4b.5c", "000c293a4b5c"}) {
        EXPECT_FALSE(ParseMacText(bad)) << bad;
    }
}

TEST(MacVendors, ParsesTheRegistryCsvWithQuotesBreaksAndJunk) {
    const std::string csv =
        "Registry,Assignment,Organization Name,Organization Address\r\n"
        "MA-L,F4BD9E,\"Cisco Systems, Inc\",80 West Tasman Drive\r\n"
        "MA-L,001EFC,\"JSC \"\"MASSA-K\"\"\",\"15, A, Pirogovskaya\r\nnab. \"\"x\"\"\"\r\n"
        "MA-M,0C5CB56,\tS2C  limited ,Shanghai\t CN\r\n"
        "MA-S,70b3d5f2f,TELEPLATFORMS,\"Polbina st.,\n3/1 Moscow\"\r\n"
        "MA-L,00D0EG,Not hex,\r\n"
        "MA-L,00D0E,Too short,\r\n"
        "MA-L,00D0EF,,no name\r\n"
        "\r\n"
        "IAB,0050C27D5,DEUTA-WERKE GmbH,Paffrather Strasse";  // no final line break
    const auto rows = ParseMacRegistry(csv);
    ASSERT_EQ(rows.size(), 5u);
    const std::vector<std::tuple<std::uint64_t, int, std::string>> expected = {
        {0xF4BD9E, 24, "Cisco Systems, Inc"},  {0x001EFC, 24, "JSC \"MASSA-K\""},
        {0x0C5CB56, 28, "S2C limited"},        {0x70B3D5F2F, 36, "TELEPLATFORMS"},
        {0x0050C27D5, 36, "DEUTA-WERKE GmbH"},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(
            std::tie(rows[i].prefix, rows[i].bits, rows[i].organization),
            std::tie(std::get<0>(expected[i]), std::get<1>(expected[i]), std::get<2>(expected[i])));
    }
}

TEST(MacVendors, TheNarrowestBlockNamesTheMaker) {
    const MacRegistry registry({
        {0x70B3D5, 24, "IEEE Registration Authority"},
        {0x70B3D5F, 28, "Wide Block Co"},
        {0x70B3D5F2F, 36, "Small Block Co"},
        {0x00D0EF, 24, "IGT"},
        {0x00D0EF, 24, "Second Entry For The Same Block"},
        {0x02D0EF, 24, "Looks Like A Block"},
    });
    EXPECT_EQ(registry.size(), 5u);
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"70-b3-d5-f2-f0-01", "Small Block Co"},
        {"70-b3-d5-f3-00-01", "Wide Block Co"},
        {"70-b3-d5-e2-f0-01", "IEEE Registration Authority"},
        {"00-d0-ef-ff-ff-ff", "IGT"},
        {"00-d0-ee-00-00-00", ""},
        {"02-d0-ef-00-00-01", ""},  // locally administered
        {"ff-ff-ff-ff-ff-ff", ""},
    };
    for (const auto& [mac, maker] : cases) {
        EXPECT_EQ(registry.Maker(Mac(mac)), maker) << mac;
    }
    EXPECT_EQ(MacRegistry().Maker(Mac("00-d0-ef-00-00-00")), "");
}

class RegistryFiles : public testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("talvik-ieee-" + std::to_string(::getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    void Write(const char* file, const char* text) { std::ofstream(dir_ / file) << text; }

    std::filesystem::path dir_;
};

TEST_F(RegistryFiles, LoadsEveryFileOnceForAllThreads) {
    Write("oui.csv", "Registry,Assignment,Organization Name\nMA-L,70B3D5,Parent\n");
    Write("mam.csv", "MA-M,70B3D5F,Medium\n");
    Write("oui36.csv", "MA-S,70B3D5F2F,Small\n");
    Write("iab.csv", "IAB,0050C27D5,Old Small\n");
    MacVendors vendors(dir_.string());
    EXPECT_EQ(vendors.Loaded(), nullptr);
    std::vector<const MacRegistry*> seen(4);
    {
        std::vector<std::jthread> askers;
        for (auto& slot : seen) {
            askers.emplace_back([&vendors, &slot] { slot = &vendors.Load(); });
        }
    }
    std::filesystem::remove_all(dir_);  // a second read would now find nothing
    const MacRegistry* registry = vendors.Loaded();
    ASSERT_NE(registry, nullptr);
    EXPECT_EQ(std::vector<const MacRegistry*>(4, registry), seen);
    EXPECT_EQ(vendors.Load().size(), 4u);
    EXPECT_EQ(registry->Maker(Mac("70-b3-d5-f2-f0-00")), "Small");
    EXPECT_EQ(registry->Maker(Mac("70-b3-d5-f1-00-00")), "Medium");
    EXPECT_EQ(registry->Maker(Mac("00-50-c2-7d-50-00")), "Old Small");
}

TEST_F(RegistryFiles, MissingFilesGiveAnEmptyRegistry) {
    Write("mam.csv", "MA-M,70B3D5F,Medium\n");
    MacVendors some(dir_.string());
    EXPECT_EQ(some.Load().Maker(Mac("70-b3-d5-f1-00-00")), "Medium");
    MacVendors none((dir_ / "absent").string());
    EXPECT_TRUE(none.Load().empty());
    ASSERT_NE(none.Loaded(), nullptr);
}

}  // namespace
}  // namespace talvik
