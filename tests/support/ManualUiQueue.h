#pragma once
// A user-interface queue for tests: the test thread plays the user-interface thread and runs
// the posted closures itself. Every wait has a time-out, so a fault fails instead of hanging.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "scan/Ports.h"

namespace talvik::test {

class ManualUiQueue final : public IUiPoster {
public:
    using Clock = std::chrono::steady_clock;

    void Post(std::function<void()> task) override {
        {
            std::lock_guard lock(mutex_);
            if (closed_) {
                return;
            }
            tasks_.push_back(std::move(task));
            ++posted_;
        }
        arrived_.notify_all();
    }

    // Runs every closure already queued (and those they post); returns how many ran.
    int RunPending() {
        int ran = 0;
        while (RunOne(std::chrono::milliseconds(0))) {
            ++ran;
        }
        return ran;
    }

    // Runs the next closure, waiting up to `timeout` for one to arrive.
    bool RunOne(std::chrono::milliseconds timeout) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            if (!arrived_.wait_for(lock, timeout, [this] { return !tasks_.empty(); })) {
                return false;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
        return true;
    }

    // Serves closures until `done` holds; false when it did not within `timeout`.
    bool RunUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = Clock::now() + timeout;
        while (!done()) {
            const auto now = Clock::now();
            if (now >= deadline) {
                return false;
            }
            RunOne(std::min(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now),
                            std::chrono::milliseconds(20)));
        }
        return true;
    }

    // Serves closures for `period`, e.g. to see that nothing more happens.
    void RunFor(std::chrono::milliseconds period) {
        RunUntil([] { return false; }, period);
    }

    // The user-interface thread stops serving events: what is queued or arrives later is dropped.
    void Close() {
        std::deque<std::function<void()>> dropped;
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
            dropped.swap(tasks_);
        }
    }

    int Posted() const {
        std::lock_guard lock(mutex_);
        return posted_;
    }

    std::size_t Queued() const {
        std::lock_guard lock(mutex_);
        return tasks_.size();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::function<void()>> tasks_;
    bool closed_ = false;
    int posted_ = 0;
};

}  // namespace talvik::test
