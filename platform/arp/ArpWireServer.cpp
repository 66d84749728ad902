// SPDX-License-Identifier: GPL-3.0-or-later
#include "arp/ArpWireServer.h"

#include <sys/socket.h>

#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "arp/HelperProtocol.h"
#include "arp/PacketArpWire.h"

namespace talvik {

bool ArpWireServer::Run() {
    std::array<std::uint8_t, kHelperRequestSize> bytes;
    if (!ReadFully(channel_, bytes.data(), bytes.size())) {
        return true;
    }
    const auto open = DecodeHelperRequest(bytes);
    if (!open || open->op != kHelperWireOpen) {
        return false;
    }
    int error = 0;
    const auto wire = PacketArpWire::Create(std::move(socket_), static_cast<int>(open->id), error);
    HelperReply opened{open->id, static_cast<std::uint32_t>(error), {}};
    if (wire) {
        opened.mac = wire->OwnMac();
    }
    const auto reply = EncodeHelperReply(opened);
    if (!WriteFully(channel_, reply.data(), reply.size()) || !wire) {
        return true;
    }

    std::mutex writing;
    const auto write = [&](const WireRecord& record) {
        const auto out = EncodeWireRecord(record);
        const std::lock_guard lock(writing);
        return WriteFully(channel_, out.data(), out.size());
    };
    std::jthread hearer([&](std::stop_token stop) {
        std::vector<HeardArp> frames;
        std::uint64_t lostTold = 0;
        while (!stop.stop_requested()) {
            frames.clear();
            const int ended = wire->Hear(frames, std::chrono::seconds(1));
            for (const HeardArp& frame : frames) {
                const std::uint64_t lost = wire->Lost();
                if (!write(WireRecord{
                        kWireHeard,
                        static_cast<std::uint32_t>(std::min<std::uint64_t>(lost - lostTold, ~0u)),
                        frame})) {
                    return;  // the client is gone; its end closing ends the server too
                }
                lostTold = lost;
            }
            if (ended != 0) {
                write(WireRecord{kWireEnded, static_cast<std::uint32_t>(ended), {}});
                return;
            }
        }
    });
    bool clean = true;
    while (ReadFully(channel_, bytes.data(), bytes.size())) {
        const auto ask = DecodeHelperRequest(bytes);
        if (!ask || ask->op != kHelperWireAsk) {
            clean = false;
            break;
        }
        // Asked only on the interface this wire was opened for.
        const int result = static_cast<int>(ask->id) != wire->Index()
                               ? EINVAL
                               : wire->Ask(ask->target, ask->unicast ? &ask->mac : nullptr);
        if (!write(WireRecord{kWireAsked, static_cast<std::uint32_t>(result), {}})) {
            break;
        }
    }
    if (!clean) {
        // A hearer stuck writing to a client that does not read must not hold us.
        ::shutdown(channel_, SHUT_RDWR);
    }
    hearer.request_stop();
    wire->Wake();
    return clean;
}

}  // namespace talvik
