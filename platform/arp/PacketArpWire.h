// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One interface's ARP over a packet socket bound to it: only that interface's ARP frames are
// heard, our own outgoing ones never, and only who-has requests from the interface's own address
// and MAC leave, for neighbours its routes reach directly, under a ceiling shared by every sender
// of ours on the link. The same wire serves the program run as root and, inside talvik-arp, an
// ordinary user.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "arp/ArpFrame.h"
#include "arp/ArpSchedule.h"
#include "arp/LinkShare.h"
#include "netlink/LinkInterfaces.h"
#include "os/UniqueFd.h"
#include "os/WakeEvent.h"
#include "scan/ArpWire.h"

namespace talvik {

class PacketArpWire final : public IArpWire {
public:
    // Frames per second on one link, whoever of ours sends there: far above any pace a caller
    // keeps, it only stops a runaway caller.
    static constexpr int kCeiling = 3000;
    // Room for well over a second of a 5,000 frames/s flood before the kernel drops any.
    static constexpr int kReceiveBuffer = 8 << 20;

    // A packet socket that hears nothing until a wire binds it; needs CAP_NET_RAW. Invalid,
    // with errno set, when it cannot be had.
    static UniqueFd OpenSocket();

    // Binds `socket` (from OpenSocket) to the interface with index `ifindex`. Nothing, with
    // `error` set, when that cannot be: ENODEV no such interface, ENETDOWN it is down,
    // EADDRNOTAVAIL it has no IPv4 address or carries no ARP, else the errno of the call that
    // failed.
    static std::unique_ptr<PacketArpWire> Create(UniqueFd socket, int ifindex, int& error);

    PacketArpWire(const PacketArpWire&) = delete;
    PacketArpWire& operator=(const PacketArpWire&) = delete;

    std::string Interface() const override { return link_.name; }
    std::uint32_t OwnAddress() const override { return link_.address; }
    std::array<std::uint8_t, 6> OwnMac() const override { return link_.mac; }
    int Index() const { return link_.index; }
    // Besides the errors of the frame itself: EHOSTUNREACH when the target is no neighbour on
    // this interface (off its subnets, behind a gateway, our own address), EINVAL when `to` is
    // not a unicast MAC or is our own, ENODEV when the interface is gone.
    int Ask(std::uint32_t target, const std::array<std::uint8_t, 6>* to = nullptr) override;
    int Hear(std::vector<HeardArp>& frames, std::chrono::milliseconds timeout) override;
    void Wake() override { wake_.Signal(); }
    std::uint64_t Lost() const override { return lost_.load(); }

private:
    PacketArpWire(UniqueFd socket, LinkInterface link);
    // Reads what is queued; 0, or ENODEV once the interface is gone.
    int Drain(std::vector<HeardArp>& frames);
    // Whether the interface we were bound to is still there under its index.
    bool StillThere() const;
    // Waits for this ask's turn under the link's ceiling; called with askMutex_ held.
    void Pace();

    using Clock = std::chrono::steady_clock;
    UniqueFd socket_;
    WakeEvent wake_;
    LinkInterface link_;
    std::atomic<std::uint64_t> lost_{0};
    Clock::time_point checked_{};  // Hear's: when the interface was last looked for

    std::mutex askMutex_;  // guards what follows
    std::optional<std::vector<LinkInterface>> links_;
    Clock::time_point linksRead_{};
    SendPacer pacer_{kCeiling, 64};
    LinkShare share_;
    int peers_ = 1;
    Clock::time_point counted_{};
    std::atomic<Clock::rep> lastAsk_{0};
};

// Opens packet wires in this process (root, or CAP_NET_RAW).
class PacketArpWires final : public IArpWires {
public:
    std::unique_ptr<IArpWire> Open(const std::string& name, std::string& error) override;
};

// The line that says why the wire of interface `name` could not be opened (`error` as
// PacketArpWire::Create gives it).
std::string WireOpenError(const std::string& name, int error);

}  // namespace talvik
