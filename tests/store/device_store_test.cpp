// SPDX-License-Identifier: GPL-3.0-or-later
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

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

TEST(StoreProblems, EachHasASentenceForTheUser) {
    for (int problem = 1; problem <= static_cast<int>(StoreProblem::Failed); ++problem) {
        StoreStatus status;
        status.problem = static_cast<StoreProblem>(problem);
        status.path = "/home/u/.local/share/talvik/devices.sqlite3";
        status.detail = "disk I/O error";
        const std::string text = DescribeProblem(status);
        EXPECT_TRUE(text.ends_with("。")) << problem << ": " << text;
        EXPECT_EQ(text.find(status.detail), std::string::npos) << text;
    }
    EXPECT_EQ(DescribeProblem({}), "");
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
    EXPECT_TRUE(printer.asked) << "asked and silent";

    // A scan of .12 alone says nothing of the devices last seen elsewhere.
    const ScanRow one[] = {{Ip(12), Mac(11), "", ""}};
    ASSERT_TRUE(store->RecordScan(kHome, one, kNow + 1).status.Ok());
    const auto after = store->Devices(kHome);
    ASSERT_EQ(after.devices.size(), 3u);
    EXPECT_FALSE(after.devices[0].online || after.devices[0].asked);
    EXPECT_FALSE(after.devices[1].online || after.devices[1].asked);
    EXPECT_TRUE(after.devices[2].online && after.devices[2].asked);

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

// Starts `body` in a child process (as `uid` when given); Wait gives what it returned, or -1
// when it did not end by itself. Children are started from the test's one thread only, so none
// inherits a lock another thread held.
pid_t Spawn(const std::function<int()>& body, std::optional<uid_t> uid = std::nullopt) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (uid && (::setgid(*uid) != 0 || ::setuid(*uid) != 0)) {
            ::_exit(125);
        }
        ::_exit(body());
    }
    return child;
}

int Wait(pid_t child) {
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

int InChild(const std::function<int()>& body, std::optional<uid_t> uid = std::nullopt) {
    return Wait(Spawn(body, uid));
}

int Code(StoreProblem problem) {
    return static_cast<int>(problem);
}

// A value read straight from the file with SQLite, past the store.
long long Query(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    long long value = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_exec(
            db, sql.c_str(),
            [](void* out, int, char** columns, char**) {
                *static_cast<long long*>(out) = columns[0] ? std::atoll(columns[0]) : 0;
                return 0;
            },
            &value, nullptr);
    }
    sqlite3_close(db);
    return value;
}

std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

constexpr uid_t kNobody = 65534;  // also its group's id

TEST_F(StoreTest, KeepsSightingsWithinBothBounds) {
    auto store = Made();
    ASSERT_TRUE(store);
    const ScanRow rows[] = {{Ip(10), Mac(10), "", ""}, {Ip(11), Mac(11), "", ""}};
    // 100 days before the last scan: older than the 90 kept.
    ASSERT_TRUE(store->RecordScan(kHome, rows, kNow - 100 * kDay).status.Ok());
    ASSERT_TRUE(store->RecordScan(kNeighbours, rows, kNow - 100 * kDay).status.Ok());
    ASSERT_TRUE(store->RecordScan(kHome, rows, kNow - 80 * kDay).status.Ok());
    const std::string sightings =
        "SELECT count(*) FROM sightings JOIN scans ON scans.id = scan_id JOIN networks ON "
        "networks.id = network_id WHERE gateway_mac = '";
    EXPECT_EQ(Query(path_, sightings + kHome.gatewayMac + "'"), 4);
    ASSERT_TRUE(store->RecordScan(kHome, rows, kNow).status.Ok());
    EXPECT_EQ(Query(path_, sightings + kHome.gatewayMac + "'"), 4);
    EXPECT_EQ(Query(path_,
                    "SELECT min(time) FROM scans JOIN networks ON networks.id = "
                    "network_id WHERE gateway_mac = '" +
                        kHome.gatewayMac + "'"),
              kNow - 80 * kDay);
    // Another network's old scans are its own business until it is scanned again.
    EXPECT_EQ(Query(path_, sightings + kNeighbours.gatewayMac + "'"), 2);

    // Past 1000 scans the oldest go, however recent.
    for (int scan = 1; scan <= DeviceStore::kKeepScans; ++scan) {
        ASSERT_TRUE(store->RecordScan(kHome, rows, kNow + scan).status.Ok()) << scan;
    }
    EXPECT_EQ(Query(path_, sightings + kHome.gatewayMac + "'"), 2 * DeviceStore::kKeepScans);
    EXPECT_EQ(Query(path_,
                    "SELECT min(time) FROM scans JOIN networks ON networks.id = "
                    "network_id WHERE gateway_mac = '" +
                        kHome.gatewayMac + "'"),
              kNow + 1);
    // The devices themselves stay, with when they were first seen.
    const auto listed = store->Devices(kHome);
    ASSERT_EQ(listed.devices.size(), 2u);
    EXPECT_EQ(listed.devices[0].firstSeen, kNow - 100 * kDay);
}

