// SPDX-License-Identifier: GPL-3.0-or-later
// talvik-scan --watch on wires and scans of the test's own: what it prints as frames and scans
// come, the command it runs per event, a helper that ends, a link that goes down, the stop.

#include <gtest/gtest.h>

#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "cli/EventCommand.h"
#include "cli/ScanCommand.h"
#include "cli/WatchCommand.h"
#include "cli/WatchLines.h"
#include "scan/Address.h"
#include "store/DeviceStore.h"

namespace talvik::cli {
namespace {

using namespace std::chrono_literals;

TargetList Targets(std::initializer_list<const char*> addresses) {
    TargetList targets;
    for (const char* address : addresses) {
        targets.AddAddress(*ParseDottedDecimal(address));
    }
    return targets;
}
constexpr std::uint32_t kNet = 0xCB007100;  // 203.0.113.0

struct Script {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<HeardArp, int>> steps;  // a frame, or an error when not 0
    int opened = 0;
    bool woken = false;
};

class FakeWire final : public IArpWire {
public:
    explicit FakeWire(std::shared_ptr<Script> script) : script_(std::move(script)) {}
    std::string Interface() const override { return "tvk0"; }
    std::uint32_t OwnAddress() const override { return kNet + 2; }
    std::array<std::uint8_t, 6> OwnMac() const override { return {2, 0, 0, 0, 0, 2}; }
    int Ask(std::uint32_t, const std::array<std::uint8_t, 6>*) override { return 0; }
    int Hear(std::vector<HeardArp>& frames, std::chrono::milliseconds timeout) override {
        std::unique_lock lock(script_->mutex);
        script_->wake.wait_for(lock, timeout,
                               [&] { return !script_->steps.empty() || script_->woken; });
        script_->woken = false;
        if (script_->steps.empty()) {
            return 0;
        }
        auto [frame, error] = script_->steps.front();
        script_->steps.pop_front();
        if (error == 0) {
            frames.push_back(frame);
        }
        if (script_->steps.empty()) {
            kill(getpid(), SIGUSR1);  // all told: stop the watch
        }
        return error;
    }
    void Wake() override {
        const std::lock_guard lock(script_->mutex);
        script_->woken = true;
        script_->wake.notify_all();
    }

private:
    std::shared_ptr<Script> script_;
};

class FakeWires final : public IArpWires {
public:
    explicit FakeWires(std::shared_ptr<Script> script) : script_(std::move(script)) {}
    std::unique_ptr<IArpWire> Open(const std::string&, std::string&) override {
        const std::lock_guard lock(script_->mutex);
        ++script_->opened;
        return std::make_unique<FakeWire>(script_);
    }

private:
    std::shared_ptr<Script> script_;
};

HeardArp Frame(int octet, std::uint8_t last, std::chrono::seconds ago) {
    HeardArp frame;
    frame.when = std::chrono::steady_clock::now() - ago;
    frame.opcode = 2;
    frame.senderMac = {0x00, 0x1b, 0x21, 0, 0, last};
    frame.senderAddress = kNet + static_cast<std::uint32_t>(octet);
    return frame;
}

struct Watched {
    int status = -1;
    std::string out;
    std::string err;
};

Watched Watch(const ScanOptions& options, WatchPorts ports) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    Watched run;
    run.status = RunWatch(options, out, err, stop, std::move(ports));
    for (auto [file, text] : {std::pair{out, &run.out}, std::pair{err, &run.err}}) {
        std::rewind(file);
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
            text->append(buffer, n);
        }
        std::fclose(file);
    }
    return run;
}

