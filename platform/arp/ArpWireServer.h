// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The serving side of talvik-arp --wire: opens the wire of the one interface the client names,
// streams every ARP frame heard there and sends the who-has requests it is asked for, as
// HelperProtocol.h tells.

#include "os/UniqueFd.h"

namespace talvik {

class ArpWireServer final {
public:
    // `socket` from PacketArpWire::OpenSocket, possibly opened before privileges were dropped.
    ArpWireServer(int channel, UniqueFd socket) : channel_(channel), socket_(std::move(socket)) {}

    // Serves until the client closes its end (true), or it refused the interface (true, after
    // saying why), or the client sent anything malformed (false).
    bool Run();

private:
    int channel_;
    UniqueFd socket_;
};

}  // namespace talvik
