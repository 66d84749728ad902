#pragma once
// Two network namespaces of our own joined by a veth pair: the scanner at 203.0.113.1/24 and
// a host whose kernel answers ARP at 203.0.113.10/24. Needs root; nothing touches the
// machine's own namespace.

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "platform/ArpFrame.h"
#include "platform/UniqueFd.h"

namespace talvik::testing {

inline constexpr std::uint32_t kScannerIp = 0xCB007101;  // 203.0.113.1
inline constexpr std::uint32_t kHostIp = 0xCB00710A;     // 203.0.113.10
inline constexpr MacAddress kScannerMac = {0x02, 0x7a, 0x00, 0x00, 0x00, 0x01};
inline constexpr MacAddress kHostMac = {0x02, 0x7a, 0x00, 0x00, 0x00, 0x0a};

inline bool IsRoot() {
    return ::geteuid() == 0;
}

class NetnsPair final {
public:
    NetnsPair() {
        static std::atomic<int> counter{0};
        const std::string tag = std::to_string(::getpid()) + std::to_string(counter++ % 10);
        scanner_ = "tvk-a-" + tag + "s";
        host_ = "tvk-a-" + tag + "h";
        ok_ = Run("ip netns add " + scanner_) && Run("ip netns add " + host_) &&
              Run("ip -n " + scanner_ + " link add " + scanner_ + " address 02:7a:00:00:00:01" +
                  " type veth peer name " + host_ + " netns " + host_ +
                  " address 02:7a:00:00:00:0a") &&
              Run("ip -n " + scanner_ + " addr add 203.0.113.1/24 dev " + scanner_) &&
              Run("ip -n " + host_ + " addr add 203.0.113.10/24 dev " + host_) &&
              Run("ip -n " + scanner_ + " link set " + scanner_ + " up") &&
              Run("ip -n " + host_ + " link set " + host_ + " up") &&
              Run("ip -n " + scanner_ + " link set lo up");
    }
    ~NetnsPair() {
        Run("ip netns del " + scanner_ + " 2>/dev/null");
        Run("ip netns del " + host_ + " 2>/dev/null");
    }
    NetnsPair(const NetnsPair&) = delete;
    NetnsPair& operator=(const NetnsPair&) = delete;

    bool Ok() const { return ok_; }
    const std::string& Scanner() const { return scanner_; }
    const std::string& Host() const { return host_; }

    // Runs a shell command inside the host's namespace.
    bool OnHost(const std::string& command) const {
        return Run("ip netns exec " + host_ + " " + command);
    }
    bool OnScanner(const std::string& command) const {
        return Run("ip netns exec " + scanner_ + " " + command);
    }

    // Runs `body` on a thread that lives in the scanner's namespace; threads it starts stay
    // there. False, without running it, when the namespace cannot be entered.
    bool InScanner(const std::function<void()>& body) const {
        bool entered = false;
        std::thread([&] {
            const UniqueFd ns(::open(("/run/netns/" + scanner_).c_str(), O_RDONLY | O_CLOEXEC));
            if (!ns.Valid() || ::setns(ns.Get(), CLONE_NEWNET) != 0) {
                return;
            }
            entered = true;
            body();
        }).join();
        return entered;
    }

    static bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

private:
    std::string scanner_;
    std::string host_;
    bool ok_ = false;
};

}  // namespace talvik::testing
