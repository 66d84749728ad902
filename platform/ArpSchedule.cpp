// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/ArpSchedule.h"

#include <charconv>

namespace talvik {
namespace {

std::optional<long> ParseMilliseconds(std::string_view text) {
    long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < 0 || value > 1000000) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

bool ArpSchedule::Valid() const {
    if (sends.empty() || sends.size() > kMaxSends || sends.front().count() != 0 ||
        giveUp > kMaxGiveUp) {
        return false;
    }
    for (std::size_t i = 1; i < sends.size(); ++i) {
        if (sends[i] <= sends[i - 1]) {
            return false;
        }
    }
    return sends.back() < giveUp;
}

std::string ArpSchedule::ToText() const {
    // Appended piece by piece: GCC 12 at -O3 warns falsely about a literal + std::string.
    std::string text;
    for (std::size_t i = 0; i < sends.size(); ++i) {
        if (i) {
            text += ',';
        }
        text += std::to_string(sends[i].count());
    }
    text += '/';
    text += std::to_string(giveUp.count());
    return text;
}

std::optional<ArpSchedule> ArpSchedule::FromText(std::string_view text) {
    const auto slash = text.find('/');
    if (slash == std::string_view::npos) {
        return std::nullopt;
    }
    ArpSchedule schedule;
    schedule.sends.clear();
    std::string_view offsets = text.substr(0, slash);
    while (schedule.sends.size() <= kMaxSends) {
        const auto comma = offsets.find(',');
        const auto value = ParseMilliseconds(offsets.substr(0, comma));
        if (!value) {
            return std::nullopt;
        }
        schedule.sends.emplace_back(*value);
        if (comma == std::string_view::npos) {
            break;
        }
        offsets.remove_prefix(comma + 1);
    }
    const auto giveUp = ParseMilliseconds(text.substr(slash + 1));
    if (!giveUp) {
        return std::nullopt;
    }
    schedule.giveUp = std::chrono::milliseconds(*giveUp);
    if (!schedule.Valid()) {
        return std::nullopt;
    }
    return schedule;
}

SendPacer::SendPacer(int perSecond, int burst)
    : interval_(std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) /
                (perSecond > 0 ? perSecond : 1)),
      allowance_(interval_ * (burst > 1 ? burst - 1 : 0)) {}

SendPacer::Clock::time_point SendPacer::Reserve(Clock::time_point now) {
    if (theoretical_ < now) {
        theoretical_ = now;
    }
    Clock::time_point at = theoretical_ - allowance_;
    if (at < now) {
        at = now;
    }
    theoretical_ += interval_;
    return at;
}

}  // namespace talvik
