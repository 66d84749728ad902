// SPDX-License-Identifier: GPL-3.0-or-later
#include "arp/LinkWatchingSender.h"

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

#include "netlink/LinkInterfaces.h"
#include "os/UniqueFd.h"
#include "scan/ScanTypes.h"

namespace talvik {
namespace {

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

}  // namespace

std::shared_ptr<IArpSender> WatchLinks(std::shared_ptr<IArpSender> inner) {
    return std::make_shared<LinkWatchingSender>(std::move(inner));
}

}  // namespace talvik
