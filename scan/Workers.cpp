// SPDX-License-Identifier: GPL-3.0-or-later
// The probe workers: one target each, off the user-interface thread. None of it touches the
// engine; results travel as closures through the queue.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "scan/ScanRun.h"

namespace talvik {

std::uint32_t ArpProbe(IArpSender& sender, std::uint32_t address, char* text, std::int32_t size,
                       std::stop_token stop, const LateTag& late) {
    std::uint8_t mac[8] = {};
    std::uint32_t length = 6;
    const std::uint32_t result = sender.SendARP(address, mac, &length, std::move(stop), late);
    // The length handed back is not consulted: bytes the sender did not fill stay zero.
    if (result == kNoError && size > 18 && text != nullptr) {
        std::snprintf(text, static_cast<std::size_t>(size), kMacFormat, mac[0], mac[1], mac[2],
                      mac[3], mac[4], mac[5]);
    }
    return result;
}

unsigned ProbeWorker(const std::shared_ptr<ScanRun>& run, int index) {
    const ScanTarget target = run->targets[static_cast<std::size_t>(index)];
    std::stop_token stop = run->stop.get_token();
    std::string status;
    char macText[20] = {};
    if (target.address != kUnresolvedAddress) {
        const auto asked = std::chrono::steady_clock::now();
        std::uint32_t result = kErrorGenFailure;
        try {
            result = ArpProbe(*run->arp, target.address, macText, sizeof macText, stop,
                              LateTag{run->late, index});
        } catch (...) {
            macText[0] = '\0';
        }
        // Only a target that was asked and did not answer is a silent host; whatever kept a
        // probe from being made is counted, so the scan cannot end as if all went well.
        switch (result) {
            case kNoError:
                status = kRunning;
                break;
            case kErrorBadNetName: {
                // Its answer still counts until the window from its first request has passed.
                const std::lock_guard lock(run->lateMutex);
                run->lateUntil = std::max(run->lateUntil, asked + run->lateWindow);
                break;
            }
            case kErrorCancelled:
                break;
            case kErrorHostUnreachable:
                ++run->offLink;
                break;
            case kErrorNetworkUnreachable:
                ++run->linkDown;
                break;
            case kErrorAccessDenied:
                ++run->refused;
                break;
            case kErrorTooManyOpenFiles:
                ++run->descriptors;
                break;
            default:
                ++run->failed;
                break;
        }
    }
    if (stop.stop_requested()) {
        return 0;  // it would be dropped on arrival anyway
    }
    try {
        std::lock_guard lock(g_resultLock);
        run->ui->Post([guard = run->guard, generation = run->generation, index, row = target.row,
                       status = std::move(status), mac = std::string(macText)] {
            EngineGuard::ApplyResult(guard, generation, index, row, status, mac);
        });
    } catch (...) {
        // Nowhere to report it; the row keeps its empty cells.
    }
    return 0;
}

}  // namespace talvik
