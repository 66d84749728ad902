// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "store/DeviceStore.h"

namespace talvik::store {
namespace {

namespace fs = std::filesystem;

constexpr Seconds kDay = 86400;
constexpr Seconds kNow = 1'800'000'000;
const NetworkId kHome{"203.0.113.0/24", "02-7a-00-00-00-01"};
const NetworkId kNeighbours{"203.0.113.0/24", "02-7a-00-00-00-99"};

std::string Mac(int n) {
    char text[18];
    std::snprintf(text, sizeof text, "02-7a-00-00-%02x-%02x", (n >> 8) & 0xff, n & 0xff);
    return text;
}
constexpr std::uint32_t Ip(int n) {
    return 0xCB007100u + static_cast<std::uint32_t>(n);
}

// A folder of the test's own, removed with everything in it.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/talvik-store-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/data/talvik/devices.sqlite3";
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::unique_ptr<DeviceStore> Made() {
        auto opened = DeviceStore::Create(path_);
        EXPECT_TRUE(opened.status.Ok()) << DescribeProblem(opened.status);
        return std::move(opened.store);
    }

    std::string dir_;
    std::string path_;
};

TEST_F(StoreTest, ExistenceIsTheSwitch) {
    EXPECT_FALSE(DeviceStore::Exists(path_));
    const auto off = DeviceStore::Open(path_);
    EXPECT_FALSE(off.store);
    EXPECT_TRUE(off.status.Ok());
    EXPECT_FALSE(fs::exists(dir_ + "/data")) << "opening must not make anything";

    auto store = Made();
    ASSERT_TRUE(store);
    EXPECT_TRUE(DeviceStore::Exists(path_));
    EXPECT_EQ(fs::status(path_).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(dir_ + "/data/talvik").permissions() & fs::perms::all,
              fs::perms::owner_all);
    const ScanRow rows[] = {{Ip(10), Mac(10), "", ""}};
    ASSERT_TRUE(store->RecordScan(kHome, rows, kNow).status.Ok());
    EXPECT_EQ(store->CountDevices(), 1);
    store.reset();

    EXPECT_TRUE(DeviceStore::Remove(path_).Ok());
    EXPECT_FALSE(DeviceStore::Exists(path_));
    for (const char* companion : {"-wal", "-shm"}) {
        EXPECT_FALSE(fs::exists(path_ + companion)) << companion;
    }
    EXPECT_TRUE(DeviceStore::Remove(path_).Ok());
}

TEST_F(StoreTest, RemembersScansPerNetwork) {
    auto store = Made();
    ASSERT_TRUE(store);
    const ScanRow first[] = {
        {Ip(10), Mac(10), "Maker", "printer.lan"}, {Ip(11), Mac(11), "", ""}, {Ip(12), "", "", ""}};
    auto wrote = store->RecordScan(kHome, first, kNow - kDay);
    ASSERT_TRUE(wrote.status.Ok()) << DescribeProblem(wrote.status);
    EXPECT_EQ(wrote.newDevices, 2);
    ASSERT_TRUE(store->Rename(kHome, "02:7A:00:00:00:0A", "打印机").Ok());
    EXPECT_EQ(store->Rename(kHome, Mac(99), "x").problem, StoreProblem::NoSuchDevice);

    // .10 silent, .11 now answers with .10's MAC's neighbour, a new one at .12.
    const ScanRow second[] = {
        {Ip(10), "", "", ""}, {Ip(11), Mac(20), "", ""}, {Ip(12), Mac(11), "", "tv.lan"}};
    wrote = store->RecordScan(kHome, second, kNow);
    ASSERT_TRUE(wrote.status.Ok());
    ASSERT_EQ(wrote.changes.size(), 3u);
    ASSERT_TRUE(wrote.changes[0].lastOnline);
    EXPECT_EQ(wrote.changes[0].lastOnline->name, "打印机");
    EXPECT_EQ(wrote.changes[0].lastOnline->hostName, "printer.lan");
    EXPECT_EQ(wrote.changes[0].lastOnline->when, kNow - kDay);
    EXPECT_TRUE(wrote.changes[1].isNew);
    ASSERT_TRUE(wrote.changes[1].previous);
    EXPECT_EQ(wrote.changes[1].previous->mac, Mac(11));
    EXPECT_FALSE(wrote.changes[2].isNew);
    EXPECT_EQ(wrote.changes[2].firstSeen, kNow - kDay);
    EXPECT_EQ(wrote.newDevices, 1);

    const auto listed = store->Devices(kHome);
    ASSERT_TRUE(listed.status.Ok());
    EXPECT_EQ(listed.lastScan, kNow);
    ASSERT_EQ(listed.devices.size(), 3u);
    const Device& printer = listed.devices[0];
    EXPECT_EQ(printer.mac, Mac(10));
    EXPECT_EQ(printer.address, Ip(10));
    EXPECT_EQ(printer.name, "打印机");
    EXPECT_EQ(printer.maker, "Maker");
    EXPECT_EQ(printer.hostName, "printer.lan");
    EXPECT_EQ(printer.firstSeen, kNow - kDay);
    EXPECT_EQ(printer.lastSeen, kNow - kDay);
    EXPECT_FALSE(printer.online);
    EXPECT_EQ(listed.devices[1].mac, Mac(20));
    EXPECT_TRUE(listed.devices[1].online);
    EXPECT_EQ(listed.devices[2].mac, Mac(11));
    EXPECT_EQ(listed.devices[2].address, Ip(12));
    EXPECT_EQ(listed.devices[2].hostName, "tv.lan");

    // The same subnet behind another router is another network: everything on it is new.
    wrote = store->RecordScan(kNeighbours, first, kNow);
    EXPECT_EQ(wrote.newDevices, 2);
    EXPECT_FALSE(wrote.changes[2].lastOnline);
    EXPECT_EQ(store->Devices(kNeighbours).devices.size(), 2u);

    ASSERT_TRUE(store->ForgetDevice(kHome, Mac(10)).Ok());
    EXPECT_EQ(store->ForgetDevice(kHome, Mac(10)).problem, StoreProblem::NoSuchDevice);
    const ScanRow silent[] = {{Ip(10), "", "", ""}};
    EXPECT_FALSE(store->Compare(kHome, silent, kNow).changes[0].lastOnline)
        << "a forgotten device leaves no trace at its address";
    ASSERT_TRUE(store->ForgetNetwork(kHome).Ok());
    EXPECT_TRUE(store->Devices(kHome).devices.empty());
    EXPECT_FALSE(store->Devices(kHome).lastScan);
    EXPECT_EQ(store->CountDevices(), 2);
}

}  // namespace
}  // namespace talvik::store
