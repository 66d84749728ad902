// SPDX-License-Identifier: GPL-3.0-or-later
#include "arp/NeighbourArpSender.h"

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <optional>

#include "netlink/LinkInterfaces.h"
#include "netlink/NeighbourTable.h"

namespace talvik {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kSlack{20};
constexpr std::uint16_t kDiscardPort = 9;
constexpr std::chrono::milliseconds kCoalesce{20};
constexpr std::chrono::milliseconds kDescriptorPatience{10000};
constexpr std::chrono::milliseconds kDescriptorRetry{10};

// A reply that names our own MAC for another address is forged or looped back: never an answer.
std::optional<MacAddress> NotOurs(std::optional<MacAddress> mac, const MacAddress& ours) {
    if (mac && *mac == ours) {
        return std::nullopt;
    }
    return mac;
}

// An entry whose MAC a datagram can reach; static entries included, since the host answering
// our datagram proves that MAC is in use.
bool Deliverable(const std::optional<NeighbourEntry>& entry) {
    return entry && entry->mac && IsUnicastMac(*entry->mac) &&
           (entry->state & (NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE | NUD_PERMANENT));
}

}  // namespace

NeighbourArpSender::NeighbourArpSender(Options options) : options_(options) {}

NeighbourArpSender::~NeighbourArpSender() {
    wake_.StopAndJoin(watcher_);
}

void NeighbourArpSender::Watch(std::stop_token stop) {
    const UniqueFd events = OpenNeighbourEvents();
    NeighbourTable table;
    while (!stop.stop_requested() && table.Valid()) {
        pollfd fds[2] = {{wake_.Get(), POLLIN, 0}, {events.Get(), POLLIN, 0}};
        const int ready =
            ::poll(fds, events.Valid() ? 2 : 1, static_cast<int>(options_.recheck.count()));
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (fds[0].revents != 0 || stop.stop_requested()) {
            return;
        }
        if (events.Valid()) {
            if (fds[1].revents == 0) {
                continue;  // nothing changed
            }
            DrainNeighbourEvents(events.Get());
        }
        // A scan changes many entries at once: the changes of a short while are looked at
        // together.
        pollfd wake{wake_.Get(), POLLIN, 0};
        if (::poll(&wake, 1, static_cast<int>(kCoalesce.count())) > 0 || stop.stop_requested()) {
            return;
        }
        if (events.Valid()) {
            DrainNeighbourEvents(events.Get());
        }
        std::vector<Lingering> waiting;
        {
            const std::lock_guard lock(mutex_);
            std::erase_if(lingering_,
                          [](const Lingering& old) { return !old.late.listener->Listening(); });
            waiting = lingering_;
        }
        std::vector<std::pair<const LateListener*, std::uint32_t>> heard;
        for (const Lingering& probe : waiting) {
            const NeighbourSighting now{table.Lookup(probe.ifindex, probe.address), Clock::now()};
            if (const auto confirmed = NotOurs(
                    ConfirmedSince(probe.before, probe.trigger, now, kSlack), probe.ourMac)) {
                probe.late.listener->Deliver(probe.late.tag, confirmed->data());
                heard.emplace_back(probe.late.listener.get(), probe.address);
            }
        }
        const std::lock_guard lock(mutex_);
        std::erase_if(lingering_, [&](const Lingering& probe) {
            return std::ranges::find(heard, std::pair<const LateListener*, std::uint32_t>(
                                                probe.late.listener.get(), probe.address)) !=
                   heard.end();
        });
    }
}

