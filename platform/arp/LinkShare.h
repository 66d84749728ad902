// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// How many of our ARP senders are at work on one link, in every process of the machine's network
// namespace (the helpers of several users, a program run as root), so that together they keep to
// the pace one of them keeps alone. Each sender holds an abstract Unix socket name of its own for
// the link while it sends there: the kernel counts for us, the names go with their process even
// when it is killed, and a name another user binds can only make our senders slower, never
// faster.

#include <map>
#include <mutex>

#include "os/UniqueFd.h"

namespace talvik {

class LinkShare final {
public:
    static constexpr int kSlots = 64;

    // Holds a name on the link with interface index `ifindex`; false when every one is taken,
    // and the link then still counts as one this sender is at work on.
    bool Join(int ifindex);
    // Gives up every name held.
    void LeaveAll();
    bool Holding() const;
    // The senders at work on the links this one holds, on the busiest of them, this one
    // included; 1 when it holds none.
    int Peers() const;

private:
    mutable std::mutex mutex_;
    std::map<int, UniqueFd> held_;  // an invalid descriptor where no name was free
};

}  // namespace talvik
