// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Whole-buffer reads and writes on a descriptor. Header-only so that the platform layer and the
// report, which links nothing of the platform, share one loop.

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace talvik {

// Repeats `step(done)`, one read or write of the bytes from `done` on, until all `size` bytes
// have moved, through interruptions; false on an error or an end before that.
template <typename Step>
bool MoveFully(std::size_t size, Step step) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t moved = step(done);
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(moved);
    }
    return true;
}

// Reads exactly `size` bytes from the channel; false on end or error.
inline bool ReadFully(int fd, std::uint8_t* buffer, std::size_t size) {
    return MoveFully(size,
                     [&](std::size_t done) { return ::read(fd, buffer + done, size - done); });
}

// Writes all `size` bytes, through short writes; false on error. With an offset the bytes go
// there (a file); without, they are sent with MSG_NOSIGNAL, so a peer that went away is an error
// rather than SIGPIPE. Blocks until done: a writer that must give up in time cannot use it.
inline bool WriteFully(int fd, const void* data, std::size_t size, off_t at = -1) {
    const auto* bytes = static_cast<const char*>(data);
    return MoveFully(size, [&](std::size_t done) {
        return at >= 0 ? ::pwrite(fd, bytes + done, size - done, at + static_cast<off_t>(done))
                       : ::send(fd, bytes + done, size - done, MSG_NOSIGNAL);
    });
}

}  // namespace talvik
