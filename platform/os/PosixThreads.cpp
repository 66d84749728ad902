// SPDX-License-Identifier: GPL-3.0-or-later
#include "os/PosixThreads.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "scan/PortCodes.h"

namespace talvik {

namespace {

// Every thread's end is announced on one condition, so a wait over any set of handles needs
// no bookkeeping of its own. Never destroyed: detached threads may still end during exit.
struct EndSignal {
    std::mutex mutex;
    std::condition_variable ended;
};

EndSignal& Signal() {
    static auto* signal = new EndSignal;
    return *signal;
}

thread_local std::uint32_t t_lastError = kNoError;

struct ThreadState {
    bool ended = false;  // guarded by Signal().mutex
};

class PosixThread final : public IThread {
public:
    explicit PosixThread(std::shared_ptr<ThreadState> state) : state_(std::move(state)) {}

    ~PosixThread() override {
        if (!thread_.joinable()) {
            return;
        }
        // Dropping a handle must never end the process: a thread that has ended is joined, one
        // still running (or the thread itself letting go of its handle) is left to finish.
        if (thread_.get_id() != std::this_thread::get_id() && Ended()) {
            thread_.join();
        } else {
            thread_.detach();
        }
    }

    bool Ended() const {
        std::lock_guard lock(Signal().mutex);
        return state_->ended;
    }

    const ThreadState& State() const { return *state_; }
    std::thread& Thread() { return thread_; }

private:
    std::shared_ptr<ThreadState> state_;
    std::thread thread_;
};

void RunThread(const std::shared_ptr<ThreadState>& state, std::function<unsigned()> procedure) {
    try {
        // Captures are let go before the end is announced, so a waiter that sees the end also
        // sees everything the procedure held released.
        auto owned = std::move(procedure);
        owned();
    } catch (...) {
    }
    {
        std::lock_guard lock(Signal().mutex);
        state->ended = true;
    }
    Signal().ended.notify_all();
}

}  // namespace

ThreadHandle PosixThreads::BeginThread(std::function<unsigned()> procedure) {
    if (!procedure) {
        t_lastError = kErrorInvalidParameter;
        return nullptr;
    }
    try {
        auto state = std::make_shared<ThreadState>();
        auto handle = std::make_shared<PosixThread>(state);
        handle->Thread() = std::thread(RunThread, state, std::move(procedure));
        return handle;
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    t_lastError = kErrorGenFailure;
    return nullptr;
}

std::uint32_t PosixThreads::WaitForMultipleObjects(std::uint32_t count, const ThreadHandle* handles,
                                                   bool waitAll, std::uint32_t timeoutMs) {
    if (count == 0 || count > kMaximumWaitObjects || handles == nullptr) {
        t_lastError = kErrorInvalidParameter;
        return kWaitFailed;
    }
    std::vector<const ThreadState*> states;
    states.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto* thread = dynamic_cast<const PosixThread*>(handles[i].get());
        if (thread == nullptr) {
            t_lastError = kErrorInvalidParameter;
            return kWaitFailed;
        }
        states.push_back(&thread->State());
    }

    std::uint32_t signalled = kWaitTimeout;
    const auto ready = [&] {
        if (waitAll) {
            for (const ThreadState* state : states) {
                if (!state->ended) {
                    return false;
                }
            }
            signalled = kWaitObject0;
            return true;
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            if (states[i]->ended) {
                signalled = kWaitObject0 + i;
                return true;
            }
        }
        return false;
    };

    std::unique_lock lock(Signal().mutex);
    if (timeoutMs == kInfinite) {
        Signal().ended.wait(lock, ready);
    } else if (!Signal().ended.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
        return kWaitTimeout;
    }
    return signalled;
}

std::uint32_t PosixThreads::GetLastError() {
    return t_lastError;
}

}  // namespace talvik
