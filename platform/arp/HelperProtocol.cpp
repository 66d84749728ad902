// SPDX-License-Identifier: GPL-3.0-or-later
#include "arp/HelperProtocol.h"

#include <algorithm>
#include <cstring>

namespace talvik {
namespace {

void Put(std::uint8_t* at, std::uint32_t value) {
    std::memcpy(at, &value, sizeof value);
}

std::uint32_t Get(const std::uint8_t* at) {
    std::uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

}  // namespace

std::array<std::uint8_t, kHelperRequestSize> EncodeHelperRequest(const HelperRequest& request) {
    std::array<std::uint8_t, kHelperRequestSize> bytes{};
    Put(bytes.data(), request.op);
    Put(bytes.data() + 4, request.id);
    Put(bytes.data() + 8, request.target);
    if (request.op == kHelperRemember) {
        std::copy(request.mac.begin(), request.mac.end(), bytes.begin() + 12);
    } else if (request.op == kHelperProbe) {
        Put(bytes.data() + 12, request.windowMs);
        std::memcpy(bytes.data() + 16, &request.workers, sizeof request.workers);
        std::memcpy(bytes.data() + 18, &request.scan, sizeof request.scan);
    }
    return bytes;
}

std::optional<HelperRequest> DecodeHelperRequest(
    std::span<const std::uint8_t, kHelperRequestSize> bytes) {
    HelperRequest request{Get(bytes.data()), Get(bytes.data() + 4), Get(bytes.data() + 8)};
    if (request.op < kHelperProbe || request.op > kHelperRemember || request.id == 0) {
        return std::nullopt;
    }
    if (request.op == kHelperRemember) {
        if (bytes[18] != 0 || bytes[19] != 0) {
            return std::nullopt;
        }
        std::copy_n(bytes.begin() + 12, 6, request.mac.begin());
    } else if (request.op == kHelperProbe) {
        request.windowMs = Get(bytes.data() + 12);
        std::memcpy(&request.workers, bytes.data() + 16, sizeof request.workers);
        std::memcpy(&request.scan, bytes.data() + 18, sizeof request.scan);
    }
    return request;
}

std::array<std::uint8_t, kHelperReplySize> EncodeHelperReply(const HelperReply& reply) {
    std::array<std::uint8_t, kHelperReplySize> bytes{};
    Put(bytes.data(), reply.id);
    Put(bytes.data() + 4, reply.status);
    std::copy(reply.mac.begin(), reply.mac.end(), bytes.begin() + 8);
    return bytes;
}

std::optional<HelperReply> DecodeHelperReply(
    std::span<const std::uint8_t, kHelperReplySize> bytes) {
    if (bytes[14] != 0 || bytes[15] != 0) {
        return std::nullopt;
    }
    HelperReply reply;
    reply.id = Get(bytes.data());
    reply.status = Get(bytes.data() + 4);
    std::copy_n(bytes.begin() + 8, 6, reply.mac.begin());
    if ((reply.status == kHelperLateAnswer || reply.status == kHelperSwept) && reply.id == 0) {
        return std::nullopt;
    }
    return reply;
}

}  // namespace talvik
