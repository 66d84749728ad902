// SPDX-License-Identifier: GPL-3.0-or-later
#include "arp/MendingHelperSender.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "arp/HelperArpSender.h"
#include "arp/NeighbourArpSender.h"
#include "scan/ScanTypes.h"

namespace talvik {
namespace {

using namespace std::chrono_literals;

// The helper greets as soon as it holds its socket; a slow start still ends well within this.
constexpr std::chrono::milliseconds kHelperGreeting = 3s;

// The helper at `path` (empty: the first candidate that serves). `why` keeps the most telling
// reason one could not serve: a helper that is there but refused beats one that is missing.
// `tried`, when given, ends as the helper whose failure `why` tells.
std::shared_ptr<HelperArpSender> StartHelper(const ArpSenderOptions& options, std::string& path,
                                             std::uint32_t& why, std::string* tried = nullptr) {
    const std::vector<std::string> candidates =
        path.empty() ? HelperArpSender::HelperCandidates() : std::vector<std::string>{path};
    why = kErrorFileNotFound;
    for (const std::string& candidate : candidates) {
        if (::access(candidate.c_str(), X_OK) != 0) {
            continue;
        }
        std::uint32_t status = kErrorGenFailure;
        if (auto sender = HelperArpSender::Start(candidate, options.schedule, kHelperGreeting,
                                                 &status, static_cast<bool>(options.log))) {
            path = candidate;
            return sender;
        }
        if (why == kErrorFileNotFound || status != kErrorGenFailure) {
            why = status;
            if (tried) {
                *tried = candidate;
            }
        }
    }
    return nullptr;
}

// Asks through the helper and mends it when it dies or stalls: what was in flight or still
// listened for is asked again, the helper is started again once per scan, and when that fails
// the fallback carries on for the rest of the scan. Each new scan tries the helper again.
// Starting a helper may wait seconds for its greeting: only scan threads ever wait for it.
class MendingHelperSender final : public IArpSender {
public:
    MendingHelperSender(std::shared_ptr<HelperArpSender> helper, ArpSenderOptions options,
                        std::string path)
        : options_(std::move(options)),
          path_(std::move(path)),
          helper_(helper),
          current_(std::move(helper)) {
        lateFloor_ = current_->LateFloor().count();
    }

    std::uint32_t SendARP(std::uint32_t destinationHostOrder, std::uint8_t* mac,
                          std::uint32_t* length, std::stop_token stop,
                          const LateTag& late) override {
        TryHelperAgain(late.listener);
        std::uint32_t result = kErrorGenFailure;
        std::shared_ptr<HelperArpSender> lastHelper;
        // Twice mended at most: the restarted helper, then the fallback.
        for (int attempt = 0; attempt < 3; ++attempt) {
            const auto [sender, helper] = Current();
            lastHelper = helper;
            if (attempt > 0 && late.listener) {
                // Its late window counts from this request, not from the lost one.
                late.listener->MarkAsked(late.tag);
            }
            result = sender->SendARP(destinationHostOrder, mac, length, stop, late);
            if (!helper || result == kNoError || stop.stop_requested() || !helper->Broken()) {
                return result;
            }
            Mend(helper, late.listener);
        }
        return lastHelper && lastHelper->Broken() ? kErrorHelperLost : result;
    }

    // Never waits: a scan start asks it on the user-interface thread, maybe while a helper is
    // being started.
    std::chrono::milliseconds LateFloor() const override {
        return std::chrono::milliseconds(lateFloor_.load());
    }
    void Sweep(const std::shared_ptr<LateListener>& listener) override {
        Current().first->Sweep(listener);
    }
    void Remember(std::span<const KnownDevice> devices) override {
        {
            // Told again after every scan: a newer MAC replaces the old, so this stays bounded.
            const std::lock_guard lock(mutex_);
            for (const KnownDevice& device : devices) {
                const auto same = std::find_if(
                    remembered_.begin(), remembered_.end(),
                    [&](const KnownDevice& known) { return known.address == device.address; });
                if (same != remembered_.end()) {
                    same->mac = device.mac;
                } else {
                    remembered_.push_back(device);
                }
            }
        }
        Current().first->Remember(devices);
    }
    void ScanEnded(const std::shared_ptr<LateListener>& listener) override {
        Current().first->ScanEnded(listener);
    }
    void WatchLate(const std::shared_ptr<LateListener>& listener, std::stop_token stop) override {
        Current().first->WatchLate(listener, stop);
    }

private:
    std::pair<std::shared_ptr<IArpSender>, std::shared_ptr<HelperArpSender>> Current() const {
        const std::lock_guard lock(mutex_);
        return {current_, helper_};
    }

