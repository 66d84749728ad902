// SPDX-License-Identifier: GPL-3.0-or-later
#include "arp/ArpSenders.h"

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
#include "arp/PacketArpSender.h"
#include "netlink/LinkInterfaces.h"
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
        if (auto sender =
                HelperArpSender::Start(candidate, options.schedule, kHelperGreeting, &status)) {
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
            std::fputs("talvik: the ARP helper serves again\n", stderr);
            return;
        }
        std::fprintf(stderr, "talvik: the ARP helper still cannot serve (%s)\n",
                     HelperReasonName(why));
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
                std::fputs("talvik: the ARP helper ended; started it again\n", stderr);
                if (lost) {
                    scan->Notes().HelperRestarted();
                }
                return;
            }
        }
        std::fputs(
            "talvik: the ARP helper ended and could not be started again; "
            "asking through the kernel's neighbour table\n",
            stderr);
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

// Watches the interfaces a scan asks on, by their state as the kernel reports it: a target
// asked while its interface is down, gone or without carrier, or one that stayed silent while
// its interface went so, was not really asked. Hosts found stay found; a link that comes back
// is asked on again.
class LinkWatchingSender final : public IArpSender {
public:
    explicit LinkWatchingSender(std::shared_ptr<IArpSender> inner)
        : inner_(std::move(inner)), events_(OpenLinkEvents()) {}

    std::uint32_t SendARP(std::uint32_t destinationHostOrder, std::uint8_t* mac,
                          std::uint32_t* length, std::stop_token stop,
                          const LateTag& late) override {
        std::optional<LinkInterface> link;
        std::uint64_t lossesBefore = 0;
        {
            const std::lock_guard lock(mutex_);
            Drain();
            if (late.listener && scan_.lock() != late.listener) {
                scan_ = late.listener;
                asked_.clear();
                silent_.clear();
            }
            const auto links = ReadLinkInterfaces();
            const LinkChoice choice =
                links ? ChooseRoute(*links, destinationHostOrder) : LinkChoice{};
            if (choice.verdict == LinkVerdict::OnLink) {
                asked_[choice.link.index] = choice.link;
                link = choice.link;
            } else if (links && choice.verdict == LinkVerdict::NotOnLink) {
                // Off-link now, but on an interface this scan asked on that is down or gone.
                const std::vector<LinkInterface> known = KnownLinks();
                const LinkChoice before = ChooseLink(known, destinationHostOrder);
                const bool stillThere = std::any_of(
                    links->begin(), links->end(),
                    [&](const LinkInterface& now) { return now.index == before.link.index; });
                if (before.verdict == LinkVerdict::OnLink &&
                    (!stillThere || !LinkUsable(before.link.name))) {
                    return LinkLost(before.link, late);
                }
                // On the segment of an interface that was down before it was ever asked on:
                // its routes went down with it, but the target is no less on its link.
                if (const auto down = DownLinkFor(destinationHostOrder)) {
                    return LinkLost(*down, late);
                }
            }
            if (link) {
                lossesBefore = losses_[link->index];
            }
        }
        if (link && !LinkUsable(link->name)) {
            return LinkLost(*link, late);
        }
        const std::uint32_t result = inner_->SendARP(destinationHostOrder, mac, length, stop, late);
        if (!link || result == kNoError || result == kErrorCancelled) {
            return result;
        }
        // A frame the system would not send for a down link, through whichever sender, is named
        // here, the one place that knows the scan's links.
        bool lost = result == kErrorNetworkUnreachable || !LinkUsable(link->name);
        const std::lock_guard lock(mutex_);
        Drain();
        lost = lost || losses_[link->index] != lossesBefore;
        if (lost) {
            return LinkLost(*link, late);
        }
        if (result == kErrorBadNetName && late.listener && scan_.lock() == late.listener) {
            // Watched through its late window: a link lost meanwhile loses its answer.
            silent_[late.tag] = Silent{*link, lossesBefore};
        }
        return result;
    }

    std::chrono::milliseconds LateFloor() const override { return inner_->LateFloor(); }
    void Sweep(const std::shared_ptr<LateListener>& listener) override { inner_->Sweep(listener); }
    void Remember(std::span<const KnownDevice> devices) override { inner_->Remember(devices); }
    void ScanEnded(const std::shared_ptr<LateListener>& listener) override {
        inner_->ScanEnded(listener);
    }

    // A silent target whose link went down (or lost carrier, or went away) while the scan
    // listened for it may have answered unheard: it is asked again, which finds the link down
    // (not asked) or back (a fresh request with a window of its own).
    void WatchLate(const std::shared_ptr<LateListener>& listener, std::stop_token stop) override {
        {
            const std::lock_guard lock(mutex_);
            if (scan_.lock() == listener && !silent_.empty()) {
                Drain();
                std::map<int, bool> usable;  // asked once per interface
                std::erase_if(silent_, [&](const auto& entry) {
                    const Silent& silent = entry.second;
                    auto [known, fresh] = usable.try_emplace(silent.link.index, true);
                    if (fresh) {
                        known->second = LinkUsable(silent.link.name);
                    }
                    if (known->second && losses_[silent.link.index] == silent.losses) {
                        return false;
                    }
                    listener->AskAgain(entry.first);
                    return true;
                });
            }
        }
        inner_->WatchLate(listener, stop);
    }

private:
    struct Silent {
        LinkInterface link;
        std::uint64_t losses = 0;  // of its link, when it was asked
    };

