// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The platform tests' network lab: the scanner namespace of lab.sh at 203.0.113.1/24 and, on its
// segment, the responder playing 203.0.113.10 and .11. Needs root; nothing touches the
// machine's own namespace.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "arp/ArpFrame.h"
#include "arp/ArpSenders.h"
#include "arp/PacketArpSender.h"
#include "tests/support/LabHarness.h"

namespace talvik::test {

using namespace std::chrono_literals;

inline constexpr std::uint32_t kScannerIp = 0xCB007101;  // 203.0.113.1
inline constexpr std::uint32_t kHostIp = 0xCB00710A;     // 203.0.113.10, and .11 beside it
inline constexpr std::uint32_t kNobodyIp = 0xCB007163;   // 203.0.113.99
inline constexpr std::uint32_t kOffLinkIp = 0xC6336405;  // 198.51.100.5
inline constexpr MacAddress kScannerMac = {0x02, 0x54, 0x56, 0x00, 0x00, 0x01};

// Each host the responder plays has a MAC of its own, ending in its address's last byte.
constexpr MacAddress HostMac(std::uint32_t ip) {
    return {0x02, 0x7a, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(ip)};
}
inline constexpr MacAddress kHostMac = HostMac(kHostIp);

// The responder's entry for the lab host `ip`, with `extra` JSON members.
inline std::string HostJson(std::uint32_t ip, const std::string& extra = "") {
    char text[96];
    std::snprintf(text, sizeof text, R"({"ip": "203.0.113.%u", "mac": "02:7a:00:00:00:%02x"%s)",
                  ip & 0xffu, ip & 0xffu, extra.empty() ? "" : ", ");
    return text + extra + "}";
}

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

// Plays 203.0.113.20 beside the fixture's hosts: leaves the first `ignore` requests unanswered,
// then answers each later one after `delay`.
class ScriptedHost final {
public:
    static constexpr std::uint32_t kIp = 0xCB007114;
    static constexpr MacAddress kMac = HostMac(kIp);

    ScriptedHost(const Lab& lab, int ignore, std::chrono::milliseconds delay)
        : responder_(lab,
                     "[" +
                         HostJson(kIp, R"("ignore_first": )" + std::to_string(ignore) +
                                           R"(, "delay_ms": )" + std::to_string(delay.count())) +
                         "]",
                     1) {}
    bool Ok() const { return responder_.Running(); }
    // The requests for it that it saw; the host leaves.
    int Requests() {
        const auto asked = responder_.Stop().requestSequence;
        return static_cast<int>(std::ranges::count(asked, "203.0.113.20"));
    }

private:
    Responder responder_;
};

// What a scan's listener heard: each late answer's tag and MAC, in order.
class HeardLate final {
public:
    using Heard = std::vector<std::pair<std::int32_t, MacAddress>>;

    HeardLate()
        : listener_(std::make_shared<LateListener>([this](std::int32_t tag,
                                                          const std::uint8_t* mac) {
              const std::lock_guard lock(mutex_);
              heard_.emplace_back(tag, MacAddress{mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]});
          })) {}
    ~HeardLate() { listener_->Close(); }
    HeardLate(const HeardLate&) = delete;
    HeardLate& operator=(const HeardLate&) = delete;

    const std::shared_ptr<LateListener>& Listener() const { return listener_; }
    LateTag Tag(std::int32_t tag) const { return LateTag{listener_, tag}; }
    Heard Now() {
        const std::lock_guard lock(mutex_);
        return heard_;
    }
    // What was heard once anything was, or after `most`.
    Heard Awaited(std::chrono::milliseconds most) {
        for (const auto until = std::chrono::steady_clock::now() + most;
             Now().empty() && std::chrono::steady_clock::now() < until;) {
            std::this_thread::sleep_for(5ms);
        }
        return Now();
    }

private:
    std::mutex mutex_;
    Heard heard_;
    std::shared_ptr<LateListener> listener_;
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

#ifdef TALVIK_TEST_HELPER
// Starts the helper as the unprivileged user nobody, with `capabilities` handed to it the way
// a file capability would.
inline std::string AsNobody(const std::string& capabilities) {
    const std::string path = ::testing::TempDir() + "talvik-arp-as-nobody" +
                             std::to_string(::getpid()) + (capabilities.empty() ? "" : "-raw");
    std::ofstream(path) << "#!/bin/sh\nexec /usr/bin/setpriv --reuid=65534 --regid=65534 "
                        << "--clear-groups " << capabilities << " " << TALVIK_TEST_HELPER
                        << " \"$@\"\n";
    ::chmod(path.c_str(), 0755);
    return path;
}
#endif

class LabTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to make network namespaces";
        }
        lab_ = std::make_unique<Lab>("p", false, std::vector<std::string>{});
        ASSERT_TRUE(lab_->Up()) << "could not build lab " << lab_->Name();
        scanner_ = lab_->Name() + "s";
        link_ = lab_->Name() + "a";
        ASSERT_TRUE(Play({kHostIp, kHostIp + 1}));
    }
    // Has the responder play just `hosts` from now on.
    bool Play(std::initializer_list<std::uint32_t> hosts) {
        responder_.reset();
        std::string json;
        for (const std::uint32_t ip : hosts) {
            json += (json.empty() ? "" : ", ") + HostJson(ip);
        }
        responder_ = std::make_unique<Responder>(*lab_, "[" + json + "]", 1);
        return responder_->Running();
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
    std::unique_ptr<Lab> lab_;
    std::unique_ptr<Responder> responder_;
    std::string scanner_;  // its namespace
    std::string link_;     // its interface there
};

}  // namespace talvik::test
