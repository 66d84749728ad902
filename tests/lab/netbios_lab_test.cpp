// SPDX-License-Identifier: GPL-3.0-or-later
// NetBIOS names asked of Samba's own name server, nmbd, running on a lab host. Needs root and
// samba; skipped without them, except under CI=true, where they fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "names/NetBiosNames.h"
#include "os/UniqueFd.h"
#include "tests/support/LabHarness.h"

namespace talvik::test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kServerIp = 0xCB007132;  // 203.0.113.50, nmbd's host on the segment
constexpr std::uint32_t kNobodyIp = 0xCB007163;  // 203.0.113.99, no host there
constexpr std::uint32_t kNoisyIp = 0xCB007133;   // 203.0.113.51, a host that first sends junk

bool Shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

// nmbd on 203.0.113.50 in the lab's segment namespace, with every file it keeps in a folder of
// its own. The lab's kernels answer no ARP, so each side knows the other's MAC beforehand.
class NameServer final {
public:
    explicit NameServer(const Lab& lab) {
        char pattern[] = "/tmp/talvik-nmbd-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            return;
        }
        dir_ = pattern;
        const std::string segment = lab.Name() + "g";
        if (!Shell("ip -n " + segment + " addr add 203.0.113.50/24 dev " + lab.Name() + "b") ||
            !Shell("ip -n " + segment + " neigh replace 203.0.113.1 lladdr 02:54:56:00:00:01 dev " +
                   lab.Name() + "b nud permanent") ||
            !Shell("ip -n " + segment + " addr add 203.0.113.51/24 dev " + lab.Name() + "b") ||
            !Shell("ip -n " + lab.Name() +
                   "s neigh replace 203.0.113.50 lladdr 02:54:56:00:00:02 dev " + lab.Name() +
                   "a nud permanent") ||
            !Shell("ip -n " + lab.Name() +
                   "s neigh replace 203.0.113.51 lladdr 02:54:56:00:00:02 dev " + lab.Name() +
                   "a nud permanent")) {
            return;
        }
        std::ofstream(dir_ + "/smb.conf") << "[global]\n"
                                          << "netbios name = TALVIKLAB\n"
                                          << "workgroup = LAB\n"
                                          << "interfaces = 203.0.113.50/24\n"
                                          << "bind interfaces only = yes\n"
                                          << "disable netbios = no\n"
                                          << "lock directory = " << dir_ << "\n"
                                          << "state directory = " << dir_ << "\n"
                                          << "cache directory = " << dir_ << "\n"
                                          << "pid directory = " << dir_ << "\n"
                                          << "private dir = " << dir_ << "\n"
                                          << "ncalrpc dir = " << dir_ << "\n"
                                          << "log file = " << dir_ << "/log\n";
        const std::string config = "--configfile=" + dir_ + "/smb.conf";
        pid_ = ::fork();
        if (pid_ == 0) {
            const int out = ::open((dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::execlp("ip", "ip", "netns", "exec", segment.c_str(), "nmbd", "--foreground",
                     "--no-process-group", config.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~NameServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (!dir_.empty()) {
            std::filesystem::remove_all(dir_);
        }
    }
    bool Started() const { return pid_ > 0; }

private:
    std::string dir_;
    pid_t pid_ = -1;
};

// A node status response as RFC 1002 4.2.18 lays it out: `groups` group names (the most the
// table's one-byte count allows is 255), then `name` as the unique workstation name.
std::vector<std::uint8_t> NodeStatusReply(std::uint16_t id, const std::string& name, int groups,
                                          std::uint16_t flags = 0x8400) {
    // Byte by byte: GCC 12 at -O3 warns falsely about the vector's inserts here.
    std::vector<std::uint8_t> out;
    const auto put = [&](std::initializer_list<std::uint8_t> bytes) {
        for (const std::uint8_t byte : bytes) {
            out.push_back(byte);
        }
    };
    // The header, with one answer.
    put({static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id),
         static_cast<std::uint8_t>(flags >> 8), static_cast<std::uint8_t>(flags), 0, 0, 0, 1, 0, 0,
         0, 0});
    // The name "*" and fifteen zero bytes, half bytes as letters from 'A'.
    put({0x20, 'C', 'K'});
    for (int i = 0; i < 30; ++i) {
        out.push_back('A');
    }
    const auto count = static_cast<std::uint8_t>(groups + 1);
    const std::size_t length = 1 + std::size_t{count} * 18 + 46;
    // The root label, type NBSTAT, class IN, no TTL, the data's length, the count.
    put({0, 0, 0x21, 0, 1, 0, 0, 0, 0, static_cast<std::uint8_t>(length >> 8),
         static_cast<std::uint8_t>(length), count});
    const auto entry = [&](std::string text, std::uint8_t suffix, std::uint8_t nameFlags) {
        text.resize(15, ' ');
        for (const char c : text) {
            out.push_back(static_cast<std::uint8_t>(c));
        }
        put({suffix, nameFlags, 0x00});
    };
    for (int i = 0; i < groups; ++i) {
        entry("GROUP" + std::to_string(i), 0x1e, 0x84);  // browser election, group, active
    }
    entry(name, 0x00, 0x04);  // workstation, unique and active
    for (int i = 0; i < 46; ++i) {
        out.push_back(0);  // the statistics
    }
    return out;
}

// A host on the segment at 203.0.113.51 that answers each node status request with junk first:
// datagrams too short, for another transaction (one of them far over 1,500 bytes), not a
// response, an error; then its name at the end of the longest table there can be.
class NoisyHost final {
public:
    explicit NoisyHost(const Lab& lab)
        : thread_([this, segment = lab.Name() + "g"](std::stop_token stop) {
              const UniqueFd ns(::open(("/run/netns/" + segment).c_str(), O_RDONLY | O_CLOEXEC));
              const bool entered = ns.Valid() && ::setns(ns.Get(), CLONE_NEWNET) == 0;
              const UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
              sockaddr_in self{};
              self.sin_family = AF_INET;
              self.sin_port = htons(kNetBiosNamePort);
              self.sin_addr.s_addr = htonl(kNoisyIp);
              const timeval slice{0, 100000};
              const int on = 1;  // nmbd holds the port on every address, and allows this
              if (!entered || !fd.Valid() ||
                  ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice) != 0 ||
                  ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
                  ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) {
                  ready_ = -1;
                  ready_.notify_all();
                  return;
              }
              ready_ = 1;
              ready_.notify_all();
              while (!stop.stop_requested()) {
                  std::uint8_t request[576];
                  sockaddr_in from{};
                  socklen_t fromSize = sizeof from;
                  const ssize_t got = ::recvfrom(fd.Get(), request, sizeof request, 0,
                                                 reinterpret_cast<sockaddr*>(&from), &fromSize);
                  if (got < 12) {
                      continue;
                  }
                  ++queries_;
                  const auto id = static_cast<std::uint16_t>((request[0] << 8) | request[1]);
                  const std::vector<std::uint8_t> answers[] = {
                      {request[0], request[1], 0x84},
                      NodeStatusReply(static_cast<std::uint16_t>(id + 1), "OTHER", 0),
                      NodeStatusReply(static_cast<std::uint16_t>(id + 1), "OTHER", 254),
                      std::vector<std::uint8_t>(request, request + got),
                      NodeStatusReply(id, "BROKEN", 0, 0x8403),
                      NodeStatusReply(id, "NOISY", 254),
                  };
                  for (const auto& answer : answers) {
                      ::sendto(fd.Get(), answer.data(), answer.size(), 0,
                               reinterpret_cast<const sockaddr*>(&from), fromSize);
                  }
              }
          }) {
        ready_.wait(0);
    }
    bool Started() const { return ready_ == 1; }
    int Queries() const { return queries_; }

private:
    std::atomic<int> ready_ = 0;
    std::atomic<int> queries_ = 0;
    std::jthread thread_;
};

// Runs `body` on a thread in the lab's scanner namespace.
void InScanner(const Lab& lab, const std::function<void()>& body) {
    std::thread([&] {
        const UniqueFd ns(::open(("/run/netns/" + lab.Name() + "s").c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(ns.Valid() && ::setns(ns.Get(), CLONE_NEWNET) == 0);
        body();
    }).join();
}

TEST(NetBiosLab, AsksSambasNameServer) {
    std::string why;
    if (::geteuid() != 0) {
        why = "needs root to make network namespaces";
    } else if (!Shell("command -v nmbd >/dev/null")) {
        why = "nmbd (Debian's samba) is not installed";
    }
    if (!why.empty()) {
        const char* ci = std::getenv("CI");
        if (ci != nullptr && std::string(ci) == "true") {
            FAIL() << "the NetBIOS lab cannot run under CI: " << why;
        }
        GTEST_SKIP() << why;
    }
    const Lab lab("b", false, {});
    ASSERT_TRUE(lab.Up());
    const NameServer server(lab);
    ASSERT_TRUE(server.Started());
    const NoisyHost noisy(lab);
    ASSERT_TRUE(noisy.Started());

    InScanner(lab, [&] {
        NetBiosNames names(1000ms);
        // nmbd takes a moment to start answering; each try waits a second.
        std::optional<std::string> name;
        for (int attempt = 0; attempt < 20 && !name; ++attempt) {
            name = names.NameOf(kServerIp, {});
        }
        EXPECT_EQ(name, "TALVIKLAB");

        // The answer after the junk is taken as it comes, not at the second query.
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(names.NameOf(kNoisyIp, {}), "NOISY");
        EXPECT_LT(std::chrono::steady_clock::now() - start, 400ms);
        EXPECT_EQ(noisy.Queries(), 1);

        // No host: nothing, within the timeout.
        start = std::chrono::steady_clock::now();
        EXPECT_FALSE(names.NameOf(kNobodyIp, {}));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

        // A stop ends a lookup at once.
        NetBiosNames patient(10s);
        std::stop_source stop;
        std::jthread stopper([&] {
            std::this_thread::sleep_for(200ms);
            stop.request_stop();
        });
        start = std::chrono::steady_clock::now();
        EXPECT_FALSE(patient.NameOf(kNobodyIp, stop.get_token()));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    });
}

}  // namespace
}  // namespace talvik::test
