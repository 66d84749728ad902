// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <thread>

#include "os/UniqueFd.h"

namespace talvik {

// An eventfd that ends another thread's poll: a stop request alone cannot reach a thread that
// waits on descriptors.
class WakeEvent final {
public:
    WakeEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    bool Valid() const { return fd_.Valid(); }
    int Get() const { return fd_.Get(); }
    void Signal() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(fd_.Get(), &one, sizeof one);
    }
    // Stops `thread`, which polls this event beside its stop token, and waits for it.
    void StopAndJoin(std::jthread& thread) const {
        if (thread.joinable()) {
            thread.request_stop();
            Signal();
            thread.join();
        }
    }

private:
    UniqueFd fd_;
};

}  // namespace talvik
