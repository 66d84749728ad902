// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Platform.h"

#include "arp/ArpWireTexts.h"
#include "arp/PacketArpWire.h"
#include "names/GetaddrinfoResolver.h"
#include "os/PosixThreads.h"

namespace talvik {

std::shared_ptr<IThreads> MakeThreads() {
    return std::make_shared<PosixThreads>();
}

std::shared_ptr<INameResolver> MakeNameResolver() {
    return std::make_shared<GetaddrinfoResolver>();
}

std::unique_ptr<IArpWires> MakeArpWires(std::string& error, ArpSenderKind kind,
                                        const std::string& helperPath, ArpSenderKind* chosen) {
    (void)helperPath;
    if (kind == ArpSenderKind::Automatic || kind == ArpSenderKind::Packet) {
        if (PacketArpWire::OpenSocket().Valid()) {
            if (chosen) {
                *chosen = ArpSenderKind::Packet;
            }
            return std::make_unique<PacketArpWires>();
        }
    }
    error = kWireCannotListen;
    return nullptr;
}

}  // namespace talvik
