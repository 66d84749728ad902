// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One interface's ARP heard on a thread of its own until the ear is gone: each read's frames go
// to the owner as they come, the wire is opened again when it ends (its helper died, the link
// went), and frames a flood made the wire drop are counted and said now and then. The watch of
// the command and of the window each hear through one ear per interface.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scan/ArpWire.h"

namespace talvik {

struct EarNote {
    enum class Kind {
        HelperEnded,     // the wire's helper ended: opening the wire again
        ListeningAgain,  // the wire is open again
        CannotListen,    // opening failed (`why`, `error` the wire's last); tried again each second
        FramesLost,      // `lost` frames dropped by the wire since the last such note
    } kind = Kind::CannotListen;
    std::string why;
    int error = 0;
    std::uint64_t lost = 0;
};

class WireEar final {
public:
    // Both run on the ear's thread.
    using Heard = std::function<void(const std::vector<HeardArp>& frames)>;
    using Said = std::function<void(const EarNote& note)>;

    // `gather`: after frames, how long to let the next ones gather in the wire before reading.
    WireEar(IArpWires& wires, std::unique_ptr<IArpWire> wire, Heard heard, Said said,
            std::chrono::milliseconds gather);
    ~WireEar();
    WireEar(const WireEar&) = delete;
    WireEar& operator=(const WireEar&) = delete;

    const std::string& Interface() const { return name_; }

private:
    void Loop();
    bool Reopen(int error);

    IArpWires& wires_;
    const std::string name_;
    const Heard heard_;
    const Said said_;
    const std::chrono::milliseconds gather_;
    std::mutex mutex_;  // the wire, against a Wake from the owner's thread
    std::unique_ptr<IArpWire> wire_;
    std::atomic<bool> stop_{false};
    std::uint64_t lostSaid_ = 0;
    std::chrono::steady_clock::time_point lostAt_{};
    std::thread thread_;
};

}  // namespace talvik
