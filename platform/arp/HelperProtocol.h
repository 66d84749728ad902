// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The records the engine and talvik-arp exchange over their socket pair. Both ends run on the
// same machine from the same build, so fields are in native byte order.
//
// Engine to helper, 20 bytes: op, id, target (IPv4, host order), then eight bytes that depend
// on op. op 1 asks for target under a fresh id, with the scan's late window in ms, its worker
// limit (0 for either: not said) and a number that tells its scan from the one before, by which
// the helper asks a silent target again while the scan listens; op 2 gives up the probe with that
// id; op 3 asks for the other hosts heard for the answered probe with that id, then gives it up; op
// 4 (any id, no answer) tells the MAC last seen at target, six bytes and two zero bytes. Helper to
// engine, 16 bytes: id, status, six MAC bytes, two zero bytes. The first record the helper writes
// has id 0: status kNoError once it holds its socket and has dropped every privilege, otherwise why
// it cannot serve (it then exits). Every probe gets exactly one answer, a given-up one too
// (kErrorCancelled). A probe that ended silent is still listened for until op 2 names it: a reply
// from its target then comes as one more record with status kHelperLateAnswer and the MAC; it may
// overtake the probe's own answer. An answered probe is listened for too, for other hosts answering
// in its target's name: op 3 brings one late record for each, then one with status kHelperSwept,
// after which nothing more comes for that id.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "scan/FullIo.h"

namespace talvik {

inline constexpr std::uint32_t kHelperProbe = 1;
inline constexpr std::uint32_t kHelperCancel = 2;
inline constexpr std::uint32_t kHelperSweep = 3;
inline constexpr std::uint32_t kHelperRemember = 4;
// No error codes of the system.
inline constexpr std::uint32_t kHelperLateAnswer = 0x4C415445u;
inline constexpr std::uint32_t kHelperSwept = 0x53574550u;
inline constexpr std::size_t kHelperRequestSize = 20;
inline constexpr std::size_t kHelperReplySize = 16;

struct HelperRequest {
    std::uint32_t op = 0;
    std::uint32_t id = 0;
    std::uint32_t target = 0;
    std::uint32_t windowMs = 0;         // op 1
    std::uint16_t workers = 0;          // op 1
    std::uint16_t scan = 0;             // op 1: probes of one scan share its pace
    std::array<std::uint8_t, 6> mac{};  // op 4
};

struct HelperReply {
    std::uint32_t id = 0;
    std::uint32_t status = 0;
    std::array<std::uint8_t, 6> mac{};
};

std::array<std::uint8_t, kHelperRequestSize> EncodeHelperRequest(const HelperRequest& request);
// Nothing for an unknown op or the id 0, which only the greeting carries, or an op 4 whose last
// two bytes are not zero.
std::optional<HelperRequest> DecodeHelperRequest(
    std::span<const std::uint8_t, kHelperRequestSize> bytes);

std::array<std::uint8_t, kHelperReplySize> EncodeHelperReply(const HelperReply& reply);
// Nothing when the padding is not zero, or a late answer or the end of a sweep has the id 0.
std::optional<HelperReply> DecodeHelperReply(std::span<const std::uint8_t, kHelperReplySize> bytes);

}  // namespace talvik
