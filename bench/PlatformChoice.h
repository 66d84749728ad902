#pragma once
// The one place where the bench picks the operating-system side of the engine.

#include <memory>
#include <optional>
#include <string>

#include "scan/Ports.h"

namespace talvik::bench {

struct PlatformParts {
    std::shared_ptr<IThreads> threads;
    std::shared_ptr<INameResolver> resolver;
    std::shared_ptr<IArpSender> arp;
};

// The names --sender accepts, for the usage text.
const char* SenderKinds();

// The threads, resolver and ARP sender of the given kind, or nothing with `error` telling why.
std::optional<PlatformParts> MakePlatform(const std::string& senderKind, std::string& error);

}  // namespace talvik::bench
