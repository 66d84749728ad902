// SPDX-License-Identifier: GPL-3.0-or-later
#include "names/GetaddrinfoResolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>

namespace talvik {

std::optional<std::uint32_t> GetaddrinfoResolver::Resolve(const std::string& name) {
    // An embedded zero would silently look up a shorter name than the row shows.
    if (name.empty() || name.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address rather than one per socket type
    addrinfo* found = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr &&
            entry->ai_addrlen >= sizeof(sockaddr_in)) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
            return ntohl(address->sin_addr.s_addr);
        }
    }
    return std::nullopt;
}

}  // namespace talvik
