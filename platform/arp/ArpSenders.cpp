// SPDX-License-Identifier: GPL-3.0-or-later
#include "arp/ArpSenders.h"

#include <cstdio>
#include <utility>

#include "arp/LinkWatchingSender.h"
#include "arp/MendingHelperSender.h"
#include "arp/PacketArpSender.h"
#include "scan/ScanTypes.h"

namespace talvik {
namespace {

using namespace std::chrono_literals;

std::shared_ptr<IArpSender> MakePacket(const ArpSenderOptions& options) {
    PacketArpSender::Options packet;
    packet.schedule = options.schedule;
    return PacketArpSender::Create(PacketArpSender::OpenSocket(), packet);
}

std::string WithPath(std::string_view text, const std::string& path) {
    const std::size_t at = text.find("%1");
    return std::string(text.substr(0, at)) + path + std::string(text.substr(at + 2));
}

}  // namespace

const char* const kInstalledHelperPath = TALVIK_HELPER_INSTALL_PATH;

std::shared_ptr<IArpSender> MakeArpSender(const ArpSenderOptions& options, ArpSenderKind* chosen,
                                          std::uint32_t* helperWhy, std::string* helperTried) {
    std::shared_ptr<IArpSender> sender;
    ArpSenderKind kind = options.kind;
    std::uint32_t why = kNoError;
    std::string tried;
    switch (options.kind) {
        case ArpSenderKind::Packet:
            sender = MakePacket(options);
            break;
        case ArpSenderKind::Helper:
            sender = MakeMendingHelper(options, why, tried);
            break;
        case ArpSenderKind::Neighbour:
            sender = std::make_shared<NeighbourArpSender>(options.neighbour);
            break;
        case ArpSenderKind::Automatic:
            if ((sender = MakePacket(options))) {
                kind = ArpSenderKind::Packet;
            } else if ((sender = MakeMendingHelper(options, why, tried))) {
                kind = ArpSenderKind::Helper;
            } else {
                SenderLog(options, std::string("the ARP helper cannot serve (") +
                                       HelperReasonName(why) +
                                       "); asking through the kernel's neighbour table");
                sender = std::make_shared<NeighbourArpSender>(options.neighbour);
                kind = ArpSenderKind::Neighbour;
            }
            break;
    }
    if (sender) {
        sender = WatchLinks(std::move(sender));
    }
    if (chosen) {
        *chosen = kind;
    }
    if (helperWhy) {
        *helperWhy = kind == ArpSenderKind::Neighbour ? why : kNoError;
    }
    if (helperTried) {
        *helperTried = kind == ArpSenderKind::Neighbour ? tried : std::string();
    }
    return sender;
}

std::string FallbackNotice(ArpSenderKind chosen, std::uint32_t helperWhy,
                           const std::string& helperTried) {
    if (chosen != ArpSenderKind::Neighbour) {
        return {};
    }
    if (helperWhy == kErrorFileNotFound || helperTried.empty()) {
        return std::string(kFallbackMissing) + "\n" + kFallbackNotice + "\n\n" + kFallbackInstall;
    }
    const std::string notice = "\n" + std::string(kFallbackNotice);
    switch (helperWhy) {
        case kErrorNotSupported: {
            // The package's own step gives the capability only to the helper it installs.
            const char* advice =
                helperTried == kInstalledHelperPath ? kFallbackInstallOrSetcap : kFallbackSetcap;
            return WithPath(kFallbackNoCapability, helperTried) + notice + "\n\n" + advice + "\n" +
                   WithPath(kFallbackCommand, helperTried);
        }
        case kErrorAccessDenied:
            return WithPath(kFallbackRefused, helperTried) + notice;
        default:
            return WithPath(kFallbackNotStarted, helperTried) + notice;
    }
}

std::string ArpWayText(ArpSenderKind chosen) {
    switch (chosen) {
        case ArpSenderKind::Packet:
            return kArpWayPacket;
        case ArpSenderKind::Helper:
            return kArpWayHelper;
        case ArpSenderKind::Neighbour:
            return kArpWayNeighbour;
        case ArpSenderKind::Automatic:
            break;
    }
    return {};
}

const char* HelperReasonName(std::uint32_t why) {
    switch (why) {
        case kNoError:
            return "none";
        case kErrorFileNotFound:
            return "not installed";
        case kErrorNotSupported:
            return "no CAP_NET_RAW";
        case kErrorAccessDenied:
            return "packet socket refused";
        default:
            return "did not start";
    }
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