TEST_F(StoreTest, MigratesAnOlderFileForward) {
    fs::create_directories(fs::path(path_).parent_path());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    // The first schema as it was written: no names, no last answers.
    ASSERT_EQ(sqlite3_exec(db, R"sql(
        CREATE TABLE networks(id INTEGER PRIMARY KEY, subnet TEXT NOT NULL,
          gateway_mac TEXT NOT NULL DEFAULT '', UNIQUE(subnet, gateway_mac));
        CREATE TABLE devices(network_id INTEGER NOT NULL REFERENCES networks(id) ON DELETE CASCADE,
          mac TEXT NOT NULL, first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL,
          last_address INTEGER NOT NULL, maker TEXT NOT NULL DEFAULT '',
          PRIMARY KEY(network_id, mac)) WITHOUT ROWID;
        CREATE TABLE scans(id INTEGER PRIMARY KEY,
          network_id INTEGER NOT NULL REFERENCES networks(id) ON DELETE CASCADE,
          time INTEGER NOT NULL);
        CREATE INDEX scans_by_network ON scans(network_id, time);
        CREATE TABLE sightings(scan_id INTEGER NOT NULL REFERENCES scans(id) ON DELETE CASCADE,
          address INTEGER NOT NULL, mac TEXT NOT NULL,
          PRIMARY KEY(scan_id, address, mac)) WITHOUT ROWID;
        INSERT INTO networks VALUES(1, '203.0.113.0/24', '02-7a-00-00-00-01');
        INSERT INTO devices VALUES(1, '02-7a-00-00-00-0a', 1799000000, 1799900000, 3405803786, 'Maker');
        INSERT INTO scans VALUES(1, 1, 1799000000), (2, 1, 1799900000);
        INSERT INTO sightings VALUES(1, 3405803786, '02-7a-00-00-00-0a'),
                                    (2, 3405803786, '02-7a-00-00-00-0a');
        PRAGMA user_version = 1;)sql",
                           nullptr, nullptr, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);

    auto opened = DeviceStore::Open(path_);
    ASSERT_TRUE(opened.store) << DescribeProblem(opened.status);
    EXPECT_EQ(Query(path_, "PRAGMA user_version"), DeviceStore::kSchemaVersion);
    auto& store = *opened.store;
    const auto listed = store.Devices(kHome);
    ASSERT_EQ(listed.devices.size(), 1u);
    EXPECT_EQ(listed.devices[0].maker, "Maker");
    EXPECT_TRUE(listed.devices[0].online);
    EXPECT_TRUE(store.Rename(kHome, Mac(10), "路由器").Ok());
    // What the older file knew of the address carries over.
    const ScanRow silent[] = {{Ip(10), "", "", ""}};
    const auto wrote = store.RecordScan(kHome, silent, kNow);
    ASSERT_TRUE(wrote.status.Ok());
    ASSERT_TRUE(wrote.changes[0].lastOnline);
    EXPECT_EQ(wrote.changes[0].lastOnline->when, 1799900000);
    EXPECT_EQ(wrote.changes[0].lastOnline->name, "路由器");
}

