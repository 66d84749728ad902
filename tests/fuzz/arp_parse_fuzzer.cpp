// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds arbitrary bytes to everything that reads what others send us: received frames, the
// neighbour table's messages, and the helper's records.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "arp/ArpFrame.h"
#include "arp/HelperProtocol.h"
#include "netlink/NeighbourTable.h"

namespace {

constexpr talvik::MacAddress kOurMac = {0x02, 0x7a, 0x00, 0x00, 0x00, 0x01};
constexpr std::uint32_t kOurIp = 0xCB007101;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    if (const auto packet = talvik::ParseArpPacket(bytes)) {
        const auto mac = talvik::MatchArpReply(*packet, {kOurMac, kOurIp, packet->senderIp});
        // Whatever it accepts must be an answer to us from a usable address.
        if (mac && (packet->opcode != talvik::kArpReply || packet->targetIp != kOurIp ||
                    !talvik::IsUnicastMac(*mac) || *mac == kOurMac)) {
            std::abort();
        }
    }
    if (const auto entry = talvik::ParseNeighbourMessage(bytes, 100)) {
        if (entry->confirmedAgo && entry->confirmedAgo->count() < 0) {
            std::abort();
        }
    }
    if (size >= talvik::kHelperReplySize) {
        talvik::DecodeHelperReply(bytes.first<talvik::kHelperReplySize>());
    }
    if (size >= talvik::kHelperRequestSize) {
        const auto request = talvik::DecodeHelperRequest(bytes.first<talvik::kHelperRequestSize>());
        if (request && request->id == 0) {
            std::abort();
        }
    }
    return 0;
}
