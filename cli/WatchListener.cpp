// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/WatchListener.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace talvik::cli {

store::Millis NowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string DashedMac(const std::array<std::uint8_t, 6>& m) {
    char text[18];
    std::snprintf(text, sizeof text, "%.2x-%.2x-%.2x-%.2x-%.2x-%.2x", m[0], m[1], m[2], m[3], m[4],
                  m[5]);
    return text;
}

namespace {

constexpr std::chrono::milliseconds kGather(20);

}  // namespace

Listener::Listener(IArpWires& wires, std::unique_ptr<IArpWire> wire, Inbox& inbox)
    : name_(wire->Interface()),
      inbox_(inbox),
      ear_(
          wires, std::move(wire), [this](const std::vector<HeardArp>& frames) { Heard(frames); },
          [this](const EarNote& note) { Said(note); }, kGather) {}

void Listener::Heard(const std::vector<HeardArp>& frames) {
    // Each frame at the time it reached the wire, not the time it was read.
    const auto steadyNow = Clock::now();
    const store::Millis now = NowMillis();
    for (const HeardArp& frame : frames) {
        const auto age =
            std::chrono::duration_cast<std::chrono::milliseconds>(steadyNow - frame.when).count();
        inbox_.Put({Item::Kind::Frame,
                    name_,
                    {frame.senderAddress, DashedMac(frame.senderMac), {}},
                    now - std::max<std::int64_t>(age, 0),
                    {},
                    {}});
    }
}

void Listener::Said(const EarNote& note) {
    std::string text;
    switch (note.kind) {
        case EarNote::Kind::HelperEnded:
            text =
                Format(Tr("the helper that listens on %s ended; starting it again"), name_.c_str());
            break;
        case EarNote::Kind::ListeningAgain:
            text = Format(Tr("listening on %s again"), name_.c_str());
            break;
        case EarNote::Kind::CannotListen:
            // A link that went down is told as an event of its own.
            if (note.error == ENODEV || note.error == ENETDOWN) {
                return;
            }
            text = Format(Tr("cannot listen on %s for now: %s"), name_.c_str(), note.why.c_str());
            break;
        case EarNote::Kind::FramesLost:
            text = Format(Tr("%llu ARP frames on %s were lost to a flood"),
                          static_cast<unsigned long long>(note.lost), name_.c_str());
            break;
    }
    inbox_.Put({Item::Kind::Note, name_, {}, 0, {}, std::move(text)});
}

}  // namespace talvik::cli