TEST_F(StoreTest, LeavesANewerFileAlone) {
    fs::create_directories(fs::path(path_).parent_path());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE future(x); PRAGMA user_version = 99;", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    const std::string before = Bytes(path_);

    const auto opened = DeviceStore::Open(path_);
    EXPECT_FALSE(opened.store);
    EXPECT_EQ(opened.status.problem, StoreProblem::NewerSchema);
    EXPECT_TRUE(Bytes(path_) == before) << "the file was changed";
    EXPECT_EQ(Query(path_, "PRAGMA user_version"), 99);
}

TEST_F(StoreTest, KeepsACorruptFileAsideAndStartsAfresh) {
    fs::create_directories(fs::path(path_).parent_path());
    const std::string garbage(8192, 'x');
    std::ofstream(path_, std::ios::binary) << garbage;

    auto opened = DeviceStore::Open(path_);
    ASSERT_TRUE(opened.store) << DescribeProblem(opened.status);
    EXPECT_EQ(opened.status.problem, StoreProblem::Corrupt);
    ASSERT_FALSE(opened.status.keptAside.empty());
    EXPECT_TRUE(Bytes(opened.status.keptAside) == garbage);
    EXPECT_NE(DescribeProblem(opened.status).find(opened.status.keptAside), std::string::npos);
    const ScanRow rows[] = {{Ip(10), Mac(10), "", ""}};
    EXPECT_TRUE(opened.store->RecordScan(kHome, rows, kNow).status.Ok());
    opened.store.reset();

    // A second damaged file is kept beside the first, not over it.
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << garbage;
    auto again = DeviceStore::Open(path_);
    EXPECT_EQ(again.status.problem, StoreProblem::Corrupt);
    EXPECT_NE(again.status.keptAside, opened.status.keptAside);
    EXPECT_TRUE(Bytes(opened.status.keptAside) == garbage);

    // Damage past the first page shows only once the tables are read: then the scan goes to
    // a new store, and the damaged one is kept.
    opened = DeviceStore::Open(path_);
    ASSERT_TRUE(opened.store);
    std::vector<ScanRow> many;
    for (int i = 0; i < 200; ++i) {
        many.push_back({Ip(i), Mac(i), std::string(100, 'm'), ""});
    }
    ASSERT_TRUE(opened.store->RecordScan(kHome, many, kNow).status.Ok());
    // The last connection folds the journal into the file.
    opened.store.reset();
    again.store.reset();
    const auto size = fs::file_size(path_);
    ASSERT_GT(size, 4 * 4096u);
    {
        std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(4096);
        file << std::string(size - 4096, '\xff');
    }
    const std::string damaged = Bytes(path_);
    opened = DeviceStore::Open(path_);
    ASSERT_TRUE(opened.store) << DescribeProblem(opened.status);
    const auto wrote = opened.store->RecordScan(kHome, rows, kNow + 1);
    EXPECT_EQ(wrote.status.problem, StoreProblem::Corrupt);
    EXPECT_EQ(wrote.newDevices, 1) << "written into the new store";
    EXPECT_TRUE(Bytes(wrote.status.keptAside) == damaged);
    EXPECT_EQ(opened.store->Devices(kHome).devices.size(), 1u);

    // Something that is no file at all is left alone, and never waited on.
    const std::string pipe = dir_ + "/pipe.sqlite3";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_EQ(DeviceStore::Open(pipe).status.problem, StoreProblem::Failed);
    EXPECT_TRUE(fs::is_fifo(pipe));
}

TEST_F(StoreTest, TwoProgramsWriteAtOnce) {
    ASSERT_TRUE(Made());
    constexpr int kScans = 60;
    const auto writer = [&](int who) {
        return Spawn([&, who] {
            auto opened = DeviceStore::Open(path_);
            if (!opened.store) {
                return 100 + Code(opened.status.problem);
            }
            for (int scan = 0; scan < kScans; ++scan) {
                // A device of each program's own, and one both see.
                const ScanRow rows[] = {{Ip(10 + who), Mac(10 + who), "", ""},
                                        {Ip(20), Mac(20), "", ""}};
                const auto wrote = opened.store->RecordScan(kHome, rows, kNow + scan);
                if (!wrote.status.Ok()) {
                    return 100 + Code(wrote.status.problem);
                }
            }
            return 0;
        });
    };
    const pid_t first = writer(1);
    const pid_t second = writer(2);
    EXPECT_EQ(Wait(first), 0);
    EXPECT_EQ(Wait(second), 0);
    EXPECT_EQ(Query(path_, "SELECT count(*) FROM scans"), 2 * kScans);
    EXPECT_EQ(Query(path_, "SELECT count(*) FROM sightings"), 4 * kScans);
    EXPECT_EQ(Query(path_, "SELECT count(*) FROM devices"), 3);
    EXPECT_EQ(Query(path_, "PRAGMA integrity_check"), 0) << "integrity_check says ok, read as 0";
}

