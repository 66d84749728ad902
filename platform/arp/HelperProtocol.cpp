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
    if (request.op == kHelperRemember || (request.op == kHelperWireAsk && request.unicast)) {
        std::copy(request.mac.begin(), request.mac.end(), bytes.begin() + 12);
        bytes[18] = request.op == kHelperWireAsk ? 1 : 0;
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
    if (request.op < kHelperProbe || request.op > kHelperWireAsk || request.id == 0) {
        return std::nullopt;
    }
    const auto zeroFrom = [&](std::size_t from) {
        return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                           [](std::uint8_t b) { return b == 0; });
    };
    if (request.op == kHelperWireOpen) {
        return zeroFrom(8) ? std::optional(request) : std::nullopt;
    }
    if (request.op == kHelperWireAsk) {
        if (bytes[19] != 0 || bytes[18] > 1 || (bytes[18] == 0 && !zeroFrom(12))) {
            return std::nullopt;
        }
        request.unicast = bytes[18] == 1;
        std::copy_n(bytes.begin() + 12, 6, request.mac.begin());
        return request;
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

std::array<std::uint8_t, kWireRecordSize> EncodeWireRecord(const WireRecord& record) {
    std::array<std::uint8_t, kWireRecordSize> bytes{};
    Put(bytes.data(), record.kind);
    Put(bytes.data() + 4, record.value);
    if (record.kind != kWireHeard) {
        return bytes;
    }
    const HeardArp& frame = record.frame;
    const std::int64_t when =
        std::chrono::duration_cast<std::chrono::nanoseconds>(frame.when.time_since_epoch()).count();
    std::memcpy(bytes.data() + 8, &when, sizeof when);
    std::memcpy(bytes.data() + 16, &frame.opcode, sizeof frame.opcode);
    std::copy(frame.frameSource.begin(), frame.frameSource.end(), bytes.begin() + 18);
    std::copy(frame.senderMac.begin(), frame.senderMac.end(), bytes.begin() + 24);
    std::copy(frame.targetMac.begin(), frame.targetMac.end(), bytes.begin() + 30);
    Put(bytes.data() + 36, frame.senderAddress);
    Put(bytes.data() + 40, frame.targetAddress);
    return bytes;
}

std::optional<WireRecord> DecodeWireRecord(std::span<const std::uint8_t, kWireRecordSize> bytes) {
    WireRecord record;
    record.kind = Get(bytes.data());
    record.value = Get(bytes.data() + 4);
    const auto zeroFrom = [&](std::size_t from) {
        return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                           [](std::uint8_t b) { return b == 0; });
    };
    if (record.kind == kWireAsked || record.kind == kWireEnded) {
        return zeroFrom(8) ? std::optional(record) : std::nullopt;
    }
    if (record.kind != kWireHeard || !zeroFrom(44)) {
        return std::nullopt;
    }
    HeardArp& frame = record.frame;
    std::int64_t when;
    std::memcpy(&when, bytes.data() + 8, sizeof when);
    frame.when = std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::nanoseconds(when)));
    std::memcpy(&frame.opcode, bytes.data() + 16, sizeof frame.opcode);
    std::copy_n(bytes.begin() + 18, 6, frame.frameSource.begin());
    std::copy_n(bytes.begin() + 24, 6, frame.senderMac.begin());
    std::copy_n(bytes.begin() + 30, 6, frame.targetMac.begin());
    frame.senderAddress = Get(bytes.data() + 36);
    frame.targetAddress = Get(bytes.data() + 40);
    if (frame.opcode == 0) {
        return std::nullopt;
    }
    return record;
}

}  // namespace talvik
