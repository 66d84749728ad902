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

// Reads exactly `size` bytes from the channel, through interruptions; false on end or error.
inline bool ReadFully(int fd, std::uint8_t* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, buffer + done, size - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// Writes all `size` bytes, through interruptions and short writes; false on error. With an offset
// the bytes go there (a file); without, they are sent with MSG_NOSIGNAL, so a peer that went away
// is an error rather than SIGPIPE. Blocks until done: a writer that must give up in time cannot
// use it.
inline bool WriteFully(int fd, const void* data, std::size_t size, off_t at = -1) {
    const auto* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t sent =
            at >= 0 ? ::pwrite(fd, bytes + done, size - done, at + static_cast<off_t>(done))
                    : ::send(fd, bytes + done, size - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace talvik