TEST_F(StoreTest, OneStoreServesSeveralThreads) {
    auto store = Made();
    ASSERT_TRUE(store);
    std::atomic<int> failures{0};
    {
        std::vector<std::jthread> threads;
        for (int who = 0; who < 2; ++who) {
            threads.emplace_back([&, who] {
                for (int scan = 0; scan < 30; ++scan) {
                    const ScanRow rows[] = {{Ip(10 + who), Mac(10 + who), "", ""}};
                    failures += !store->RecordScan(kHome, rows, kNow + scan).status.Ok();
                }
            });
        }
        threads.emplace_back([&] {
            for (int i = 0; i < 30; ++i) {
                failures += !store->Devices(kHome).status.Ok();
                store->Rename(kHome, Mac(10), "名" + std::to_string(i));  // may not exist yet
            }
        });
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(store->Devices(kHome).devices.size(), 2u);
    EXPECT_EQ(Query(path_, "SELECT count(*) FROM scans"), 60);
}

// Another program's write, held for long, delays no read, and a stop ends any wait at once.
TEST_F(StoreTest, ReadsNeverWaitForAWriterAndAStopEndsAnyWait) {
    ASSERT_TRUE(Made());
    const ScanRow rows[] = {{Ip(10), Mac(10), "", ""}};
    ASSERT_TRUE(DeviceStore::Open(path_).store->RecordScan(kHome, rows, kNow).status.Ok());
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto opened = DeviceStore::Open(path_);
    ASSERT_TRUE(opened.store) << DescribeProblem(opened.status);
    EXPECT_EQ(opened.store->Devices(kHome).devices.size(), 1u);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));

    opened.store->SetBusyTimeout(200);
    EXPECT_EQ(opened.store->RecordScan(kHome, rows, kNow + 1).status.problem, StoreProblem::Busy);
    opened.store->SetBusyTimeout(DeviceStore::kBusyTimeoutMs);
    const auto asked = Clock::now();
    std::jthread stop([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        opened.store->Interrupt();
    });
    EXPECT_FALSE(opened.store->RecordScan(kHome, rows, kNow + 1).status.Ok());
    EXPECT_LT(Clock::now() - asked, std::chrono::seconds(1));
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
}

