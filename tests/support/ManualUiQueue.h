#pragma once
// The test thread plays the user-interface thread and runs the posted closures itself. Every wait
// has a time-out, so a fault fails instead of hanging.

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "scan/Ports.h"

namespace talvik::test {

class ManualUiQueue final : public IUiPoster {
public:
    void Post(std::function<void()> task) override {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }

    // Serves closures until `done` holds, which may also be changed by other threads; false
    // when it did not within `timeout`.
    bool RunUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::function<void()> task;
            {
                std::lock_guard lock(mutex_);
                if (!tasks_.empty()) {
                    task = std::move(tasks_.front());
                    tasks_.pop_front();
                }
            }
            task ? task() : std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Serves closures for `period`, e.g. to see that nothing more happens.
    void RunFor(std::chrono::milliseconds period) {
        RunUntil([] { return false; }, period);
    }

    std::size_t Queued() const {
        std::lock_guard lock(mutex_);
        return tasks_.size();
    }

private:
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
};

}  // namespace talvik::test
