// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/PlatformChoice.h"

#include <chrono>

#include "arp/ArpSchedule.h"
#include "arp/ArpSenders.h"
#include "platform/Platform.h"

namespace talvik::headless {

const char* SenderKinds() {
    return "auto|packet|helper|neighbour";
}

std::optional<PlatformParts> MakePlatform(const PlatformRequest& request, std::string& error) {
    ArpSenderOptions options;
    options.log = request.log;
    if (request.sender == "auto") {
        options.kind = ArpSenderKind::Automatic;
    } else if (request.sender == "packet") {
        options.kind = ArpSenderKind::Packet;
    } else if (request.sender == "helper") {
        options.kind = ArpSenderKind::Helper;
    } else if (request.sender == "neighbour") {
        options.kind = ArpSenderKind::Neighbour;
    } else {
        error = "unknown sender kind: " + request.sender;
        return std::nullopt;
    }
    if (!request.schedule.empty()) {
        auto schedule = ArpSchedule::FromText(request.schedule);
        if (!schedule) {
            error = "not a retry schedule (e.g. 0,75,150/300): " + request.schedule;
            return std::nullopt;
        }
        options.schedule = *schedule;
    }
    if (request.neighbourGiveUpMs >= 0) {
        options.neighbour.giveUp = std::chrono::milliseconds(request.neighbourGiveUpMs);
    }

    PlatformParts parts;
    parts.threads = MakeThreads();
    parts.resolver = MakeNameResolver();
    ArpSenderKind chosen = options.kind;
    std::uint32_t helperWhy = kNoError;
    std::string helperTried;
    parts.arp = MakeArpSender(options, &chosen, &helperWhy, &helperTried);
    // Only a choice the program made itself is explained, as the window does.
    if (options.kind == ArpSenderKind::Automatic) {
        parts.notice = FallbackNotice(chosen, helperWhy, helperTried);
    }
    if (!parts.arp) {
        error = std::string("the ") + ArpSenderKindName(options.kind) +
                " sender cannot be had here (no CAP_NET_RAW, or no talvik-arp beside the bench)";
        return std::nullopt;
    }
    parts.chosen = ArpSenderKindName(chosen);
    return parts;
}

EnginePorts PortsFor(HeadlessWindow& window, const PlatformParts& platform) {
    EnginePorts ports;
    ports.list = &window.list;
    ports.progress = &window.progress;
    ports.commands = &window.commands;
    ports.messages = &window.messages;
    ports.ui = window.ui;
    ports.resolver = platform.resolver;
    ports.threads = platform.threads;
    ports.arp = platform.arp;
    return ports;
}

std::unique_ptr<ScanEngine> MakeEngine(HeadlessWindow& window, const EnginePorts& ports,
                                       int workers, int networkCondition) {
    return window.ui->Run([&] {
        auto made = std::make_unique<ScanEngine>(ports);
        made->ResetScanState();
        made->Settings().workerLimit = workers;
        made->Settings().networkCondition = networkCondition;
        return made;
    });
}

}  // namespace talvik::headless