// Root may write anywhere, so these run as nobody where the files are nobody's own.
TEST_F(StoreTest, ReadOnlyPlacesAreReported) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as nobody";
    }
    const std::string folder = dir_ + "/data/talvik";
    ASSERT_TRUE(fs::create_directories(folder));
    ASSERT_EQ(::chown(dir_.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chown((dir_ + "/data").c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0);
    ::chmod(dir_.c_str(), 0755);

    // A read-only home: nothing can be made.
    ::chmod(folder.c_str(), 0555);
    EXPECT_EQ(InChild([&] { return Code(DeviceStore::Create(path_).status.problem); }, kNobody),
              Code(StoreProblem::NotWritable));
    EXPECT_FALSE(fs::exists(path_));

    // A read-only file, and a writable file in a read-only folder (the journal cannot be made).
    ::chmod(folder.c_str(), 0755);
    ASSERT_EQ(InChild([&] { return DeviceStore::Create(path_).store ? 0 : 1; }, kNobody), 0);
    ::chmod(path_.c_str(), 0444);
    EXPECT_EQ(InChild([&] { return Code(DeviceStore::Open(path_).status.problem); }, kNobody),
              Code(StoreProblem::NotWritable));
    ::chmod(path_.c_str(), 0600);
    ::chmod(folder.c_str(), 0555);
    EXPECT_EQ(InChild([&] { return Code(DeviceStore::Open(path_).status.problem); }, kNobody),
              Code(StoreProblem::NotWritable));
    EXPECT_TRUE(DeviceStore::Exists(path_));
}

TEST_F(StoreTest, NeverWritesAnotherUsersStore) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to own files as another user";
    }
    // A user's home, as root sees it with `sudo -E`.
    const std::string home = dir_ + "/home";
    ASSERT_TRUE(fs::create_directories(home));
    ::chmod(dir_.c_str(), 0755);
    ASSERT_EQ(::chown(home.c_str(), kNobody, kNobody), 0);
    const std::string theirs = home + "/.local/share/talvik/devices.sqlite3";
    EXPECT_EQ(DeviceStore::Create(theirs).status.problem, StoreProblem::OtherUsersPlace);
    EXPECT_FALSE(fs::exists(home + "/.local"));

    ASSERT_EQ(InChild([&] { return DeviceStore::Create(theirs).store ? 0 : 1; }, kNobody), 0);
    const std::string before = Bytes(theirs);
    EXPECT_EQ(DeviceStore::Open(theirs).status.problem, StoreProblem::OtherUsersPlace);
    EXPECT_EQ(DeviceStore::Remove(theirs).problem, StoreProblem::OtherUsersPlace);
    EXPECT_TRUE(Bytes(theirs) == before) << "their file was changed";
    for (const auto& entry : fs::recursive_directory_iterator(home)) {
        struct stat info {};
        ASSERT_EQ(::stat(entry.path().c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, kNobody) << entry.path();
    }

    // The store is looked for in root's own home instead.
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("XDG_DATA_HOME");
    const auto located = LocateStore();
    ::setenv("HOME", savedHome.c_str(), 1);
    EXPECT_TRUE(located.status.Ok());
    EXPECT_FALSE(located.path.starts_with(home));
    EXPECT_TRUE(located.path.ends_with("/.local/share/talvik/devices.sqlite3")) << located.path;
}