    static std::uint32_t LinkLost(const LinkInterface& link, const LateTag& late) {
        if (late.listener) {
            late.listener->Notes().LinkLost(link.name);
        }
        return kErrorNetworkUnreachable;
    }

    std::vector<LinkInterface> KnownLinks() const {
        std::vector<LinkInterface> known;
        for (const auto& [index, link] : asked_) {
            known.push_back(link);
        }
        return known;
    }

    // Counts every time an interface went down, lost carrier or went away since the last look.
    void Drain() {
        if (!events_.Valid()) {
            return;
        }
        std::array<std::uint8_t, 8192> buffer;
        for (;;) {
            const ssize_t got = ::recv(events_.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got < 0 && errno == ENOBUFS) {
                // Events were lost: every interface may have changed.
                for (auto& [index, count] : losses_) {
                    ++count;
                }
                continue;
            }
            if (got <= 0) {
                return;
            }
            for (const LinkEvent& event :
                 ParseLinkEvents(std::span(buffer.data(), static_cast<std::size_t>(got)))) {
                if (!event.Usable()) {
                    ++losses_[event.index];
                }
            }
        }
    }

    const std::shared_ptr<IArpSender> inner_;
    std::mutex mutex_;  // guards everything below
    UniqueFd events_;
    std::map<int, std::uint64_t> losses_;
    std::weak_ptr<LateListener> scan_;
    std::map<int, LinkInterface> asked_;     // the interfaces this scan asked on
    std::map<std::int32_t, Silent> silent_;  // this scan's silent targets, by tag
};

std::shared_ptr<IArpSender> MakeHelper(const ArpSenderOptions& options, std::uint32_t& why,
                                       std::string& tried) {
    std::string path = options.helperPath;
    auto helper = StartHelper(options, path, why, &tried);
    if (!helper) {
        return nullptr;
    }
    return std::make_shared<MendingHelperSender>(std::move(helper), options, std::move(path));
}

std::string WithPath(std::string_view text, const std::string& path) {
    const std::size_t at = text.find("%1");
    return std::string(text.substr(0, at)) + path + std::string(text.substr(at + 2));
}

}  // namespace

const char* const kInstalledHelperPath = TALVIK_HELPER_INSTALL_PATH;

std::shared_ptr<IArpSender> MakeArpSender(const ArpSenderOptions& options, ArpSenderKind* chosen,
                                          std::uint32_t* helperWhy, std::string* helperTried) {
    std::shared_ptr<IArpSender> sender;
    ArpSenderKind kind = options.kind;
    std::uint32_t why = kNoError;
    std::string tried;
    switch (options.kind) {
        case ArpSenderKind::Packet:
            sender = MakePacket(options);
            break;
        case ArpSenderKind::Helper:
            sender = MakeHelper(options, why, tried);
            break;
        case ArpSenderKind::Neighbour:
            sender = std::make_shared<NeighbourArpSender>(options.neighbour);
            break;
        case ArpSenderKind::Automatic:
            if ((sender = MakePacket(options))) {
                kind = ArpSenderKind::Packet;
            } else if ((sender = MakeHelper(options, why, tried))) {
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
    if (sender) {
        sender = std::make_shared<LinkWatchingSender>(std::move(sender));
    }
    if (chosen) {
        *chosen = kind;
    }
    if (helperWhy) {
        *helperWhy = kind == ArpSenderKind::Neighbour ? why : kNoError;
    }
    if (helperTried) {
        *helperTried = kind == ArpSenderKind::Neighbour ? tried : std::string();
    }
    return sender;
}

std::string FallbackNotice(ArpSenderKind chosen, std::uint32_t helperWhy,
                           const std::string& helperTried) {
    if (chosen != ArpSenderKind::Neighbour) {
        return {};
    }
    if (helperWhy == kErrorFileNotFound || helperTried.empty()) {
        return std::string(kFallbackMissing) + "\n" + kFallbackNotice + "\n\n" + kFallbackInstall;
    }
    const std::string notice = "\n" + std::string(kFallbackNotice);
    switch (helperWhy) {
        case kErrorNotSupported: {
            // The package's own step gives the capability only to the helper it installs.
            const char* advice =
                helperTried == kInstalledHelperPath ? kFallbackInstallOrSetcap : kFallbackSetcap;
            return WithPath(kFallbackNoCapability, helperTried) + notice + "\n\n" + advice + "\n" +
                   WithPath(kFallbackCommand, helperTried);
        }
        case kErrorAccessDenied:
            return WithPath(kFallbackRefused, helperTried) + notice;
        default:
            return WithPath(kFallbackNotStarted, helperTried) + notice;
    }
}

std::string ArpWayText(ArpSenderKind chosen) {
    switch (chosen) {
        case ArpSenderKind::Packet:
            return kArpWayPacket;
        case ArpSenderKind::Helper:
            return kArpWayHelper;
        case ArpSenderKind::Neighbour:
            return kArpWayNeighbour;
        case ArpSenderKind::Automatic:
            break;
    }
    return {};
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
