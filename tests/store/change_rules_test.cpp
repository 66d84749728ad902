// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "store/DeviceChanges.h"

namespace talvik::store {
namespace {

constexpr std::uint32_t kA = 0xCB00710A;  // 203.0.113.10
constexpr std::uint32_t kB = 0xCB00710B;  // 203.0.113.11
constexpr std::uint32_t kC = 0xCB00710C;  // 203.0.113.12
const std::string kMac1 = "02-7a-00-00-00-01";
const std::string kMac2 = "02-7a-00-00-00-02";
const std::string kMac3 = "02-7a-00-00-00-03";
constexpr Seconds kDay = 86400;
constexpr Seconds kNow = 1'800'000'000;

// A network seen twice: kMac1 at kA on both days, named "打印机"; kMac2 at kB on the first
// day only, then at kC.
NetworkHistory Known() {
    NetworkHistory history;
    history.devices = {{kMac1, kA, "Maker One", "printer", "打印机", kNow - 2 * kDay, kNow - kDay},
                       {kMac2, kC, "Maker Two", "", "", kNow - 2 * kDay, kNow - kDay}};
    history.lastAnswers = {
        {kA, kMac1, kNow - kDay}, {kB, kMac2, kNow - 2 * kDay}, {kC, kMac2, kNow - kDay}};
    return history;
}

TEST(ChangeRules, EachRowAgainstTheHistory) {
    struct Case {
        const char* what;
        ScanRow row;
        bool isNew;
        std::optional<std::string> previous;  // its MAC
        std::optional<std::string> lastOnline;
        Seconds firstSeen;
        std::string name;
    };
    const Case cases[] = {
        {"same device again", {kA, kMac1, "", ""}, false, {}, {}, kNow - 2 * kDay, "打印机"},
        {"written another way",
         {kA, "02:7A:00:00:00:01", "", ""},
         false,
         {},
         {},
         kNow - 2 * kDay,
         "打印机"},
        {"known device at an address where another answered",
         {kA, kMac2, "", ""},
         false,
         kMac1,
         {},
         kNow - 2 * kDay,
         ""},
        {"new device at a new address", {0xCB007120, kMac3, "", ""}, true, {}, {}, kNow, ""},
        {"new device where another answered", {kB, kMac3, "", ""}, true, kMac2, {}, kNow, ""},
        {"silent where kMac1 answered", {kA, "", "", ""}, false, {}, kMac1, 0, ""},
        {"silent: the last answer there counts", {kB, "", "", ""}, false, {}, kMac2, 0, ""},
        {"silent, never answered", {0xCB007121, "", "", ""}, false, {}, {}, 0, ""},
        {"no MAC is silent", {kA, "garbage", "", ""}, false, {}, kMac1, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto changes = CompareScan(Known(), std::span(&c.row, 1), kNow);
        ASSERT_EQ(changes.size(), 1u);
        const auto& change = changes[0];
        EXPECT_EQ(change.address, c.row.address);
        EXPECT_EQ(change.isNew, c.isNew);
        EXPECT_EQ(change.previous ? std::optional(change.previous->mac) : std::nullopt, c.previous);
        EXPECT_EQ(change.lastOnline ? std::optional(change.lastOnline->mac) : std::nullopt,
                  c.lastOnline);
        EXPECT_EQ(change.firstSeen, c.firstSeen);
        EXPECT_EQ(change.name, c.name);
    }
}

TEST(ChangeRules, TellsTheDetailsTheTooltipsShow) {
    const ScanRow rows[] = {{kA, kMac2, "", ""}, {kB, kMac1, "", ""}, {kC, "", "", ""}};
    auto history = Known();
    const auto changes = CompareScan(history, rows, kNow);
    ASSERT_EQ(changes.size(), 3u);
    ASSERT_TRUE(changes[0].previous);
    EXPECT_EQ(changes[0].previous->maker, "Maker One");
    EXPECT_EQ(changes[0].previous->when, kNow - kDay);
    // kMac1 moved to kB, where kMac2 answered two days ago.
    ASSERT_TRUE(changes[1].previous);
    EXPECT_EQ(changes[1].previous->mac, kMac2);
    EXPECT_EQ(changes[1].previous->when, kNow - 2 * kDay);
    EXPECT_EQ(changes[1].name, "打印机");
    ASSERT_TRUE(changes[2].lastOnline);
    EXPECT_EQ(changes[2].lastOnline->when, kNow - kDay);

    // The user's name follows the MAC to wherever it answers.
    history.devices[1].name = "电视";
    const ScanRow renamed[] = {{kA, kMac2, "", ""}, {kB, "", "", ""}};
    const auto after = CompareScan(history, renamed, kNow);
    EXPECT_EQ(after[0].name, "电视");
    ASSERT_TRUE(after[1].lastOnline);
    EXPECT_EQ(after[1].lastOnline->name, "电视");
}

TEST(ChangeRules, CountsEachNewDeviceOnce) {
    const ScanRow rows[] = {{kA, kMac1, "", ""},
                            {0xCB007130, kMac3, "", ""},
                            {0xCB007131, kMac3, "", ""},
                            {0xCB007132, "02-7a-00-00-00-04", "", ""}};
    EXPECT_EQ(CountNew(CompareScan(Known(), rows, kNow)), 2);
    EXPECT_EQ(CountNew(CompareScan({}, rows, kNow)), 3);
}

TEST(ChangeRules, NetworkIdentity) {
    using Mac = std::array<std::uint8_t, 6>;
    // Two homes on the same subnet stay apart by their gateways.
    const auto home = MakeNetworkId(0xC0A80117, 24, Mac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
    const auto other = MakeNetworkId(0xC0A80101, 24, Mac{0x00, 0x11, 0x22, 0x33, 0x44, 0x66});
    EXPECT_EQ(home.subnet, "192.168.1.0/24");
    EXPECT_EQ(home.gatewayMac, "00-11-22-33-44-55");
    EXPECT_EQ(other.subnet, home.subnet);
    EXPECT_NE(home, other);
    EXPECT_EQ(MakeNetworkId(0xCB007101, 24, std::nullopt), (NetworkId{"203.0.113.0/24", ""}));
    EXPECT_EQ(MakeNetworkId(0x0A0102FF, 20, std::nullopt).subnet, "10.1.0.0/20");
    EXPECT_EQ(MakeNetworkId(0x0A0102FF, 0, std::nullopt).subnet, "0.0.0.0/0");

    // A gateway the kernel held no MAC for is known by its answer to the scan.
    const ScanRow rows[] = {{0xC0A80101, "", "", ""}, {0xC0A801FE, "00:11:22:33:44:77", "", ""}};
    EXPECT_EQ(MakeNetworkId(0xC0A80117, 24, 0xC0A801FE, std::nullopt, rows).gatewayMac,
              "00-11-22-33-44-77");
    EXPECT_EQ(MakeNetworkId(0xC0A80117, 24, 0xC0A80101, std::nullopt, rows).gatewayMac, "");
    EXPECT_EQ(MakeNetworkId(0xC0A80117, 24, 0xC0A801FE, Mac{0, 0x11, 0x22, 0x33, 0x44, 0x55}, rows)
                  .gatewayMac,
              "00-11-22-33-44-55");

    EXPECT_EQ(NormalMac("AA:bb:CC:dd:EE:0f"), "aa-bb-cc-dd-ee-0f");
    for (const char* bad : {"", "aa-bb-cc-dd-ee", "aa-bb-cc-dd-ee-fg", "aa-bb-cc-dd-ee-ff-",
                            "aa.bb.cc.dd.ee.ff", "aabb-cc-dd-ee-ff0"}) {
        EXPECT_FALSE(NormalMac(bad)) << bad;
    }
}

}  // namespace
}  // namespace talvik::store