    std::vector<KnownDevice> Remembered() const {
        const std::lock_guard lock(mutex_);
        return remembered_;
    }

    void Use(std::shared_ptr<IArpSender> sender, std::shared_ptr<HelperArpSender> helper) {
        lateFloor_ = sender->LateFloor().count();
        const std::lock_guard lock(mutex_);
        helper_ = std::move(helper);
        current_ = std::move(sender);
    }

    // A new helper in place of the current sender; under mendMutex_. What the old one was told
    // goes to the new one too; what it learnt itself is learnt anew.
    bool StartAfresh(std::uint32_t& why) {
        auto fresh = StartHelper(options_, path_, why);
        if (!fresh) {
            return false;
        }
        fresh->Remember(Remembered());
        Use(fresh, fresh);
        return true;
    }

    // A scan that begins on the fallback tries the helper once more: it may have been ended
    // by accident. When it still cannot serve, the scan says so.
    void TryHelperAgain(const std::shared_ptr<LateListener>& scan) {
        if (!scan || Current().second) {
            return;
        }
        const std::lock_guard mending(mendMutex_);
        if (Current().second || restartedFor_.lock() == scan) {
            return;
        }
        restartedFor_ = scan;
        std::uint32_t why = kErrorGenFailure;
        if (StartAfresh(why)) {
            SenderLog(options_, "the ARP helper serves again");
            return;
        }
        SenderLog(options_,
                  std::string("the ARP helper still cannot serve (") + HelperReasonName(why) + ")");
        scan->Notes().HelperUnavailable();
    }

    void Mend(const std::shared_ptr<HelperArpSender>& broken,
              const std::shared_ptr<LateListener>& scan) {
        const std::lock_guard mending(mendMutex_);
        if (Current().second != broken) {
            return;  // another worker mended it already
        }
        // Only a scan that lost probes with it hears of it; one that merely finds it gone
        // (it ended between scans) has lost nothing.
        const bool lost = scan && broken->Affected(scan);
        if (!scan || restartedFor_.lock() != scan) {
            restartedFor_ = scan;
            std::uint32_t why = kErrorGenFailure;
            if (StartAfresh(why)) {
                SenderLog(options_, "the ARP helper ended; started it again");
                if (lost) {
                    scan->Notes().HelperRestarted();
                }
                return;
            }
        }
        SenderLog(options_,
                  "the ARP helper ended and could not be started again; "
                  "asking through the kernel's neighbour table");
        Use(std::make_shared<NeighbourArpSender>(options_.neighbour), nullptr);
        if (lost) {
            scan->Notes().HelperReplaced();
        } else if (scan) {
            scan->Notes().HelperUnavailable();
        }
    }

    const ArpSenderOptions options_;
    // Held through a mend or a start, by scan threads only; never under mutex_.
    std::mutex mendMutex_;
    std::string path_;                          // guarded by mendMutex_
    std::weak_ptr<LateListener> restartedFor_;  // the scan that had its restart; mendMutex_
    mutable std::mutex mutex_;                  // guards the two below, never held long
    std::shared_ptr<HelperArpSender> helper_;   // nothing while the fallback asks
    std::shared_ptr<IArpSender> current_;
    std::atomic<std::int64_t> lateFloor_{0};  // milliseconds, of current_
    std::vector<KnownDevice> remembered_;     // guarded by mutex_
};

}  // namespace

void SenderLog(const ArpSenderOptions& options, const std::string& line) {
    if (options.log) {
        options.log(line);
    } else {
        std::fprintf(stderr, "talvik: %s\n", line.c_str());
    }
}

std::shared_ptr<IArpSender> MakeMendingHelper(const ArpSenderOptions& options, std::uint32_t& why,
                                              std::string& tried) {
    std::string path = options.helperPath;
    auto helper = StartHelper(options, path, why, &tried);
    if (!helper) {
        return nullptr;
    }
    return std::make_shared<MendingHelperSender>(std::move(helper), options, std::move(path));
}

}  // namespace talvik