// A user's link or planted file never makes us open, change or read out another file.
TEST_F(StoreTest, NeverFollowsALinkNorTrustsAPlantedFile) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to own files as another user";
    }
    ::chmod(dir_.c_str(), 0755);
    const auto exec = [](const std::string& file, const char* sql) {
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    };
    const auto own = [](const std::string& file) {
        return ::lchown(file.c_str(), kNobody, kNobody) == 0;
    };
    // Root with a user's home (sudo -E): the user's store is a link to a file of root's, or
    // the user's talvik folder a link to a folder of root's.
    const std::string roots = dir_ + "/roots.sqlite3";
    exec(roots, "CREATE TABLE mine(x)");
    const std::string empty = dir_ + "/empty";
    std::ofstream{empty};
    const std::string home = dir_ + "/home";
    ASSERT_TRUE(fs::create_directories(home + "/talvik"));
    ASSERT_TRUE(own(home) && own(home + "/talvik"));
    const std::string theirs = home + "/talvik/devices.sqlite3";
    for (const std::string& target : {roots, empty}) {
        const std::string before = Bytes(target);
        fs::remove(theirs);
        fs::create_symlink(target, theirs);
        ASSERT_TRUE(own(theirs));
        EXPECT_FALSE(DeviceStore::Open(theirs).store) << target;
        EXPECT_FALSE(DeviceStore::Create(theirs).store) << target;
        EXPECT_TRUE(Bytes(target) == before) << target;
        EXPECT_FALSE(fs::exists(target + "-wal")) << target;
    }
    const std::string rootsFolder = dir_ + "/roots";
    ASSERT_TRUE(fs::create_directory(rootsFolder));
    ::chmod(rootsFolder.c_str(), 0700);
    fs::create_symlink(rootsFolder, home + "/linked");
    ASSERT_TRUE(own(home + "/linked"));
    EXPECT_EQ(DeviceStore::Create(home + "/linked/devices.sqlite3").status.problem,
              StoreProblem::OtherUsersPlace);
    EXPECT_TRUE(fs::is_empty(rootsFolder));

    // A user's plain run in a shared data folder: another user's link to the user's own file.
    const std::string users = dir_ + "/users.sqlite3";
    exec(users, "CREATE TABLE notes(x)");
    ASSERT_TRUE(own(users));
    const std::string shared = dir_ + "/shared/talvik";
    ASSERT_TRUE(fs::create_directories(shared));
    ::chmod((dir_ + "/shared").c_str(), 01777);
    fs::create_symlink(users, shared + "/devices.sqlite3");
    const std::string usersBefore = Bytes(users);
    EXPECT_EQ(InChild([&] { return DeviceStore::Open(shared + "/devices.sqlite3").store ? 1 : 0; },
                      kNobody),
              0);
    EXPECT_TRUE(Bytes(users) == usersBefore);

    // Our own store: a companion planted by another user, one with a second name, or a folder
    // others may write in, and the store is not opened; a trigger inside never runs.
    auto store = Made();
    ASSERT_TRUE(store);
    store.reset();
    const std::string wal = path_ + "-wal";
    std::ofstream{wal};
    ASSERT_TRUE(own(wal));
    EXPECT_EQ(DeviceStore::Open(path_).status.problem, StoreProblem::OtherUsersPlace);
    ASSERT_EQ(::lchown(wal.c_str(), 0, 0), 0);
    const std::string spy = dir_ + "/spy";
    ASSERT_EQ(::link(wal.c_str(), spy.c_str()), 0);
    EXPECT_FALSE(DeviceStore::Open(path_).store);
    fs::remove(spy);
    const std::string folder = fs::path(path_).parent_path();
    ::chmod(folder.c_str(), 0777);
    EXPECT_EQ(DeviceStore::Open(path_).status.problem, StoreProblem::OtherUsersPlace);
    ::chmod(folder.c_str(), 0700);
    exec(path_,
         "CREATE TRIGGER planted AFTER INSERT ON devices BEGIN "
         "UPDATE devices SET host_name = 'PWNED-BY-B'; END");
    store = DeviceStore::Open(path_).store;
    ASSERT_TRUE(store);
    const ScanRow rows[] = {{Ip(10), Mac(10), "", "printer"}};
    ASSERT_TRUE(store->RecordScan(kHome, rows, kNow).status.Ok());
    const auto known = store->Devices(kHome);
    ASSERT_EQ(known.devices.size(), 1u);
    EXPECT_EQ(known.devices[0].hostName, "printer");
}

TEST_F(StoreTest, AFullDiskIsReported) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root for a small file system of its own";
    }
    const int result = InChild([&] {
        // A tiny tmpfs in a mount namespace of the child's own.
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=96k") != 0) {
            return 90;
        }
        auto opened = DeviceStore::Create(path_);
        if (!opened.store) {
            return 100 + Code(opened.status.problem);
        }
        std::vector<ScanRow> rows;
        for (int i = 0; i < 255; ++i) {
            rows.push_back({Ip(i), Mac(i), std::string(200, 'm'), std::string(200, 'h')});
        }
        for (int scan = 0; scan < 100; ++scan) {
            const auto wrote = opened.store->RecordScan(kHome, rows, kNow + scan);
            if (!wrote.status.Ok()) {
                // The store still reads what it had.
                return opened.store->Devices(kHome).status.Ok() ? Code(wrote.status.problem) : 80;
            }
        }
        return 91;
    });
    EXPECT_EQ(result, Code(StoreProblem::DiskFull));

    // A first store on a disk that is already full is not left behind: it would turn memory on.
    const int first = InChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=64k") != 0) {
            return 90;
        }
        const int fill = ::open((dir_ + "/fill").c_str(), O_WRONLY | O_CREAT, 0600);
        const std::string block(4096, 'f');
        while (::write(fill, block.data(), block.size()) > 0) {
        }
        ::close(fill);
        const auto opened = DeviceStore::Create(path_);
        return opened.store ? 91 : DeviceStore::Exists(path_) ? 92 : Code(opened.status.problem);
    });
    EXPECT_EQ(first, Code(StoreProblem::DiskFull));
}

}  // namespace
}  // namespace talvik::store
