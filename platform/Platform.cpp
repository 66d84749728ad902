// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Platform.h"

#include "arp/ArpWireTexts.h"
#include "arp/HelperArpSender.h"
#include "arp/HelperArpWire.h"
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
    if (kind == ArpSenderKind::Automatic || kind == ArpSenderKind::Packet) {
        if (PacketArpWire::OpenSocket().Valid()) {
            if (chosen) {
                *chosen = ArpSenderKind::Packet;
            }
            return std::make_unique<PacketArpWires>();
        }
    }
    if (kind == ArpSenderKind::Automatic || kind == ArpSenderKind::Helper) {
        const std::vector<std::string> candidates = helperPath.empty()
                                                        ? HelperArpSender::HelperCandidates()
                                                        : std::vector<std::string>{helperPath};
        for (const std::string& path : candidates) {
            if (HelperArpWires::Serves(path)) {
                if (chosen) {
                    *chosen = ArpSenderKind::Helper;
                }
                return std::make_unique<HelperArpWires>(path);
            }
        }
    }
    error = kWireCannotListen;
    return nullptr;
}

}  // namespace talvik
