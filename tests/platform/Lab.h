// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Two network namespaces of our own joined by a veth pair: the scanner at 203.0.113.1/24 and
// a host whose kernel answers ARP at 203.0.113.10/24. Needs root; nothing touches the
// machine's own namespace.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ArpFrame.h"
#include "platform/ArpSenders.h"
#include "platform/PacketArpSender.h"

namespace talvik::test {

using namespace std::chrono_literals;

inline constexpr std::uint32_t kScannerIp = 0xCB007101;  // 203.0.113.1
inline constexpr std::uint32_t kHostIp = 0xCB00710A;     // 203.0.113.10
inline constexpr std::uint32_t kNobodyIp = 0xCB007163;   // 203.0.113.99
inline constexpr std::uint32_t kOffLinkIp = 0xC6336405;  // 198.51.100.5
inline constexpr MacAddress kScannerMac = {0x02, 0x7a, 0x00, 0x00, 0x00, 0x01};
inline constexpr MacAddress kHostMac = {0x02, 0x7a, 0x00, 0x00, 0x00, 0x0a};

struct Outcome {
    std::uint32_t status = ~0u;
    MacAddress mac{};
    bool operator==(const Outcome&) const = default;
};

inline Outcome Answer(const MacAddress& mac) {
    return {kNoError, mac};
}
inline const Outcome kNoAnswer{kErrorBadNetName};

inline Outcome Ask(IArpSender& sender, std::uint32_t target, std::stop_token stop = {}) {
    Outcome outcome;
    std::uint8_t buffer[8] = {};
    std::uint32_t length = 6;
    outcome.status = sender.SendARP(target, buffer, &length, stop);
    std::copy_n(buffer, 6, outcome.mac.begin());
    return outcome;
}

inline bool Shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

// Moves the calling thread into the namespace `name`; threads it starts stay there.
inline bool Enter(const std::string& name) {
    const UniqueFd ns(::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC));
    return ns.Valid() && ::setns(ns.Get(), CLONE_NEWNET) == 0;
}

// Plays 203.0.113.20 in namespace `ns`: drops the first `ignore` requests it sees, then answers
// each later one after `delay`.
class ScriptedHost final {
public:
    static constexpr std::uint32_t kIp = 0xCB007114;
    static constexpr MacAddress kMac = {0x02, 0x7a, 0x00, 0x00, 0x00, 0x14};

    ScriptedHost(const std::string& ns, int ignore, std::chrono::milliseconds delay) {
        std::atomic<bool> ready{false};
        thread_ = std::jthread([&, ignore, delay](std::stop_token stop) {
            if (Enter(ns)) {
                socket_ = PacketArpSender::OpenSocket();
            }
            ready = true;
            std::uint8_t frame[1514];
            while (socket_.Valid() && !stop.stop_requested()) {
                pollfd fd{socket_.Get(), POLLIN, 0};
                sockaddr_ll from{};
                socklen_t size = sizeof from;
                const ssize_t got = ::poll(&fd, 1, 20) <= 0
                                        ? 0
                                        : ::recvfrom(socket_.Get(), frame, sizeof frame, 0,
                                                     reinterpret_cast<sockaddr*>(&from), &size);
                const auto packet = ParseArpPacket(std::span(frame, got > 0 ? got : 0));
                if (!packet || packet->opcode != kArpRequest || packet->targetIp != kIp ||
                    ++requests_ <= ignore) {
                    continue;
                }
                std::this_thread::sleep_for(delay);
                ArpFrame reply = BuildArpRequest(kMac, kIp, packet->senderIp);
                std::copy_n(packet->senderMac.begin(), 6, reply.begin());
                std::copy_n(packet->senderMac.begin(), 6, reply.begin() + 32);
                reply[21] = kArpReply;
                ::sendto(socket_.Get(), reply.data(), reply.size(), 0,
                         reinterpret_cast<const sockaddr*>(&from), size);
            }
        });
        while (!ready) {
            std::this_thread::yield();
        }
    }
    bool Ok() const { return socket_.Valid(); }
    int Requests() const { return requests_; }

private:
    std::atomic<int> requests_{0};
    UniqueFd socket_;
    std::jthread thread_;
};

// Runs `work(i)` for i below `count`, each on a thread of its own, `meanwhile` while they run.
template <class Result>
std::vector<Result> OnThreads(
    std::uint32_t count, const std::function<Result(std::uint32_t)>& work,
    const std::function<void()>& meanwhile = [] {}) {
    std::vector<Result> results(count);
    std::vector<std::jthread> threads;
    for (std::uint32_t i = 0; i < count; ++i) {
        threads.emplace_back([&, i] { results[i] = work(i); });
    }
    meanwhile();
    threads.clear();
    return results;
}

class LabTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to make network namespaces";
        }
        static std::atomic<int> counter{0};
        const std::string tag =
            "tvk-a-" + std::to_string(::getpid()) + std::to_string(counter++ % 10);
        scanner_ = tag + "s";
        host_ = tag + "h";
        const std::string s = "ip -n " + scanner_, h = "ip -n " + host_;
        ASSERT_TRUE(Shell("ip netns add " + scanner_) && Shell("ip netns add " + host_) &&
                    Shell(s + " link add " + scanner_ +
                          " address 02:7a:00:00:00:01 type veth peer name " + host_ + " netns " +
                          host_ + " address 02:7a:00:00:00:0a") &&
                    Shell(s + " addr add 203.0.113.1/24 dev " + scanner_) &&
                    Shell(h + " addr add 203.0.113.10/24 dev " + host_) &&
                    Shell(s + " link set " + scanner_ + " up") &&
                    Shell(h + " link set " + host_ + " up") && Shell(s + " link set lo up"));
    }
    void TearDown() override {
        Shell("ip netns del " + scanner_ + " 2>/dev/null");
        Shell("ip netns del " + host_ + " 2>/dev/null");
    }
    // Runs `body` on a thread in the scanner's namespace.
    void InScanner(const std::function<void()>& body) {
        std::thread([&] {
            ASSERT_TRUE(Enter(scanner_));
            body();
        }).join();
    }
    // Runs `body` in the scanner's namespace with a sender made there.
    void WithSender(ArpSenderKind kind, const std::function<void(IArpSender&)>& body) {
        ArpSenderOptions options;
        options.kind = kind;
        options.schedule = schedule_;
        options.neighbour = neighbour_;
#ifdef TALVIK_TEST_HELPER
        options.helperPath = TALVIK_TEST_HELPER;
#endif
        InScanner([&] {
            const auto sender = MakeArpSender(options);
            ASSERT_TRUE(sender) << ArpSenderKindName(kind);
            body(*sender);
        });
    }
    ArpSchedule schedule_;
    NeighbourArpSender::Options neighbour_;
    std::string scanner_;
    std::string host_;
};

}  // namespace talvik::test
