#include "platform/ArpSenders.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <utility>

#include "platform/HelperArpSender.h"
#include "platform/PacketArpSender.h"
#include "scan/ScanTypes.h"

namespace talvik {
namespace {

using namespace std::chrono_literals;

// The helper greets as soon as it holds its socket; a slow start still ends well within this.
constexpr std::chrono::milliseconds kHelperGreeting = 3s;

std::shared_ptr<IArpSender> MakePacket(const ArpSenderOptions& options) {
    PacketArpSender::Options packet;
    packet.schedule = options.schedule;
    return PacketArpSender::Create(PacketArpSender::OpenSocket(), packet);
}

// The helper at `path` (empty: the first candidate that serves). `why` keeps the most telling
// reason one could not serve: a helper that is there but refused beats one that is missing.
std::shared_ptr<HelperArpSender> StartHelper(const ArpSenderOptions& options, std::string& path,
                                             std::uint32_t& why) {
    const std::vector<std::string> candidates =
        path.empty() ? HelperArpSender::HelperCandidates() : std::vector<std::string>{path};
    why = kErrorFileNotFound;
    for (const std::string& candidate : candidates) {
        if (::access(candidate.c_str(), X_OK) != 0) {
            continue;
        }
        std::uint32_t status = kErrorGenFailure;
        if (auto sender =
                HelperArpSender::Start(candidate, options.schedule, kHelperGreeting, &status)) {
            path = candidate;
            return sender;
        }
        if (why == kErrorFileNotFound || status != kErrorGenFailure) {
            why = status;
        }
    }
    return nullptr;
}

// Asks through the helper and mends it when it dies or stalls: what was in flight is asked
// again, the helper is started again once per scan, and when that fails the fallback carries on.
class MendingHelperSender final : public IArpSender {
public:
    MendingHelperSender(std::shared_ptr<HelperArpSender> helper, ArpSenderOptions options,
                        std::string path)
        : options_(std::move(options)),
          path_(std::move(path)),
          helper_(helper),
          current_(std::move(helper)) {}

    std::uint32_t SendARP(std::uint32_t destinationHostOrder, std::uint8_t* mac,
                          std::uint32_t* length, std::stop_token stop,
                          const LateTag& late) override {
        std::uint32_t result = kErrorGenFailure;
        // Twice mended at most: the restarted helper, then the fallback.
        for (int attempt = 0; attempt < 3; ++attempt) {
            const auto [sender, helper] = Current();
            result = sender->SendARP(destinationHostOrder, mac, length, stop, late);
            if (!helper || result == kNoError || stop.stop_requested() || !helper->Broken()) {
                return result;
            }
            Mend(helper, late.listener);
        }
        return result;
    }

    std::chrono::milliseconds LateFloor() const override { return Current().first->LateFloor(); }
    void Sweep(const std::shared_ptr<LateListener>& listener) override {
        Current().first->Sweep(listener);
    }

private:
    std::pair<std::shared_ptr<IArpSender>, std::shared_ptr<HelperArpSender>> Current() const {
        const std::lock_guard lock(mutex_);
        return {current_, helper_};
    }

    void Mend(const std::shared_ptr<HelperArpSender>& broken,
              const std::shared_ptr<LateListener>& scan) {
        const std::lock_guard lock(mutex_);
        if (helper_ != broken) {
            return;  // another worker mended it already
        }
        // Its last holder reaps it; the workers still in it come back here.
        helper_.reset();
        if (!scan || restartedFor_.lock() != scan) {
            restartedFor_ = scan;
            std::uint32_t why = kErrorGenFailure;
            if (auto fresh = StartHelper(options_, path_, why)) {
                std::fputs("talvik: the ARP helper ended; started it again\n", stderr);
                helper_ = fresh;
                current_ = std::move(fresh);
                if (scan) {
                    scan->Notes().HelperRestarted();
                }
                return;
            }
        }
        std::fputs(
            "talvik: the ARP helper ended and could not be started again; "
            "asking through the kernel's neighbour table\n",
            stderr);
        current_ = std::make_shared<NeighbourArpSender>(options_.neighbour);
        if (scan) {
            scan->Notes().HelperReplaced();
        }
    }

    const ArpSenderOptions options_;
    mutable std::mutex mutex_;  // guards everything below
    std::string path_;
    std::shared_ptr<HelperArpSender> helper_;  // nothing once the fallback took over
    std::shared_ptr<IArpSender> current_;
    std::weak_ptr<LateListener> restartedFor_;  // the scan that had its restart
};

std::shared_ptr<IArpSender> MakeHelper(const ArpSenderOptions& options, std::uint32_t& why) {
    std::string path = options.helperPath;
    auto helper = StartHelper(options, path, why);
    if (!helper) {
        return nullptr;
    }
    return std::make_shared<MendingHelperSender>(std::move(helper), options, std::move(path));
}

}  // namespace

std::shared_ptr<IArpSender> MakeArpSender(const ArpSenderOptions& options, ArpSenderKind* chosen,
                                          std::uint32_t* helperWhy) {
    std::shared_ptr<IArpSender> sender;
    ArpSenderKind kind = options.kind;
    std::uint32_t why = kNoError;
    switch (options.kind) {
        case ArpSenderKind::Packet:
            sender = MakePacket(options);
            break;
        case ArpSenderKind::Helper:
            sender = MakeHelper(options, why);
            break;
        case ArpSenderKind::Neighbour:
            sender = std::make_shared<NeighbourArpSender>(options.neighbour);
            break;
        case ArpSenderKind::Automatic:
            if ((sender = MakePacket(options))) {
                kind = ArpSenderKind::Packet;
            } else if ((sender = MakeHelper(options, why))) {
                kind = ArpSenderKind::Helper;
            } else {
                std::fprintf(stderr,
                             "talvik: the ARP helper cannot serve (%s); asking through the "
                             "kernel's neighbour table\n",
                             HelperReasonName(why));
                sender = std::make_shared<NeighbourArpSender>(options.neighbour);
                kind = ArpSenderKind::Neighbour;
            }
            break;
    }
    if (chosen) {
        *chosen = kind;
    }
    if (helperWhy) {
        *helperWhy = kind == ArpSenderKind::Neighbour ? why : kNoError;
    }
    return sender;
}

std::string FallbackNotice(ArpSenderKind chosen, std::uint32_t helperWhy) {
    if (chosen != ArpSenderKind::Neighbour) {
        return {};
    }
    const char* reason = helperWhy == kErrorFileNotFound   ? kFallbackMissing
                         : helperWhy == kErrorNotSupported ? kFallbackNoCapability
                         : helperWhy == kErrorAccessDenied ? kFallbackRefused
                                                           : "";
    return std::string(reason) + kFallbackNotice;
}

const char* HelperReasonName(std::uint32_t why) {
    switch (why) {
        case kNoError:
            return "none";
        case kErrorFileNotFound:
            return "not installed";
        case kErrorNotSupported:
            return "no CAP_NET_RAW";
        case kErrorAccessDenied:
            return "packet socket refused";
        default:
            return "did not start";
    }
}

const char* ArpSenderKindName(ArpSenderKind kind) {
    switch (kind) {
        case ArpSenderKind::Packet:
            return "packet";
        case ArpSenderKind::Helper:
            return "helper";
        case ArpSenderKind::Neighbour:
            return "neighbour";
        case ArpSenderKind::Automatic:
            break;
    }
    return "automatic";
}

}  // namespace talvik
