// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// ARP without privileges: a datagram to the target makes the kernel resolve it, and the
// kernel's neighbour table tells whether, and with which MAC, the host answered.
//
// What this can tell apart, and what it cannot:
// - A host with no entry, or a failed or incomplete one, is asked by the kernel at once (a
//   broadcast request, repeated each second); its answer shows as a confirmation after our
//   datagram and counts.
// - A host the kernel confirmed recently (reachable, or stale, delay or probe within the
//   interface's reachable time) is not asked again by the kernel: its entry is the answer.
//   So a host that left less than that time ago still reads as there.
// - A host whose entry is stale since longer is asked by the kernel only after its delay (5 s
//   by default), with a unicast request; that answer counts if it comes within reprobeGiveUp.
// - Static or noarp entries, and our own MAC in any entry, never count.
// - A reply from another host in the target's name looks the same as the target's own.
// - The kernel's times come in 10 ms units, so two confirmations closer than that are one.
// Nothing is sent for a target on no connected subnet.

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "netlink/NeighbourTable.h"

#include "arp/ProbingArpSender.h"
#include "os/WakeEvent.h"

namespace talvik {

class NeighbourArpSender final : public ProbingArpSender {
public:
    struct Options {
        // How long a worker waits for a host the kernel asks at once. The kernel goes on
        // asking after that (again about 1 s and 2 s after its first request); what it hears
        // is read from the table at the end of the late window.
        std::chrono::milliseconds giveUp{100};
        // The least late window: the kernel's two repeats, with time for their answers.
        std::chrono::milliseconds lateFloor{2100};
        // How long a host with a stale entry has, to reach the kernel's own unicast request.
        std::chrono::milliseconds reprobeGiveUp{6000};
        // How often the table is read again when no change was heard of.
        std::chrono::milliseconds recheck{100};
    };

    NeighbourArpSender() : NeighbourArpSender(Options{}) {}
    explicit NeighbourArpSender(Options options);
    ~NeighbourArpSender() override;
    NeighbourArpSender(const NeighbourArpSender&) = delete;
    NeighbourArpSender& operator=(const NeighbourArpSender&) = delete;

    std::chrono::milliseconds LateFloor() const override { return options_.lateFloor; }
    // Reads the table once more for the listener's given-up targets, by the same rule.
    void Sweep(const std::shared_ptr<LateListener>& listener) override;

    static constexpr std::size_t kMaxLingering = 1024;

private:
    struct Lingering {
        int ifindex = 0;
        std::uint32_t address = 0;
        MacAddress ourMac{};
        NeighbourSighting before;
        std::chrono::steady_clock::time_point trigger;
        LateTag late;
    };
    std::uint32_t Probe(std::uint32_t destinationHostOrder, MacAddress& answer,
                        std::stop_token stop, const LateTag& late) override;
    // Hears of table changes while targets linger and delivers their answers as they come.
    void Watch(std::stop_token stop);

    Options options_;
    WakeEvent wake_;    // ends the watcher's poll
    std::mutex mutex_;  // guards lingering_ and the start of watcher_
    std::vector<Lingering> lingering_;
    std::jthread watcher_;
};

}  // namespace talvik
