// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/NetworkIdentity.h"

#include <arpa/inet.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/LinkInterfaces.h"

namespace talvik {

namespace {

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

std::optional<unsigned long> Hex(const std::string& text) {
    if (text.empty() || text.size() > 8 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoul(text, nullptr, 16);
}

std::string ReadAll(const char* path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::optional<std::uint32_t> DefaultGateway(std::string_view procRoute,
                                            std::string_view interfaceName) {
    std::istringstream in{std::string(procRoute)};
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        const auto words = Words(line);
        // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
        if (words.size() < 8 || words[0] != interfaceName) {
            continue;
        }
        const auto destination = Hex(words[1]);
        const auto gateway = Hex(words[2]);
        const auto flags = Hex(words[3]);
        const auto mask = Hex(words[7]);
        constexpr unsigned long kUp = 0x1;
        constexpr unsigned long kGateway = 0x2;
        if (destination && gateway && flags && mask && *destination == 0 && *mask == 0 &&
            (*flags & kUp) != 0 && (*flags & kGateway) != 0) {
            // The kernel prints the address as it lies in memory, in network byte order.
            return ntohl(static_cast<std::uint32_t>(*gateway));
        }
    }
    return std::nullopt;
}

std::optional<MacAddress> NeighbourMac(std::string_view procArp, std::uint32_t address,
                                       std::string_view interfaceName) {
    std::istringstream in{std::string(procArp)};
    std::string line;
    std::getline(in, line);
    in_addr raw{};
    raw.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    const std::string wanted = inet_ntop(AF_INET, &raw, text, sizeof text) ? text : "";
    while (std::getline(in, line)) {
        // IP address, HW type, Flags, HW address, Mask, Device
        const auto words = Words(line);
        if (words.size() < 6 || words[0] != wanted || words[5] != interfaceName) {
            continue;
        }
        constexpr unsigned long kComplete = 0x2;
        const auto flags = Hex(words[2].substr(words[2].rfind('x') + 1));
        MacAddress mac{};
        unsigned parts[6] = {};
        if (!flags || (*flags & kComplete) == 0 ||
            std::sscanf(words[3].c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &parts[0], &parts[1],
                        &parts[2], &parts[3], &parts[4], &parts[5]) != 6) {
            continue;
        }
        for (std::size_t i = 0; i < mac.size(); ++i) {
            mac[i] = static_cast<std::uint8_t>(parts[i]);
        }
        return mac;
    }
    return std::nullopt;
}

std::optional<ScannedNetwork> NetworkOf(std::uint32_t target) {
    const auto interfaces = ReadLinkInterfaces();
    if (!interfaces) {
        return std::nullopt;
    }
    const LinkChoice choice = ChooseRoute(*interfaces, target);
    if (choice.verdict == LinkVerdict::NotOnLink) {
        return std::nullopt;
    }
    ScannedNetwork network;
    network.interfaceName = choice.link.name;
    network.address = choice.link.address;
    network.prefixLength = choice.link.prefixLength;
    network.gateway = DefaultGateway(ReadAll("/proc/net/route"), network.interfaceName);
    return network;
}

std::optional<MacAddress> KernelNeighbourMac(std::uint32_t address,
                                             const std::string& interfaceName) {
    return NeighbourMac(ReadAll("/proc/net/arp"), address, interfaceName);
}

}  // namespace talvik
