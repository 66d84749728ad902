// SPDX-License-Identifier: GPL-3.0-or-later
#include "os/StandardDescriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace talvik {

std::optional<std::array<bool, 3>> KeepStandardDescriptorsTaken() {
    std::array<bool, 3> closed{};
    // In ascending order, so that the lowest free number open() gives is the one closed.
    for (int fd = 0; fd < 3; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        closed[static_cast<std::size_t>(fd)] = true;
        const int null = ::open("/dev/null", O_RDWR);
        if (null != fd) {
            if (null >= 0) {
                ::close(null);
            }
            return std::nullopt;
        }
    }
    return closed;
}

}  // namespace talvik
