// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Wires that follow scan/ArpWire.h, with frames the test puts on them.

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "scan/ArpWire.h"
#include "tests/support/ScriptedArpSender.h"

namespace talvik::test {

// One interface's wire as its header defines it: frames are handed on in the order they came,
// Hear waits for the first up to its timeout or until woken, and a wire that has ended says so.
class FakeWire final : public IArpWire {
public:
    explicit FakeWire(std::string name) : name_(std::move(name)) {}
    std::string Interface() const override { return name_; }
    std::uint32_t OwnAddress() const override { return 0xCB007101; }
    std::array<std::uint8_t, 6> OwnMac() const override { return {2, 0, 0x5e, 0x10, 0, 1}; }
    int Ask(std::uint32_t, const std::array<std::uint8_t, 6>*) override { return 0; }
    int Hear(std::vector<HeardArp>& frames, std::chrono::milliseconds timeout) override {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return !queued_.empty() || woken_ || ended_; });
        woken_ = false;
        frames.insert(frames.end(), queued_.begin(), queued_.end());
        queued_.clear();
        return ended_ ? EPIPE : 0;
    }
    std::uint64_t Lost() const override { return lost.load(); }
    // Frames the wire says it dropped, as a flood would make it.
    std::atomic<std::uint64_t> lost{0};
    // The helper behind the wire died: Hear says so from now on.
    void End() {
        const std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }
    void Wake() override {
        const std::lock_guard lock(mutex_);
        woken_ = true;
        changed_.notify_all();
    }
    // A frame from `mac` claiming `address`, as a gratuitous ARP carries it.
    void Claim(std::uint32_t address, const Mac& mac) {
        HeardArp frame;
        frame.when = std::chrono::steady_clock::now();
        frame.opcode = 1;
        frame.frameSource = frame.senderMac = mac;
        frame.senderAddress = frame.targetAddress = address;
        const std::lock_guard lock(mutex_);
        queued_.push_back(frame);
        changed_.notify_all();
    }

private:
    std::string name_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<HeardArp> queued_;
    bool woken_ = false;
    bool ended_ = false;
};

struct FakeWires final : IArpWires {
    std::unique_ptr<IArpWire> Open(const std::string& name, std::string& error) override {
        const std::lock_guard lock(mutex);
        opened.push_back(name);
        if (!problem.empty()) {
            error = problem;
            return nullptr;
        }
        auto wire = std::make_unique<FakeWire>(name);
        latest = wire.get();
        return wire;
    }
    std::string problem;
    std::vector<std::string> opened;
    FakeWire* latest = nullptr;
    std::mutex mutex;
};

}  // namespace talvik::test
