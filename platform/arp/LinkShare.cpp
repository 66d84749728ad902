// SPDX-License-Identifier: GPL-3.0-or-later
#include "arp/LinkShare.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace talvik {
namespace {

// "\0talvik-arp-link-<ifindex>-<slot>", in the abstract namespace.
socklen_t NameOf(int ifindex, int slot, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    const int length = std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1,
                                     "talvik-arp-link-%d-%d", ifindex, slot);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 +
                                  static_cast<std::size_t>(length));
}

}  // namespace

bool LinkShare::Join(int ifindex) {
    const std::lock_guard lock(mutex_);
    UniqueFd& held = held_[ifindex];
    for (int slot = 0; slot < kSlots && !held.Valid(); ++slot) {
        UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un address;
        const socklen_t size = NameOf(ifindex, slot, address);
        if (fd.Valid() &&
            ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), size) == 0) {
            held = std::move(fd);
        }
    }
    return held.Valid();
}

void LinkShare::LeaveAll() {
    const std::lock_guard lock(mutex_);
    held_.clear();
}

bool LinkShare::Holding() const {
    const std::lock_guard lock(mutex_);
    return !held_.empty();
}

int LinkShare::Peers() const {
    const std::lock_guard lock(mutex_);
    int most = 1;
    for (const auto& [ifindex, fd] : held_) {
        // A name is bound exactly when a datagram socket can connect to it.
        const UniqueFd probe(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (!probe.Valid()) {
            return kSlots;  // not known: the slowest pace is the safe one
        }
        int bound = 0;
        for (int slot = 0; slot < kSlots; ++slot) {
            sockaddr_un address;
            const socklen_t size = NameOf(ifindex, slot, address);
            bound += ::connect(probe.Get(), reinterpret_cast<const sockaddr*>(&address), size) == 0;
        }
        most = std::max(most, bound + (fd.Valid() ? 0 : 1));
    }
    return most;
}

}  // namespace talvik
