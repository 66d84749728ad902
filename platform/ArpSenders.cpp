#include "platform/ArpSenders.h"

#include "platform/HelperArpSender.h"
#include "platform/PacketArpSender.h"

namespace talvik {
namespace {

using namespace std::chrono_literals;

// The helper greets as soon as it holds its socket; a slow start still ends well within this.
constexpr std::chrono::milliseconds kHelperGreeting = 3s;

std::shared_ptr<IArpSender> MakePacket(const ArpSenderOptions& options) {
    PacketArpSender::Options packet;
    packet.schedule = options.schedule;
    return PacketArpSender::Create(PacketArpSender::OpenSocket(), packet);
}

std::shared_ptr<IArpSender> MakeHelper(const ArpSenderOptions& options) {
    if (!options.helperPath.empty()) {
        return HelperArpSender::Start(options.helperPath, options.schedule, kHelperGreeting);
    }
    for (const std::string& path : HelperArpSender::HelperCandidates()) {
        if (auto sender = HelperArpSender::Start(path, options.schedule, kHelperGreeting)) {
            return sender;
        }
    }
    return nullptr;
}

}  // namespace

std::shared_ptr<IArpSender> MakeArpSender(const ArpSenderOptions& options, ArpSenderKind* chosen) {
    std::shared_ptr<IArpSender> sender;
    ArpSenderKind kind = options.kind;
    switch (options.kind) {
        case ArpSenderKind::Packet:
            sender = MakePacket(options);
            break;
        case ArpSenderKind::Helper:
            sender = MakeHelper(options);
            break;
        case ArpSenderKind::Neighbour:
            sender = std::make_shared<NeighbourArpSender>(options.neighbour);
            break;
        case ArpSenderKind::Automatic:
            if ((sender = MakePacket(options))) {
                kind = ArpSenderKind::Packet;
            } else if ((sender = MakeHelper(options))) {
                kind = ArpSenderKind::Helper;
            } else {
                sender = std::make_shared<NeighbourArpSender>(options.neighbour);
                kind = ArpSenderKind::Neighbour;
            }
            break;
    }
    if (chosen) {
        *chosen = kind;
    }
    return sender;
}

const char* ArpSenderKindName(ArpSenderKind kind) {
    switch (kind) {
        case ArpSenderKind::Packet:
            return "packet";
        case ArpSenderKind::Helper:
            return "helper";
        case ArpSenderKind::Neighbour:
            return "neighbour";
        case ArpSenderKind::Automatic:
            break;
    }
    return "automatic";
}

}  // namespace talvik
