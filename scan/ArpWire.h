// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One interface's ARP as single frames: requests sent one at a time, at a pace the caller keeps,
// and every ARP frame heard on the interface. For runs too large to ask target by target, and for
// listening between scans. The platform layer opens wires; the engine and the watch use them.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace talvik {

// One ARP frame heard on a wire. Addresses in host byte order, MACs as on the wire.
struct HeardArp {
    std::chrono::steady_clock::time_point when{};
    std::uint16_t opcode = 0;                   // 1 request, 2 reply
    std::array<std::uint8_t, 6> frameSource{};  // the Ethernet source
    std::array<std::uint8_t, 6> senderMac{};
    std::uint32_t senderAddress = 0;
    std::array<std::uint8_t, 6> targetMac{};
    std::uint32_t targetAddress = 0;
};

class IArpWire {
public:
    virtual ~IArpWire() = default;
    // The interface and the address and MAC its requests are told from.
    virtual std::string Interface() const = 0;
    virtual std::uint32_t OwnAddress() const = 0;
    virtual std::array<std::uint8_t, 6> OwnMac() const = 0;
    // Sends one who-has for `target` from the interface's own address and MAC: broadcast, or to
    // `to` alone. 0, or the errno of a frame that did not leave (ENETDOWN: the link is down).
    // The wire keeps no pace of its own beyond a hard ceiling; the caller paces.
    virtual int Ask(std::uint32_t target, const std::array<std::uint8_t, 6>* to = nullptr) = 0;
    // Appends the ARP frames heard since the last call, waiting up to `timeout` for the first
    // (less when woken). Frames the wire sent itself are not heard. 0, or an errno once the wire
    // can hear nothing more (its helper ended: EPIPE; its interface is gone: ENODEV).
    virtual int Hear(std::vector<HeardArp>& frames, std::chrono::milliseconds timeout) = 0;
    // Ends a Hear that waits; safe from any thread.
    virtual void Wake() = 0;
    // ARP frames that reached the interface but were lost before Hear could hand them on (a
    // flood overran a buffer), counted since the wire opened; safe from any thread.
    virtual std::uint64_t Lost() const { return 0; }
};
// Ask and Hear may run on two threads at once; one wire is used by one owner.

class IArpWires {
public:
    virtual ~IArpWires() = default;
    // The wire of interface `name`, or nothing with `error` set to one line that says why.
    virtual std::unique_ptr<IArpWire> Open(const std::string& name, std::string& error) = 0;
};

}  // namespace talvik
