// SPDX-License-Identifier: GPL-3.0-or-later
// The probe workers: one target each, off the user-interface thread. None of it touches the
// engine; results travel as closures through the queue.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "scan/Address.h"
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

unsigned ProbeWorker(const std::shared_ptr<ScanRun>& run, int index, bool again) {
    ScanTarget target = run->targets[static_cast<std::size_t>(index)];
    std::stop_token stop = run->stop.get_token();
    if (const int name = run->nameOf[static_cast<std::size_t>(index)]; name >= 0 && !again) {
        std::optional<std::uint32_t> found;
        if (!run->names->Await(static_cast<std::size_t>(name), stop, found)) {
            return 0;  // stopped while its name was being looked up
        }
        target.address = found.value_or(kUnresolvedAddress);
        // Its own record only; a worker that asks it again starts after this one has ended.
        run->targets[static_cast<std::size_t>(index)].address = target.address;
    }
    std::string status;
    char macText[20] = {};
    std::optional<NotAskedReason> notAsked;
    if (target.address != kUnresolvedAddress && IsLoopback(target.address)) {
        // On no segment whatever the sender: nothing is sent, and no MAC stands for it.
        ++run->offLink;
        notAsked = NotAskedReason::Loopback;
    } else if (target.address != kUnresolvedAddress) {
        auto asked = std::chrono::steady_clock::now();
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
                // A sender that had to send again says when; the window counts from there.
                if (const auto resent = run->late->AskedAt(index); resent && *resent > asked) {
                    asked = *resent;
                }
                // Its answer still counts until the window from its request has passed, and
                // never before the sender that asked it can have heard it.
                const auto window = std::max(run->lateWindow, run->arp->LateFloor());
                const std::lock_guard lock(run->lateMutex);
                run->lateUntil = std::max(run->lateUntil, asked + window);
                break;
            }
            case kErrorCancelled:
                break;
            case kErrorHostUnreachable:
                ++run->offLink;
                notAsked = NotAskedReason::OffLink;
                break;
            case kErrorNetworkUnreachable:
                ++run->linkDown;
                notAsked = NotAskedReason::LinkDown;
                break;
            case kErrorAccessDenied:
                ++run->refused;
                notAsked = NotAskedReason::Refused;
                break;
            case kErrorTooManyOpenFiles:
                ++run->descriptors;
                notAsked = NotAskedReason::NoResources;
                break;
            case kErrorHelperLost:
                ++run->helperLost;
                notAsked = NotAskedReason::HelperLost;
                break;
            default:
                ++run->failed;
                notAsked = NotAskedReason::Failed;
                break;
        }
    }
    if (stop.stop_requested()) {
        return 0;  // it would be dropped on arrival anyway
    }
    try {
        std::lock_guard lock(g_resultLock);
        if (!again) {
            const auto confirmedBefore =
                status.empty() ? std::nullopt : run->late->ConfirmedBefore(index);
            run->ui->Post([guard = run->guard, generation = run->generation, index,
                           row = target.row, status = std::move(status), mac = std::string(macText),
                           notAsked, confirmedBefore] {
                EngineGuard::ApplyResult(guard, generation, index, row, status, mac, notAsked,
                                         confirmedBefore);
            });
        } else if (!status.empty()) {
            // Reaches the row as any late answer does: it has had its progress step.
            run->ui->Post([guard = run->guard, generation = run->generation, index,
                           row = target.row, mac = std::string(macText)] {
                EngineGuard::ApplyLate(guard, generation, index, row, mac);
            });
        } else if (notAsked) {
            run->ui->Post([guard = run->guard, generation = run->generation, index,
                           row = target.row, why = *notAsked] {
                EngineGuard::ApplyNotAsked(guard, generation, index, row, why);
            });
        }
    } catch (...) {
        // Nowhere to report it; the row keeps its empty cells.
    }
    return 0;
}

}  // namespace talvik
