// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one place where the bench picks the operating-system side of the engine.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "cli/HeadlessPorts.h"
#include "scan/Ports.h"
#include "scan/ScanEngine.h"

namespace talvik::headless {

struct PlatformRequest {
    std::string sender = "auto";  // one of SenderKinds()
    std::string schedule;         // "0,75,150/300": the packet sender's retries; empty: default
    long neighbourGiveUpMs = -1;  // the neighbour-table sender's wait; -1: default
    // The senders' log lines; unset: standard error (ArpSenderOptions::log).
    std::function<void(const std::string&)> log;
};

struct PlatformParts {
    std::shared_ptr<IThreads> threads;
    std::shared_ptr<INameResolver> resolver;
    std::shared_ptr<IArpSender> arp;
    std::string chosen;  // the sender kind that was made
    std::string notice;  // what the user is told once about the sender, or nothing
};

// The names --sender accepts, for the usage text.
const char* SenderKinds();

// The threads, resolver and ARP sender asked for, or nothing with `error` telling why.
std::optional<PlatformParts> MakePlatform(const PlatformRequest& request, std::string& error);

// The engine's ports: the headless window's and the platform's, without the sender notice.
EnginePorts PortsFor(HeadlessWindow& window, const PlatformParts& platform);

// An engine made on the window's user-interface thread, as the window makes it, with the
// settings a run asks for.
std::unique_ptr<ScanEngine> MakeEngine(HeadlessWindow& window, const EnginePorts& ports,
                                       int workers, int networkCondition);

}  // namespace talvik::headless
