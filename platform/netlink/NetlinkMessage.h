// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reading one rtnetlink message: the fixed body after its header, then its attributes. Every
// length is checked against the bytes at hand, since the bytes come from outside.

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace talvik {

// The body of a whole message of `type`; `length` receives the message's own length, within
// which its attributes lie.
template <class Body>
std::optional<Body> NetlinkBody(std::span<const std::uint8_t> message, std::uint16_t type,
                                std::size_t& length) {
    nlmsghdr header;
    if (message.size() < sizeof header) {
        return std::nullopt;
    }
    std::memcpy(&header, message.data(), sizeof header);
    if (header.nlmsg_type != type || header.nlmsg_len > message.size() ||
        header.nlmsg_len < NLMSG_LENGTH(sizeof(Body))) {
        return std::nullopt;
    }
    Body body;
    std::memcpy(&body, message.data() + NLMSG_HDRLEN, sizeof body);
    length = header.nlmsg_len;
    return body;
}

// Hands each attribute after the body to visit(type, payload); false at a malformed one.
template <class Body, class Visit>
bool ForEachAttribute(std::span<const std::uint8_t> message, std::size_t length, Visit&& visit) {
    std::size_t offset = NLMSG_SPACE(sizeof(Body));
    while (offset + sizeof(rtattr) <= length) {
        rtattr attribute;
        std::memcpy(&attribute, message.data() + offset, sizeof attribute);
        if (attribute.rta_len < sizeof attribute || offset + attribute.rta_len > length) {
            return false;
        }
        visit(attribute.rta_type,
              message.subspan(offset + RTA_LENGTH(0), attribute.rta_len - RTA_LENGTH(0)));
        offset += RTA_ALIGN(attribute.rta_len);
    }
    return true;
}

}  // namespace talvik