WatchPorts Ports(IArpWires* wires) {
    WatchPorts ports;
    ports.wires = wires;
    ports.links = [] {
        LinkInterface link;
        link.name = "tvk0";
        link.address = kNet + 2;
        link.prefixLength = 24;
        return std::optional(std::vector{link});
    };
    ports.identify = [](std::uint32_t) {
        NetworkIdentity identity;
        identity.interfaceName = "tvk0";
        identity.address = kNet + 2;
        identity.prefixLength = 24;
        identity.gateway = kNet + 1;
        identity.gatewayMac = MacAddress{0x00, 0x1b, 0x21, 0, 0, 1};
        return std::optional(identity);
    };
    return ports;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(Watch, ListeningOnlyPrintsEachEventAsJsonAndRunsTheCommand) {
    auto script = std::make_shared<Script>();
    script->steps = {{Frame(10, 10, 20s), 0}, {Frame(10, 10, 19s), 0},
                     {Frame(1, 66, 18s), 0},  {{}, EPIPE},
                     {Frame(10, 11, 0s), 0},  {Frame(12, 12, 0s), 0}};
    FakeWires wires(script);
    const std::string seen = testing::TempDir() + "/watch-exec-" + std::to_string(getpid());
    std::remove(seen.c_str());
    ScanOptions options;
    options.watch = true;
    options.everySeconds = 0;
    options.noMemory = true;
    options.noNames = true;
    options.format = OutputFormat::JsonLines;
    options.targets = Targets({"203.0.113.10"});
    options.exec = "sh -c 'cat >> \"$0\"' " + seen;
    const Watched run = Watch(options, Ports(&wires));
    EXPECT_EQ(run.status, kExitAllAsked) << run.err;
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 4U) << run.out << run.err;
    EXPECT_NE(lines[0].find("\"event\": \"new\", \"interface\": \"tvk0\", \"address\": "
                            "\"203.0.113.10\", \"mac\": \"00:1b:21:00:00:0a\", \"maker\": null, "
                            "\"name\": null, \"previous_mac\": null, \"private\": false}"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("\"event\": \"gateway-changed\", \"interface\": \"tvk0\", "
                            "\"address\": \"203.0.113.1\", \"mac\": \"00:1b:21:00:00:42\""),
              std::string::npos)
        << lines[1];
    EXPECT_NE(lines[1].find("\"previous_mac\": \"00:1b:21:00:00:01\""), std::string::npos);
    EXPECT_NE(lines[2].find("\"event\": \"mac-changed\""), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("\"event\": \"new\""), std::string::npos) << lines[3];
    EXPECT_EQ(script->opened, 2);
    EXPECT_NE(run.err.find("上监听的辅助程序已退出，正在重新启动"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("已重新开始监听 tvk0"), std::string::npos) << run.err;
    // Every event reached the command, one JSON object each, complete.
    std::ifstream file(seen);
    std::stringstream got;
    got << file.rdbuf();
    EXPECT_EQ(got.str(), run.out);
    std::remove(seen.c_str());
}

TEST(Watch, ScansFindTheGoneAndAFailingStoreEndsWithItsOwnCode) {
    int calls = 0;
    WatchPorts ports = Ports(nullptr);
    ports.noWires = "no wires in this test";
    int linkCalls = 0;
    const auto links = ports.links;
    ports.links = [&linkCalls, links] {
        // Down on the second look, up again on the third.
        ++linkCalls;
        return linkCalls == 2 ? std::optional(std::vector<LinkInterface>{}) : links();
    };
    ports.scan = [&](const ScanOptions& options, std::FILE* out, std::FILE*, const sigset_t&) {
        EXPECT_EQ(options.format, OutputFormat::Csv);
        EXPECT_FALSE(options.watch);
        ++calls;
        std::fputs(
            "address,state,mac,maker,host_name,name,first_seen,last_seen,new,previous_mac,"
            "other_macs\r\n",
            out);
        std::fputs("203.0.113.10,answered,00:1b:21:00:00:0a,,\"nas, 2\",,,,,,\r\n", out);
        std::fputs(calls == 1 ? "203.0.113.11,answered,00:1b:21:00:00:0b,,,,,,,,\r\n"
                              : "203.0.113.11,silent,,,,,,,,,\r\n",
                   out);
        if (calls == 5) {
            kill(getpid(), SIGUSR1);
        }
        return calls == 2 ? kExitMemoryFailed : kExitAllAsked;
    };
    ScanOptions options;
    options.watch = true;
    options.everySeconds = 1;
    options.noMemory = true;
    options.noNames = true;
    options.targets = Targets({"203.0.113.10", "203.0.113.11"});
    const Watched run = Watch(options, ports);
    EXPECT_EQ(run.status, kExitMemoryFailed) << run.err;
    EXPECT_NE(run.err.find("无法监听 tvk0，只能靠定时扫描发现变化：no wires in this test"),
              std::string::npos)
        << run.err;
    const auto lines = Lines(run.out);
    ASSERT_GE(lines.size(), 3U) << run.out;
    EXPECT_NE(run.out.find("  tvk0  gone  203.0.113.11  00:1b:21:00:00:0b\n"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("  tvk0  link-down\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("  tvk0  link-up\n"), std::string::npos) << run.out;
    EXPECT_LT(run.out.find("link-down"), run.out.find("link-up"));
    EXPECT_GE(calls, 3);
}

TEST(Watch, WithMemoryTheStoreIsTheBaselineAndKeepsWhatWasHeardAndSaid) {
    char folder[] = "/tmp/talvik-watch-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    setenv("XDG_DATA_HOME", folder, 1);
    const std::string path = std::string(folder) + "/talvik/devices.sqlite3";
    const store::NetworkId home =
        store::MakeNetworkId(kNet, 24, MacAddress{0, 0x1b, 0x21, 0, 0, 1});
    {
        auto opened = store::DeviceStore::Create(path);
        ASSERT_TRUE(opened.store);
        const store::ScanRow first[] = {{kNet + 10, "00:1b:21:00:00:0a", "", ""},
                                        {kNet + 11, "00:1b:21:00:00:0b", "", ""}};
        const store::ScanRow second[] = {{kNet + 10, "00:1b:21:00:00:0a", "", ""},
                                         {kNet + 11, "", "", ""}};
        ASSERT_TRUE(opened.store->RecordScan(home, first, 1'800'000'000).status.Ok());
        ASSERT_TRUE(opened.store->RecordScan(home, second, 1'800'000'060).status.Ok());
    }
    auto script = std::make_shared<Script>();
    script->steps = {{Frame(10, 10, 30s), 0}, {Frame(11, 11, 29s), 0}, {Frame(10, 12, 0s), 0}};
    FakeWires wires(script);
    ScanOptions options;
    options.watch = true;
    options.everySeconds = 0;
    options.noNames = true;
    options.targets = Targets({"203.0.113.10"});
    const Watched run = Watch(options, Ports(&wires));
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(run.status, kExitAllAsked) << run.err;
    EXPECT_EQ(Lines(run.out).size(), 2U) << run.out;
    EXPECT_NE(run.out.find("  back  203.0.113.11"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("  mac-changed  203.0.113.10  00:1b:21:00:00:0c"), std::string::npos);
    auto opened = store::DeviceStore::Open(path);
    ASSERT_TRUE(opened.store);
    const auto kept = opened.store->WatchEvents(home, 10);
    ASSERT_EQ(kept.size(), 2U);
    EXPECT_EQ(kept[0].kind, "mac-changed");
    EXPECT_EQ(kept[0].previousMac, "00-1b-21-00-00-0a");
    EXPECT_EQ(kept[1].kind, "back");
    const auto known = opened.store->Devices(home);
    EXPECT_EQ(known.devices.size(), 3U);
    std::filesystem::remove_all(folder);
}

TEST(Watch, AGatewayTheKernelDidNotKnowIsNamedByTheScanAsTheStoreNamesIt) {
    char folder[] = "/tmp/talvik-watch-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    setenv("XDG_DATA_HOME", folder, 1);
    WatchPorts ports = Ports(nullptr);
    ports.identify = [](std::uint32_t) {
        NetworkIdentity identity;
        identity.interfaceName = "tvk0";
        identity.gateway = kNet + 1;  // and no MAC for it in the kernel's table
        return std::optional(identity);
    };
    int calls = 0;
    ports.scan = [&](const ScanOptions&, std::FILE* out, std::FILE*, const sigset_t&) {
        std::fputs(
            "address,state,mac,maker,host_name,name,first_seen,last_seen,new,previous_mac,"
            "other_macs\r\n203.0.113.1,answered,00:1b:21:00:00:01,,,,,,,,\r\n"
            "203.0.113.10,answered,00:1b:21:00:00:0a,,,,,,,,\r\n",
            out);
        if (++calls == 2) {
            kill(getpid(), SIGUSR1);
        }
        return kExitAllAsked;
    };
    ScanOptions options;
    options.watch = true;
    options.everySeconds = 1;
    options.remember = true;
    options.noNames = true;
    options.targets = Targets({"203.0.113.1", "203.0.113.10"});
    const Watched run = Watch(options, ports);
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(run.status, kExitAllAsked) << run.err;
    auto opened = store::DeviceStore::Open(std::string(folder) + "/talvik/devices.sqlite3");
    ASSERT_TRUE(opened.store);
    EXPECT_EQ(opened.store->WatchEvents(store::MakeNetworkId(kNet, 24, std::nullopt), 10).size(),
              0U);
    EXPECT_EQ(
        opened.store
            ->WatchEvents(store::MakeNetworkId(kNet, 24, MacAddress{0, 0x1b, 0x21, 0, 0, 1}), 10)
            .size(),
        2U);
    std::filesystem::remove_all(folder);
}

TEST(Watch, ScanCsvReadBack) {
    const auto rows = ParseScanCsv(
        "\xEF\xBB\xBF"
        "address,state,mac,maker,host_name,name,first_seen,last_seen,new,previous_mac,other_"
        "macs\r\n"
        "203.0.113.5,answered,00:1b:21:00:00:05,,\"'=a,\"\"b\"\"\",,,,,,00:1b:21:00:00:06\r\n"
        "203.0.113.6,silent,,,,,,,,,\r\n"
        "nas,unresolved,,,,,,,,,\r\n");
    ASSERT_EQ(rows.size(), 3U);
    EXPECT_EQ(rows[0].mac, "00:1b:21:00:00:05");
    EXPECT_EQ(rows[0].hostName, "=a,\"b\"");
    EXPECT_EQ(rows[1].address, kNet + 5);
    EXPECT_EQ(rows[1].mac, "00:1b:21:00:00:06");
    EXPECT_EQ(rows[2].address, kNet + 6);
    EXPECT_TRUE(rows[2].mac.empty());
}

TEST(EventCommand, WordsSplitWithoutAShell) {
    std::vector<std::string> words;
    std::string error;
    ASSERT_TRUE(SplitWords(R"(notify 'a b' "c \"d\" \\" e\ f * $HOME;x)", words, error));
    EXPECT_EQ(words,
              (std::vector<std::string>{"notify", "a b", "c \"d\" \\", "e f", "*", "$HOME;x"}));
    EXPECT_FALSE(SplitWords("a 'b", words, error));
    EXPECT_FALSE(SplitWords("  ", words, error));
}

TEST(EventCommand, FailuresAndHangsAreToldAndTheNextStillRuns) {
    std::mutex mutex;
    std::vector<std::string> said;
    const auto report = [&](const std::string& line) {
        const std::lock_guard lock(mutex);
        said.push_back(line);
    };
    const auto start = std::chrono::steady_clock::now();
    {
        EventCommand hangs({"sleep", "30"}, report, 300ms);
        hangs.Push("{}");
        hangs.Push("{}");
        hangs.Finish(5s);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    {
        EventCommand fails({"sh", "-c", "read line; test \"$line\" = ok || exit 3"}, report);
        fails.Push("ok");
        fails.Push("not ok");
        fails.Finish(5s);
    }
    {
        EventCommand missing({"/nonexistent/talvik-test"}, report);
        missing.Push("{}");
        missing.Finish(5s);
    }
    ASSERT_EQ(said.size(), 4U) << testing::PrintToString(said);
    EXPECT_NE(said[0].find("sleep 运行超过 0 秒，已被终止"), std::string::npos) << said[0];
    EXPECT_NE(said[1].find("sleep 运行超过 0 秒，已被终止"), std::string::npos) << said[1];
    EXPECT_NE(said[2].find("sh 失败，退出状态 3"), std::string::npos) << said[2];
    EXPECT_NE(said[3].find("无法运行 /nonexistent/talvik-test"), std::string::npos) << said[3];
}

}  // namespace
}  // namespace talvik::cli