std::uint32_t NeighbourArpSender::Probe(std::uint32_t destinationHostOrder, MacAddress& answer,
                                        std::stop_token stop, const LateTag& late) {
    std::optional<std::vector<LinkInterface>> links;
    std::optional<WakeEvent> wake;
    UniqueFd events;
    std::optional<NeighbourTable> table;
    UniqueFd udp;
    // Descriptors may be short for a moment (other workers hold theirs): a probe waits for
    // them rather than failing, for as long as a scan could wait for anything.
    for (const Clock::time_point patience = Clock::now() + kDescriptorPatience;;) {
        links = ReadLinkInterfaces();
        int error = errno;
        if (links) {
            wake.emplace();
            error = errno;
        }
        if (wake && wake->Valid()) {
            table.emplace();
            error = errno;
            if (table->Valid()) {
                udp = UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
                error = errno;
            }
        }
        if (udp.Valid()) {
            break;
        }
        wake.reset();
        table.reset();
        if (error != EMFILE && error != ENFILE) {
            return kErrorGenFailure;
        }
        if (Clock::now() >= patience) {
            return kErrorTooManyOpenFiles;
        }
        std::condition_variable_any pause;
        std::mutex mutex;
        std::unique_lock lock(mutex);
        if (pause.wait_for(lock, stop, kDescriptorRetry, [] { return false; }),
            stop.stop_requested()) {
            return kErrorCancelled;
        }
    }
    const LinkChoice choice = ChooseRoute(*links, destinationHostOrder);
    if (choice.verdict == LinkVerdict::NotOnLink) {
        return kErrorHostUnreachable;
    }
    const auto heard = [&](const MacAddress& mac) {
        answer = mac;
        return kNoError;
    };
    if (choice.verdict == LinkVerdict::OwnAddress) {
        return heard(choice.link.mac);
    }
    const int ifindex = choice.link.index;

    // Without change events the table is read every recheck instead.
    events = OpenNeighbourEvents();
    const std::stop_callback onStop(stop, [&wake] { wake->Signal(); });

    // Subscribed before the first look, so no change between it and the trigger is missed.
    const NeighbourSighting before{table->Lookup(ifindex, destinationHostOrder), Clock::now()};
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kDiscardPort);
    to.sin_addr.s_addr = htonl(destinationHostOrder);
    // Unprivileged binding to a device is allowed on newer kernels only; routing picks the
    // same on-link interface anyway.
    ::setsockopt(udp.Get(), SOL_SOCKET, SO_BINDTODEVICE, choice.link.name.c_str(),
                 static_cast<socklen_t>(choice.link.name.size()));
    const Clock::time_point trigger = Clock::now();
    if (::connect(udp.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
        ::send(udp.Get(), "", 0, 0) < 0) {
        // The kernel refusing to resolve a failed neighbour again is silence; a firewall or a
        // link that is down means the target was not asked.
        if (errno != EHOSTUNREACH && errno != ENETUNREACH) {
            return SendFailure(errno);
        }
    }
    // A neighbour the kernel confirmed recently is not asked again: the kernel's word is the
    // answer (our datagram has set it to check the neighbour once more anyway).
    if (RecentlyConfirmed(before.entry, ReachableTime(choice.link.name)) &&
        *before.entry->mac != choice.link.mac) {
        // Not a reply to us: a host that left since still reads as there, so the row says
        // how old the kernel's word is.
        if (late.listener) {
            late.listener->MarkConfirmedBefore(
                late.tag, before.entry->confirmedAgo.value_or(std::chrono::milliseconds(0)));
        }
        return heard(*before.entry->mac);
    }
    const Clock::time_point deadline =
        trigger + (AwaitsReprobe(before.entry) ? options_.reprobeGiveUp : options_.giveUp);

    bool refused = false;  // the host itself answered our datagram
    for (;;) {
        const NeighbourSighting now{table->Lookup(ifindex, destinationHostOrder), Clock::now()};
        if (const auto confirmed =
                NotOurs(ConfirmedSince(before, trigger, now, kSlack), choice.link.mac)) {
            return heard(*confirmed);
        }
        if (refused && Deliverable(now.entry) && *now.entry->mac != choice.link.mac) {
            return heard(*now.entry->mac);
        }
        if (now.at >= deadline) {
            if (late.listener && late.listener->Listening()) {
                const std::lock_guard lock(mutex_);
                std::erase_if(lingering_,
                              [](const Lingering& old) { return !old.late.listener->Listening(); });
                if (lingering_.size() < kMaxLingering) {
                    lingering_.push_back(Lingering{ifindex, destinationHostOrder, choice.link.mac,
                                                   before, trigger, late});
                }
                if (!watcher_.joinable() && wake_.Valid()) {
                    try {
                        watcher_ = std::jthread([this](std::stop_token s) { Watch(std::move(s)); });
                    } catch (const std::system_error&) {
                        // The sweep at the end of the window still reads the table.
                    }
                }
            }
            return kErrorBadNetName;
        }
        const auto wait = std::min<Clock::duration>(options_.recheck, deadline - now.at);
        pollfd fds[3] = {{wake->Get(), POLLIN, 0}, {udp.Get(), 0, 0}, {events.Get(), POLLIN, 0}};
        const int ready =
            ::poll(fds, events.Valid() ? 3 : 2,
                   static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
        if (ready < 0 && errno != EINTR) {
            return kErrorGenFailure;
        }
        if (fds[0].revents != 0 || stop.stop_requested()) {
            return kErrorCancelled;
        }
        if ((fds[1].revents & POLLERR) != 0) {
            int error = 0;
            socklen_t size = sizeof error;
            ::getsockopt(udp.Get(), SOL_SOCKET, SO_ERROR, &error, &size);
            if (error == ECONNREFUSED) {
                refused = true;
            } else if (error == EHOSTUNREACH) {
                return kErrorBadNetName;  // the kernel gave up resolving it
            }
        }
        if (events.Valid() && fds[2].revents != 0) {
            DrainNeighbourEvents(events.Get());
        }
    }
}

void NeighbourArpSender::Sweep(const std::shared_ptr<LateListener>& listener) {
    std::vector<Lingering> mine;
    {
        const std::lock_guard lock(mutex_);
        std::erase_if(lingering_, [&](Lingering& probe) {
            if (probe.late.listener == listener) {
                mine.push_back(std::move(probe));
                return true;
            }
            return !probe.late.listener->Listening();
        });
    }
    NeighbourTable table;
    if (!table.Valid()) {
        return;
    }
    for (const Lingering& probe : mine) {
        const NeighbourSighting now{table.Lookup(probe.ifindex, probe.address), Clock::now()};
        if (const auto confirmed =
                NotOurs(ConfirmedSince(probe.before, probe.trigger, now, kSlack), probe.ourMac)) {
            listener->Deliver(probe.late.tag, confirmed->data());
        }
    }
}

}  // namespace talvik
