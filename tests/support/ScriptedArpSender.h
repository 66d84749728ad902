#pragma once
// An ARP stand-in for tests: each address answers with a MAC after a delay, fails, or blocks
// until released, as scripted. Every wait honours the stop request at once, like the real one.

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "scan/Ports.h"

namespace talvik::test {

struct ArpAnswer {
    std::chrono::milliseconds delay{0};
    std::optional<std::array<std::uint8_t, 6>> mac;  // nothing: no answer
    std::uint32_t error = kErrorBadNetName;          // returned when there is no MAC
    bool holdUntilReleased = false;                  // blocks until Release() or stop
};

inline ArpAnswer Answers(std::array<std::uint8_t, 6> mac,
                         std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
    return ArpAnswer{delay, mac, kNoError, false};
}

inline ArpAnswer Silent(std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
    return ArpAnswer{delay, std::nullopt, kErrorBadNetName, false};
}

inline ArpAnswer Held(std::optional<std::array<std::uint8_t, 6>> mac = std::nullopt) {
    return ArpAnswer{std::chrono::milliseconds(0), mac, mac ? kNoError : kErrorBadNetName, true};
}

class ScriptedArpSender final : public IArpSender {
public:
    using Clock = std::chrono::steady_clock;

    void Script(std::uint32_t address, ArpAnswer answer) {
        std::lock_guard lock(mutex_);
        script_[address] = answer;
    }

    void SetDefault(ArpAnswer answer) {
        std::lock_guard lock(mutex_);
        default_ = answer;
    }

    // Lets every held call (and those to come) go on to its scripted answer.
    void Release() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
        }
        changed_.notify_all();
    }

    std::uint32_t SendARP(std::uint32_t destination, std::uint8_t* mac, std::uint32_t* length,
                          std::stop_token stop) override {
        std::unique_lock lock(mutex_);
        const auto found = script_.find(destination);
        const ArpAnswer answer = found != script_.end() ? found->second : default_;
        calls_.push_back(destination);
        ++active_;
        maxActive_ = std::max(maxActive_, active_);
        changed_.notify_all();

        bool stopped = false;
        if (answer.holdUntilReleased) {
            stopped = !changed_.wait(lock, stop, [this] { return released_; });
        }
        if (!stopped && answer.delay.count() > 0) {
            // Wakes only for the stop request; the delay is otherwise served in full.
            changed_.wait_for(lock, stop, answer.delay, [] { return false; });
            stopped = stop.stop_requested();
        }
        --active_;
        if (stopped) {
            ++cancelled_;
            changed_.notify_all();
            return kErrorCancelled;
        }
        changed_.notify_all();
        if (!answer.mac) {
            return answer.error;
        }
        std::memcpy(mac, answer.mac->data(), 6);
        *length = 6;
        return kNoError;
    }

    // Waits until at least `count` calls are in progress at once.
    bool WaitForActive(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return active_ >= count; });
    }

    // Waits until at least `count` calls have been made.
    bool WaitForCalls(std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return calls_.size() >= count; });
    }

    bool WaitForIdle(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return active_ == 0; });
    }

    std::vector<std::uint32_t> Calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    int Active() const {
        std::lock_guard lock(mutex_);
        return active_;
    }
    int MaxActive() const {
        std::lock_guard lock(mutex_);
        return maxActive_;
    }
    int Cancelled() const {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    std::map<std::uint32_t, ArpAnswer> script_;
    ArpAnswer default_ = Silent();
    std::vector<std::uint32_t> calls_;
    int active_ = 0;
    int maxActive_ = 0;
    int cancelled_ = 0;
    bool released_ = false;
};

}  // namespace talvik::test
