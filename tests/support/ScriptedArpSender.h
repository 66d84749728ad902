// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// An ARP stand-in for tests: each address answers with a MAC or stays silent, after a delay or
// once released, as scripted. Every wait honours the stop request at once, like the real one.

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "scan/Ports.h"

namespace talvik::test {

using Mac = std::array<std::uint8_t, 6>;

struct ArpAnswer {
    std::chrono::milliseconds delay{0};
    std::optional<Mac> mac;  // nothing: no answer
    bool held = false;       // blocks until Release() or stop
};

inline ArpAnswer Answers(Mac mac, std::chrono::milliseconds delay = {}) {
    return {delay, mac};
}
inline ArpAnswer Held(std::optional<Mac> mac = std::nullopt) {
    return {{}, mac, true};
}

class ScriptedArpSender final : public IArpSender {
public:
    void Script(std::uint32_t address, ArpAnswer answer) {
        std::lock_guard lock(mutex_);
        script_[address] = answer;
    }
    void SetDefault(ArpAnswer answer) {
        std::lock_guard lock(mutex_);
        default_ = answer;
    }
    // The address cannot be asked: its calls end at once with `code`; a lost link is noted
    // on the scan as `eth9`.
    void Fail(std::uint32_t address, std::uint32_t code) {
        std::lock_guard lock(mutex_);
        failures_[address] = code;
    }
    // Lets every held call, and those to come, go on to its answer.
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

    std::uint32_t SendARP(std::uint32_t destination, std::uint8_t* mac, std::uint32_t* length,
                          std::stop_token stop, const LateTag& late = {}) override {
        std::unique_lock lock(mutex_);
        if (late.listener) {
            lateTags_[destination].push_back(late);
            if (helperUnavailable) {
                late.listener->Notes().HelperUnavailable();
            }
        }
        if (const auto failure = failures_.find(destination); failure != failures_.end()) {
            if (failure->second == kErrorNetworkUnreachable && late.listener) {
                late.listener->Notes().LinkLost("eth9");
            }
            return failure->second;
        }
        const auto found = script_.find(destination);
        const ArpAnswer answer = found != script_.end() ? found->second : default_;
        calls_.push_back(destination);
        maxActive_ = std::max(maxActive_, ++active_);
        changed_.notify_all();
        bool stopped = answer.held && !changed_.wait(lock, stop, [this] { return released_; });
        if (!stopped && answer.delay.count() > 0) {
            changed_.wait_for(lock, stop, answer.delay, [] { return false; });
            stopped = stop.stop_requested();
        }
        --active_;
        cancelled_ += stopped ? 1 : 0;
        changed_.notify_all();
        if (stopped || !answer.mac) {
            return stopped ? kErrorCancelled : kErrorBadNetName;
        }
        std::memcpy(mac, answer.mac->data(), 6);
        *length = 6;
        return kNoError;
    }

    // Answers `destination` late through the listener its call number `call` (by default
    // the latest) was given; false when there was no such call.
    bool AnswerLate(std::uint32_t destination, const Mac& mac, std::size_t call = SIZE_MAX) {
        LateTag late;
        {
            std::lock_guard lock(mutex_);
            const auto found = lateTags_.find(destination);
            if (found == lateTags_.end() || found->second.empty()) {
                return false;
            }
            const auto& tags = found->second;
            late = tags[std::min(call, tags.size() - 1)];
        }
        late.listener->Deliver(late.tag, mac.data());
        return true;
    }
    // Loses the latest call's probe for `destination`, as a helper that ends does: hands it
    // back to its listener to be asked again. False when there was no such call.
    bool LoseLate(std::uint32_t destination) {
        LateTag late;
        {
            std::lock_guard lock(mutex_);
            const auto found = lateTags_.find(destination);
            if (found == lateTags_.end() || found->second.empty()) {
                return false;
            }
            late = found->second.back();
        }
        late.listener->AskAgain(late.tag);
        return true;
    }
    std::chrono::milliseconds LateFloor() const override { return floor; }
    void Sweep(const std::shared_ptr<LateListener>& listener) override {
        std::lock_guard lock(mutex_);
        sweptWhileListening_ += listener->Listening() ? 1 : 0;
    }
    int Sweeps() const { return Read(sweptWhileListening_); }
    void Remember(std::span<const KnownDevice> devices) override {
        std::lock_guard lock(mutex_);
        remembered_.insert(remembered_.end(), devices.begin(), devices.end());
    }
    std::vector<KnownDevice> Remembered() const { return Read(remembered_); }
    std::chrono::milliseconds floor{0};
    // Each scan notes that its helper could not be started again.
    bool helperUnavailable = false;

    // Wait until at least `count` calls are in progress at once, or until none is.
    bool WaitForActive(int count) {
        return Wait([&] { return active_ >= count; });
    }
    bool WaitForIdle() {
        return Wait([&] { return active_ == 0; });
    }

    std::vector<std::uint32_t> Calls() const { return Read(calls_); }
    int Active() const { return Read(active_); }
    int MaxActive() const { return Read(maxActive_); }
    int Cancelled() const { return Read(cancelled_); }

private:
    std::vector<KnownDevice> remembered_;
    template <typename Predicate>
    bool Wait(Predicate done) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), done);
    }
    template <typename T>
    T Read(const T& value) const {
        std::lock_guard lock(mutex_);
        return value;
    }

    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    std::map<std::uint32_t, ArpAnswer> script_;
    std::map<std::uint32_t, std::uint32_t> failures_;
    ArpAnswer default_;  // no answer
    std::vector<std::uint32_t> calls_;
    std::map<std::uint32_t, std::vector<LateTag>> lateTags_;
    int active_ = 0, maxActive_ = 0, cancelled_ = 0, sweptWhileListening_ = 0;
    bool released_ = false;
};

}  // namespace talvik::test
