// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One interface's wire held by talvik-arp --wire for an ordinary user: every ARP frame of the
// interface comes over the helper's channel, and each ask goes to it and waits for its result.
// A helper that ends makes Hear return EPIPE once what it sent before was handed on; the owner
// opens a new wire to start another.

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "os/UniqueFd.h"
#include "scan/ArpWire.h"

namespace talvik {

class HelperArpWire final : public IArpWire {
public:
    // Frames kept for a Hear that comes late; past this, the oldest go and count as lost.
    static constexpr std::size_t kMostKept = 16384;

    // Starts the helper at `path` and opens the wire of interface `name` in it. Nothing, with
    // `error` set, when that cannot be: the helper's refusal (ENODEV, ENETDOWN, EADDRNOTAVAIL),
    // EPERM or EACCES when it holds no packet socket, EIO when it did not start or answer.
    static std::unique_ptr<HelperArpWire> Open(const std::string& path, const std::string& name,
                                               int& error, bool quiet = false);
    ~HelperArpWire() override;
    HelperArpWire(const HelperArpWire&) = delete;
    HelperArpWire& operator=(const HelperArpWire&) = delete;

    std::string Interface() const override { return name_; }
    std::uint32_t OwnAddress() const override { return address_; }
    std::array<std::uint8_t, 6> OwnMac() const override { return mac_; }
    // EPIPE once the helper is gone; ETIMEDOUT when it does not answer.
    int Ask(std::uint32_t target, const std::array<std::uint8_t, 6>* to = nullptr) override;
    int Hear(std::vector<HeardArp>& frames, std::chrono::milliseconds timeout) override;
    void Wake() override;
    std::uint64_t Lost() const override { return lost_.load(); }
    // The helper's process, for those that watch it.
    pid_t Child() const { return child_.load(); }

private:
    HelperArpWire(UniqueFd channel, std::string name, int index);
    // On the reader thread, once the helper runs: its greeting, then the wire opened; 0 or why
    // not. Then Read takes what it sends until the channel ends.
    int Start();
    void Read();

    UniqueFd channel_;
    std::string name_;
    int index_ = 0;
    std::uint32_t address_ = 0;
    std::array<std::uint8_t, 6> mac_{};
    std::atomic<pid_t> child_{-1};
    std::atomic<std::uint64_t> lost_{0};

    std::mutex mutex_;  // guards what follows
    std::condition_variable changed_;
    std::deque<HeardArp> frames_;
    std::deque<int> asked_;  // the results of asks, in order
    int ended_ = 0;          // the errno once nothing more comes
    bool woken_ = false;

    std::mutex askMutex_;  // one ask at a time waits for its result
    std::jthread reader_;
};

// Opens wires through the helper at `path`, each with a helper of its own.
class HelperArpWires final : public IArpWires {
public:
    explicit HelperArpWires(std::string path, bool quiet = false)
        : path_(std::move(path)), quiet_(quiet) {}
    std::unique_ptr<IArpWire> Open(const std::string& name, std::string& error) override;
    // Whether the helper at `path` starts, holds its socket and greets, as a wire's would.
    static bool Serves(const std::string& path);

private:
    std::string path_;
    bool quiet_;
};

}  // namespace talvik
