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
//
// A helper started with --wire serves one interface's wire instead. After its greeting it takes
// exactly one request, op 5, whose id is the interface's index (target and the last eight bytes
// zero), and answers it with one 16-byte record: that id, status 0 and the interface's MAC, or
// the errno that refuses it (ENODEV unknown, ENETDOWN down, EADDRNOTAVAIL no IPv4 address or no
// ARP) after which it exits. From then on it writes 48-byte wire records: each ARP frame heard
// on that interface (kWireHeard: when, on CLOCK_MONOTONIC in ns, and the frame's fields; value
// the frames lost since the record before), the result of each ask in the order asked
// (kWireAsked, value 0 or the errno of a frame that did not leave), and kWireEnded (value the
// errno) when it can hear nothing more. The client asks with op 6: id the wire's interface index
// (another is refused with EINVAL), target, then a MAC and one byte, 1 to send the request to
// that MAC alone or 0 to broadcast it (the MAC then zero), and a zero byte. Only who-has requests
// from the interface's own address and MAC can be asked for; the wire ends when the client
// closes its end.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "scan/ArpWire.h"
#include "scan/FullIo.h"

namespace talvik {

inline constexpr std::uint32_t kHelperProbe = 1;
inline constexpr std::uint32_t kHelperCancel = 2;
inline constexpr std::uint32_t kHelperSweep = 3;
inline constexpr std::uint32_t kHelperRemember = 4;
inline constexpr std::uint32_t kHelperWireOpen = 5;
inline constexpr std::uint32_t kHelperWireAsk = 6;
// No error codes of the system.
inline constexpr std::uint32_t kHelperLateAnswer = 0x4C415445u;
inline constexpr std::uint32_t kHelperSwept = 0x53574550u;
inline constexpr std::size_t kHelperRequestSize = 20;
inline constexpr std::size_t kHelperReplySize = 16;
inline constexpr std::uint32_t kWireHeard = 0x48454152u;
inline constexpr std::uint32_t kWireAsked = 0x41534b44u;
inline constexpr std::uint32_t kWireEnded = 0x454e4444u;
inline constexpr std::size_t kWireRecordSize = 48;

struct HelperRequest {
    std::uint32_t op = 0;
    std::uint32_t id = 0;
    std::uint32_t target = 0;
    std::uint32_t windowMs = 0;         // op 1
    std::uint16_t workers = 0;          // op 1
    std::uint16_t scan = 0;             // op 1: probes of one scan share its pace
    std::array<std::uint8_t, 6> mac{};  // op 4, op 6 when unicast
    bool unicast = false;               // op 6
};

struct HelperReply {
    std::uint32_t id = 0;
    std::uint32_t status = 0;
    std::array<std::uint8_t, 6> mac{};
};

std::array<std::uint8_t, kHelperRequestSize> EncodeHelperRequest(const HelperRequest& request);
// Nothing for an unknown op or the id 0, which only the greeting carries, an op 4 whose last two
// bytes are not zero, an op 5 with anything beyond its id, or an op 6 with a kind of frame other
// than the two or a MAC on a broadcast.
std::optional<HelperRequest> DecodeHelperRequest(
    std::span<const std::uint8_t, kHelperRequestSize> bytes);

std::array<std::uint8_t, kHelperReplySize> EncodeHelperReply(const HelperReply& reply);
// Nothing when the padding is not zero, or a late answer or the end of a sweep has the id 0.
std::optional<HelperReply> DecodeHelperReply(std::span<const std::uint8_t, kHelperReplySize> bytes);

struct WireRecord {
    std::uint32_t kind = 0;
    std::uint32_t value = 0;
    HeardArp frame{};  // kWireHeard only
};

std::array<std::uint8_t, kWireRecordSize> EncodeWireRecord(const WireRecord& record);
// Nothing for an unknown kind, a heard frame with the opcode 0, or bytes beyond what the kind
// carries that are not zero.
std::optional<WireRecord> DecodeWireRecord(std::span<const std::uint8_t, kWireRecordSize> bytes);

}  // namespace talvik
