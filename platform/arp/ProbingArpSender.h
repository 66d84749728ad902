// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>

#include "arp/ArpFrame.h"
#include "scan/Ports.h"

namespace talvik {

// What every sender does around a probe: the caller's buffer checked, a scan that has stopped
// not asked, and the answer's MAC handed out only with kNoError.
class ProbingArpSender : public IArpSender {
public:
    std::uint32_t SendARP(std::uint32_t destinationHostOrder, std::uint8_t* mac,
                          std::uint32_t* length, std::stop_token stop,
                          const LateTag& late = {}) final {
        if (mac == nullptr || length == nullptr || *length < 6) {
            return kErrorInvalidParameter;
        }
        if (stop.stop_requested()) {
            return kErrorCancelled;
        }
        MacAddress answer{};
        const std::uint32_t status = Probe(destinationHostOrder, answer, std::move(stop), late);
        if (status == kNoError) {
            std::ranges::copy(answer, mac);
            *length = 6;
        }
        return status;
    }

protected:
    // As SendARP, for a scan still running; `answer` counts only with kNoError.
    virtual std::uint32_t Probe(std::uint32_t destinationHostOrder, MacAddress& answer,
                                std::stop_token stop, const LateTag& late) = 0;
};

}  // namespace talvik
