#pragma once
// ARP without privileges: a datagram to the target makes the kernel resolve it, and the
// kernel's neighbour table tells whether, and with which MAC, the host answered.
//
// What this can tell apart, and what it cannot:
// - A host with no entry, or a failed or incomplete one, is asked by the kernel at once (a
//   broadcast request, repeated each second); its answer shows as a confirmation after our
//   datagram and counts.
// - A host whose entry is stale is asked by the kernel only after its delay (5 s by
//   default), with a unicast request; that answer counts if it comes within reprobeGiveUp.
// - A host whose entry is still reachable is not asked again at all. It counts only when it
//   answers our datagram itself: a closed port's ICMP error proves it is there at the MAC
//   the entry holds. A host that drops such datagrams reads as silent until its entry ages.
// - An entry that was already there, static or noarp entries, and a MAC that was confirmed
//   before our datagram never count: a host that left does not come back from the table.
// - The kernel's times come in 10 ms units, so two confirmations closer than that are one.
// Nothing is sent for a target on no connected subnet.

#include <chrono>

#include "scan/Ports.h"

namespace talvik {

class NeighbourArpSender final : public IArpSender {
public:
    struct Options {
        // How long a host the kernel asks at once has to answer. The kernel repeats its
        // request once a second, so this covers two of them: a lost request or reply still
        // finds the host. Each silent target costs a worker this long, which makes a /24
        // take about five times it with 50 workers.
        std::chrono::milliseconds giveUp{1100};
        // How long a host with a stale entry has, to reach the kernel's own unicast request.
        std::chrono::milliseconds reprobeGiveUp{6000};
        // How often the table is read again when no change was heard of.
        std::chrono::milliseconds recheck{100};
    };

    NeighbourArpSender() : NeighbourArpSender(Options{}) {}
    explicit NeighbourArpSender(Options options) : options_(options) {}

    std::uint32_t SendARP(std::uint32_t destinationHostOrder, std::uint8_t* mac,
                          std::uint32_t* length, std::stop_token stop) override;

private:
    Options options_;
};

}  // namespace talvik
