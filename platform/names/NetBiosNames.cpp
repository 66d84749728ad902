// SPDX-License-Identifier: GPL-3.0-or-later
#include "names/NetBiosNames.h"

#include <arpa/inet.h>
#include <iconv.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <random>

#include "os/UniqueFd.h"

namespace talvik {
namespace {

constexpr std::uint16_t kTypeNodeStatus = 0x0021;
constexpr std::uint16_t kClassInternet = 0x0001;
constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kEntrySize = 18;  // 15 name bytes, the suffix, two bytes of flags
constexpr std::uint16_t kGroupFlag = 0x8000;
constexpr std::uint16_t kActiveFlag = 0x0400;

std::uint16_t Read16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

// Skips the encoded name at `at` (labels, or a pointer to them); nothing when it runs out.
std::optional<std::size_t> SkipName(std::span<const std::uint8_t> bytes, std::size_t at) {
    while (at < bytes.size()) {
        const std::uint8_t length = bytes[at];
        if ((length & 0xC0) == 0xC0) {
            return at + 2 <= bytes.size() ? std::optional(at + 2) : std::nullopt;
        }
        if (length == 0) {
            return at + 1;
        }
        at += 1u + length;
    }
    return std::nullopt;
}

std::optional<std::string> FromGb18030(const std::string& text) {
    const iconv_t convert = iconv_open("UTF-8", "GB18030");
    if (convert == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    std::string in = text;
    std::string out(in.size() * 4, '\0');
    char* from = in.data();
    char* to = out.data();
    std::size_t left = in.size();
    std::size_t room = out.size();
    const std::size_t done = iconv(convert, &from, &left, &to, &room);
    iconv_close(convert);
    if (done == static_cast<std::size_t>(-1) || left != 0) {
        return std::nullopt;
    }
    out.resize(out.size() - room);
    return out;
}

}  // namespace

std::array<std::uint8_t, 50> BuildNodeStatusRequest(std::uint16_t id) {
    std::array<std::uint8_t, 50> request{};
    request[0] = static_cast<std::uint8_t>(id >> 8);
    request[1] = static_cast<std::uint8_t>(id);
    // Flags 0: a query, not recursive, not broadcast. One question.
    request[5] = 1;
    // "*" padded with zeros to 16 bytes, each half byte written as a letter from 'A'.
    request[12] = 32;
    std::array<std::uint8_t, 16> name{};
    name[0] = '*';
    for (std::size_t i = 0; i < name.size(); ++i) {
        request[13 + 2 * i] = static_cast<std::uint8_t>('A' + (name[i] >> 4));
        request[14 + 2 * i] = static_cast<std::uint8_t>('A' + (name[i] & 0x0F));
    }
    request[45] = 0;  // the root label: no scope
    request[47] = kTypeNodeStatus;
    request[49] = kClassInternet;
    return request;
}

std::optional<NodeStatus> ParseNodeStatusReply(std::span<const std::uint8_t> datagram,
                                               std::uint16_t id) {
    if (datagram.size() < kHeaderSize || Read16(datagram, 0) != id) {
        return std::nullopt;
    }
    const std::uint16_t flags = Read16(datagram, 2);
    const bool response = (flags & 0x8000) != 0;
    const int opcode = (flags >> 11) & 0x0F;
    const int rcode = flags & 0x0F;
    if (!response || opcode != 0 || rcode != 0 || Read16(datagram, 6) == 0) {
        return std::nullopt;
    }
    // Questions are not repeated in a node status response, but are skipped if they are.
    std::size_t at = kHeaderSize;
    for (std::uint16_t q = Read16(datagram, 4); q > 0; --q) {
        const auto after = SkipName(datagram, at);
        if (!after || *after + 4 > datagram.size()) {
            return std::nullopt;
        }
        at = *after + 4;
    }
    const auto afterName = SkipName(datagram, at);
    if (!afterName || *afterName + 10 > datagram.size()) {
        return std::nullopt;
    }
    at = *afterName;
    if (Read16(datagram, at) != kTypeNodeStatus || Read16(datagram, at + 2) != kClassInternet) {
        return std::nullopt;
    }
    const std::size_t length = Read16(datagram, at + 8);
    at += 10;
    if (length < 1 || at + length > datagram.size()) {
        return std::nullopt;
    }
    const auto data = datagram.subspan(at, length);
    const std::size_t count = data[0];
    if (1 + count * kEntrySize > data.size()) {
        return std::nullopt;
    }
    NodeStatus status;
    for (std::size_t i = 0; i < count; ++i) {
        const auto entry = data.subspan(1 + i * kEntrySize, kEntrySize);
        NetBiosName name;
        name.name.assign(entry.begin(), entry.begin() + 15);
        while (!name.name.empty() && (name.name.back() == ' ' || name.name.back() == '\0')) {
            name.name.pop_back();
        }
        name.suffix = entry[15];
        const std::uint16_t nameFlags = Read16(entry, 16);
        name.group = (nameFlags & kGroupFlag) != 0;
        name.active = (nameFlags & kActiveFlag) != 0;
        status.names.push_back(std::move(name));
    }
    // The statistics after the table start with the unit id.
    const std::size_t statistics = 1 + count * kEntrySize;
    if (statistics + 6 <= data.size()) {
        MacAddress unit{};
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(statistics), 6, unit.begin());
        status.unitId = unit;
    }
    return status;
}

std::optional<std::string> HostNameOf(const NodeStatus& status) {
    const NetBiosName* chosen = nullptr;
    for (const auto& name : status.names) {
        if (name.group || !name.active || name.name.empty()) {
            continue;
        }
        if (name.suffix == 0x00) {
            chosen = &name;
            break;
        }
        if (!chosen) {
            chosen = &name;
        }
    }
    if (!chosen) {
        return std::nullopt;
    }
    const std::string& name = chosen->name;
    const bool ascii = std::ranges::all_of(name, [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte < 0x7F;
    });
    if (ascii) {
        return name;
    }
    const auto text = FromGb18030(name);
    if (!text ||
        std::ranges::any_of(*text, [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
        return std::nullopt;
    }
    return text;
}

std::optional<std::string> NetBiosNames::NameOf(std::uint32_t address, std::stop_token stop) {
    const UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.Valid() || stop.stop_requested()) {
        return std::nullopt;
    }
    sockaddr_in host{};
    host.sin_family = AF_INET;
    host.sin_port = htons(kNetBiosNamePort);
    host.sin_addr.s_addr = htonl(address);
    // A connected socket hears only from the host asked.
    if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&host), sizeof host) != 0) {
        return std::nullopt;
    }
    static std::atomic<std::uint16_t> next{static_cast<std::uint16_t>(std::random_device{}())};
    const std::uint16_t id = next.fetch_add(1);
    const auto request = BuildNodeStatusRequest(id);

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end = start + timeout_;
    // A second query halfway, for a datagram lost on the way.
    auto nextSend = start;
    int sent = 0;
    // Room for any UDP datagram: a node status reply may list 255 names (over 4,600 bytes), and
    // a datagram cut short would be dropped as malformed.
    std::vector<std::uint8_t> buffer(std::size_t{1} << 16);
    while (!stop.stop_requested()) {
        const auto now = Clock::now();
        if (now >= end) {
            break;
        }
        if (sent < 2 && now >= nextSend) {
            if (::send(socket.Get(), request.data(), request.size(), MSG_NOSIGNAL) < 0 &&
                errno != EINTR) {
                return std::nullopt;  // no route, or refused at once
            }
            ++sent;
            nextSend = start + timeout_ / 2;
        }
        // Short slices, so that a stop is heard soon.
        const auto wait =
            std::min({end, sent < 2 ? nextSend : end, now + std::chrono::milliseconds(50)});
        pollfd ready{socket.Get(), POLLIN, 0};
        const int polled = ::poll(
            &ready, 1,
            static_cast<int>(std::max<std::int64_t>(
                1, std::chrono::duration_cast<std::chrono::milliseconds>(wait - now).count())));
        if (polled <= 0) {
            continue;
        }
        // Everything that waits is read, so that datagrams that are not our answer (another
        // transaction, junk) cannot hold it back.
        for (;;) {
            const ssize_t got = ::recv(socket.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got < 0) {
                // Nobody serves NetBIOS there (port unreachable), or the host is gone.
                if (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH) {
                    return std::nullopt;
                }
                break;
            }
            if (const auto status = ParseNodeStatusReply(
                    std::span(buffer.data(), static_cast<std::size_t>(got)), id)) {
                return HostNameOf(*status);
            }
        }
    }
    return std::nullopt;
}

}  // namespace talvik
