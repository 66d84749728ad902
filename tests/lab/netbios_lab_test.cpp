// SPDX-License-Identifier: GPL-3.0-or-later
// NetBIOS names asked of Samba's own name server, nmbd, running on a lab host. Needs root and
// samba; skipped without them, except under CI=true, where they fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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
            !Shell("ip -n " + lab.Name() +
                   "s neigh replace 203.0.113.50 lladdr 02:54:56:00:00:02 dev " + lab.Name() +
                   "a nud permanent")) {
            return;
        }
        std::ofstream(dir_ + "/smb.conf") << "[global]\n"
                                          << "netbios name = TALVIKLAB\n"
                                          << "workgroup = LAB\n"
                                          << "interfaces = " << lab.Name() << "b\n"
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

    InScanner(lab, [] {
        NetBiosNames names(1000ms);
        // nmbd takes a moment to start answering; each try waits a second.
        std::optional<std::string> name;
        for (int attempt = 0; attempt < 20 && !name; ++attempt) {
            name = names.NameOf(kServerIp, {});
        }
        EXPECT_EQ(name, "TALVIKLAB");

        // No host: nothing, within the timeout.
        auto start = std::chrono::steady_clock::now();
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
