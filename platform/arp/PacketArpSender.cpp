// SPDX-License-Identifier: GPL-3.0-or-later
#include "arp/PacketArpSender.h"

#include <arpa/inet.h>
#include <net/ethernet.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <random>

#include "arp/ArpFrame.h"
#include "netlink/LinkInterfaces.h"

#ifndef PACKET_IGNORE_OUTGOING
#define PACKET_IGNORE_OUTGOING 23
#endif

namespace talvik {

using Clock = std::chrono::steady_clock;

struct PacketArpSender::Asking {
    ArpQuestion question;
    int ifindex = 0;
    // A reply heard before our first request left answers someone else's (a replaced helper's,
    // an earlier scan's): it must not become the target's first MAC.
    bool asked = false;
    bool answered = false;
    std::vector<MacAddress> macs;  // the first answer, then other hosts answering for it
    std::condition_variable_any wakeup;
};

UniqueFd PacketArpSender::OpenSocket() {
    UniqueFd fd(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ARP)));
    if (!fd.Valid()) {
        return fd;
    }
    // Our own requests would only be parsed to be thrown away.
    const int one = 1;
    ::setsockopt(fd.Get(), SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
    // A burst of replies from a full subnet must not overflow the default buffer.
    const int buffer = 1 << 20;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    return fd;
}

std::unique_ptr<PacketArpSender> PacketArpSender::Create(UniqueFd socket, Options options) {
    if (!socket.Valid() || !options.schedule.Valid() || options.framesPerSecond <= 0) {
        return nullptr;
    }
    std::unique_ptr<PacketArpSender> sender(
        new PacketArpSender(std::move(socket), std::move(options)));
    if (!sender->wake_.Valid()) {
        return nullptr;
    }
    try {
        sender->receiver_ = std::jthread(
            [raw = sender.get()](std::stop_token stop) { raw->Receive(std::move(stop)); });
        sender->askerThread_ = std::jthread(
            [raw = sender.get()](std::stop_token stop) { raw->AskAgain(std::move(stop)); });
    } catch (const std::system_error&) {
        return nullptr;
    }
    return sender;
}

PacketArpSender::PacketArpSender(UniqueFd socket, Options options)
    : socket_(std::move(socket)),
      options_(std::move(options)),
      pacer_(options_.framesPerSecond, options_.burst),
      asker_(options_.linger, options_.lingerFramesPerSecond),
      seed_(std::random_device()()) {}

PacketArpSender::~PacketArpSender() {
    if (askerThread_.joinable()) {
        askerThread_.request_stop();
        askerThread_.join();
    }
    wake_.StopAndJoin(receiver_);
}

void PacketArpSender::Receive(std::stop_token stop) {
    std::uint8_t frame[ETH_FRAME_LEN];
    while (!stop.stop_requested()) {
        pollfd fds[2] = {{socket_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;  // EINTR
        }
        if (fds[1].revents != 0) {
            break;
        }
        if ((fds[0].revents & POLLERR) != 0) {
            int error = 0;
            socklen_t size = sizeof error;
            ::getsockopt(socket_.Get(), SOL_SOCKET, SO_ERROR, &error, &size);
        }
        for (;;) {
            sockaddr_ll from{};
            socklen_t fromSize = sizeof from;
            const ssize_t got = ::recvfrom(socket_.Get(), frame, sizeof frame, MSG_DONTWAIT,
                                           reinterpret_cast<sockaddr*>(&from), &fromSize);
            if (got < 0) {
                break;
            }
            if (from.sll_pkttype != PACKET_OUTGOING) {
                Dispatch(frame, static_cast<std::size_t>(got), from.sll_ifindex);
            }
        }
    }
}

void PacketArpSender::Dispatch(const std::uint8_t* frame, std::size_t size, int ifindex) {
    const auto packet = ParseArpPacket(std::span(frame, size));
    if (!packet) {
        return;
    }
    // Whatever a host says of itself lets us ask it by its own MAC later.
    if (packet->senderIp != 0 && packet->ethernetSource == packet->senderMac) {
        known_.Remember(packet->senderIp, packet->senderMac);
    }
    const std::lock_guard lock(mutex_);
    for (Asking* probe : probes_) {
        if (probe->ifindex != ifindex || !probe->asked) {
            continue;
        }
        auto mac = MatchArpReply(*packet, probe->question);
        if (!mac && !probe->answered) {
            // A silent target that speaks on its own is as alive as one that answers.
            mac = MatchUnsolicitedArp(*packet, probe->question);
        }
        if (mac) {
            AddAnswer(probe->macs, *mac);
            if (!probe->answered) {
                probe->answered = true;
                probe->wakeup.notify_all();
            }
        }
    }
    // Lingering probes by the same rules: a given-up one takes its first answer, an answered one
    // gathers other hosts. One whose scan stopped listening is forgotten here.
    std::erase_if(lingering_, [&](Lingering& probe) {
        if (!probe.late.listener->Listening()) {
            Forget(probe);
            return true;
        }
        if (probe.ifindex != ifindex) {
            return false;
        }
        if (!probe.macs.empty()) {
            if (const auto mac = MatchArpReply(*packet, probe.question)) {
                AddAnswer(probe.macs, *mac);
            }
            return false;
        }
        auto mac = MatchArpReply(*packet, probe.question);
        if (!mac) {
            mac = MatchUnsolicitedArp(*packet, probe.question);
        }
        if (!mac) {
            return false;
        }
        probe.late.listener->Deliver(probe.late.tag, mac->data());
        Forget(probe);
        return true;
    });
}

void PacketArpSender::Forget(const Lingering& probe) {
    if (probe.key != 0) {
        asker_.Remove(probe.key);
    }
}

void PacketArpSender::Remember(std::span<const KnownDevice> devices) {
    for (const KnownDevice& device : devices) {
        known_.Remember(device.address, device.mac);
    }
}

std::optional<MacAddress> PacketArpSender::KnownMac(int ifindex, std::uint32_t address) {
    if (auto mac = known_.Find(address)) {
        return mac;
    }
    const std::lock_guard lock(kernelMutex_);
    if (!kernel_) {
        kernel_.emplace();
    }
    const auto entry = kernel_->Lookup(ifindex, address);
    if (!HasUsableMac(entry)) {
        return std::nullopt;
    }
    known_.Remember(address, *entry->mac);
    return entry->mac;
}

void PacketArpSender::Repace(bool idle) {
    if (idle) {
        share_.LeaveAll();
    }
    const int peers = std::max(1, share_.Peers());
    const std::lock_guard lock(mutex_);
    if (peers != peers_) {
        peers_ = peers;
        pacer_.Retune(SendPacer(std::max(1, options_.framesPerSecond / peers),
                                std::max(1, options_.burst / peers)));
        asker_.SetPace(std::max(1, options_.lingerFramesPerSecond / peers));
    }
}

void PacketArpSender::AskAgain(std::stop_token stop) {
    struct Frame {
        ArpQuestion question;
        int ifindex = 0;
        std::optional<MacAddress> to;
    };
    std::unique_lock lock(mutex_);
    Clock::time_point counted{};
    while (!stop.stop_requested()) {
        const auto changed = [this] { return askerChanged_; };
        std::optional<Clock::time_point> wake = asker_.NextWake(Clock::now());
        // While it works on a link, the others on it are counted again now and then.
        const bool sharing = share_.Holding();
        if (sharing && (!wake || *wake > counted + options_.recount)) {
            wake = counted + options_.recount;
        }
        if (wake) {
            askerWake_.wait_until(lock, stop, *wake, changed);
        } else {
            askerWake_.wait(lock, stop, changed);
        }
        askerChanged_ = false;
        if (const Clock::time_point now = Clock::now();
            sharing && now >= counted + options_.recount) {
            // A sender with nothing to ask for a while gives its links up, so that it does not
            // slow the others.
            const bool idle =
                probes_.empty() && asker_.Size() == 0 && now - lastProbe_ > std::chrono::seconds(1);
            lock.unlock();
            Repace(idle);
            lock.lock();
            counted = now;
        }
        std::vector<Frame> frames;
        for (const LingerAsker::Ask& ask : asker_.Take(Clock::now())) {
            const auto probe = std::find_if(lingering_.begin(), lingering_.end(),
                                            [&](const Lingering& l) { return l.key == ask.key; });
            if (probe == lingering_.end()) {
                continue;
            }
            if (!probe->late.listener->Listening()) {
                Forget(*probe);
                lingering_.erase(probe);
                continue;
            }
            // A known MAC is asked directly every other time; the broadcast in between still
            // finds a device that has changed its MAC.
            const bool direct = probe->knownMac && ask.n % 2 == 0;
            frames.push_back(
                Frame{probe->question, probe->ifindex, direct ? probe->knownMac : std::nullopt});
        }
        if (frames.empty()) {
            continue;
        }
        lock.unlock();
        // A frame that did not leave is what the next ask is for.
        for (const Frame& frame : frames) {
            SendRequest(frame.question, frame.ifindex, frame.to);
        }
        lock.lock();
    }
}

void PacketArpSender::AddAnswer(std::vector<MacAddress>& macs, const MacAddress& mac) {
    if (macs.size() < kMaxAnswers && std::find(macs.begin(), macs.end(), mac) == macs.end()) {
        macs.push_back(mac);
    }
}

void PacketArpSender::Sweep(const std::shared_ptr<LateListener>& listener) {
    const std::lock_guard lock(mutex_);
    std::erase_if(lingering_, [&](const Lingering& probe) {
        if (probe.late.listener != listener || probe.macs.empty()) {
            return false;
        }
        for (std::size_t i = 1; i < probe.macs.size(); ++i) {
            listener->Deliver(probe.late.tag, probe.macs[i].data());
        }
        return true;
    });
}

std::size_t PacketArpSender::LingeringCount() {
    const std::lock_guard lock(mutex_);
    return lingering_.size();
}

int PacketArpSender::SendRequest(const ArpQuestion& question, int ifindex,
                                 const std::optional<MacAddress>& to) {
    const ArpFrame frame =
        to ? BuildUnicastArpRequest(question.ourMac, question.ourIp, question.targetIp, *to)
           : BuildArpRequest(question.ourMac, question.ourIp, question.targetIp);
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_ARP);
    link.sll_ifindex = ifindex;
    link.sll_halen = 6;
    std::copy(frame.begin(), frame.begin() + 6, link.sll_addr);
    const ssize_t sent = ::sendto(socket_.Get(), frame.data(), frame.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&link), sizeof link);
    if (sent == static_cast<ssize_t>(frame.size())) {
        return 0;
    }
    return sent < 0 ? errno : EMSGSIZE;
}

std::uint32_t PacketArpSender::Probe(std::uint32_t destinationHostOrder, MacAddress& answer,
                                     std::stop_token stop, const LateTag& late) {
    const auto links = ReadLinkInterfaces();
    if (!links) {
        // Not knowing the interfaces is no reason to call the target off-link.
        return errno == EMFILE || errno == ENFILE ? kErrorTooManyOpenFiles : kErrorGenFailure;
    }
    const LinkChoice choice = ChooseRoute(*links, destinationHostOrder);
    if (choice.verdict == LinkVerdict::NotOnLink) {
        return kErrorHostUnreachable;
    }
    if (choice.verdict == LinkVerdict::OwnAddress) {
        answer = choice.link.mac;
        return kNoError;
    }

    Asking probe;
    probe.question = ArpQuestion{choice.link.mac, choice.link.address, destinationHostOrder};
    probe.ifindex = choice.link.index;
    // On a link new to it, the sender takes its share before its first frame there.
    {
        const std::lock_guard lock(mutex_);
        lastProbe_ = Clock::now();
    }
    if (!share_.Holding()) {
        share_.Join(probe.ifindex);
        Repace();
        const std::lock_guard lock(mutex_);
        askerChanged_ = true;
        askerWake_.notify_all();
    } else {
        share_.Join(probe.ifindex);
    }
    std::optional<MacAddress> knownMac = KnownMac(probe.ifindex, destinationHostOrder);
    // A MAC of our own is never asked directly: whoever told it (any local user, through the
    // helper) would have us send frames to ourselves at the pace of the extra asks.
    if (knownMac && std::ranges::any_of(
                        *links, [&](const LinkInterface& link) { return link.mac == *knownMac; })) {
        knownMac.reset();
    }

    std::unique_lock lock(mutex_);
    probes_.push_front(&probe);
    const auto registered = probes_.begin();
    const auto answered = [&probe] { return probe.answered; };
    const ArpSchedule& schedule = options_.schedule;
    Clock::time_point first{};
    int sendError = 0;
    for (std::size_t i = 0; i < schedule.sends.size() && !probe.answered; ++i) {
        if (i > 0 && probe.wakeup.wait_until(lock, stop, first + schedule.sends[i], answered)) {
            break;
        }
        if (stop.stop_requested()) {
            break;
        }
        const Clock::time_point slot = pacer_.Reserve(Clock::now());
        if (probe.wakeup.wait_until(lock, stop, slot, answered) || stop.stop_requested()) {
            break;
        }
        if (i == 0) {
            first = Clock::now();
            probe.asked = true;
        }
        lock.unlock();
        // A lost frame is what the retries are for; a frame the system would not send at all
        // means the target was not really asked.
        const int error = SendRequest(probe.question, probe.ifindex);
        lock.lock();
        if (error != 0 && error != ENOBUFS && error != EAGAIN) {
            sendError = error;
            break;
        }
        if (i == 0 && knownMac && !probe.answered) {
            // The device last seen there hears its own MAC even while it dozes.
            const Clock::time_point direct = pacer_.Reserve(Clock::now());
            if (probe.wakeup.wait_until(lock, stop, direct, answered) || stop.stop_requested()) {
                break;
            }
            lock.unlock();
            SendRequest(probe.question, probe.ifindex, knownMac);
            lock.lock();
        }
    }
    if (!probe.answered && !stop.stop_requested() && sendError == 0) {
        probe.wakeup.wait_until(lock, stop, first + schedule.giveUp, answered);
    }
    probes_.erase(registered);
    if (!probe.answered && sendError != 0) {
        return SendFailure(sendError);
    }
    if (!probe.answered && stop.stop_requested()) {
        return kErrorCancelled;
    }
    std::erase_if(lingering_, [this](const Lingering& old) {
        if (old.late.listener->Listening()) {
            return false;
        }
        Forget(old);
        return true;
    });
    if (late.listener && late.listener->Listening()) {
        // No more frames go out for it: the worker limit bounds the targets being asked. An
        // answered one is still listened to for other hosts answering in its name.
        if (lingering_.size() >= kMaxLingering) {
            // An answered target's other hosts matter less than a silent target's answer.
            const auto oldestAnswered =
                std::find_if(lingering_.rbegin(), lingering_.rend(),
                             [](const Lingering& old) { return !old.macs.empty(); });
            const auto dropped = oldestAnswered != lingering_.rend()
                                     ? std::prev(oldestAnswered.base())
                                     : std::prev(lingering_.end());
            Forget(*dropped);
            lingering_.erase(dropped);
        }
        Lingering lingering{probe.question, probe.ifindex, late, probe.macs, 0, knownMac};
        const Clock::time_point until = first + late.listener->Window();
        if (!probe.answered && until > Clock::now()) {
            // Asked again until its window ends: a dozing device hears only some broadcasts.
            lingering.key = nextKey_++;
            const int workers = late.listener->WorkerLimit();
            // Its turns start once its first requests are plainly over, so that the link
            // shows the two apart.
            asker_.Add(lingering.key, std::max(Clock::now(), first + schedule.giveUp * 3 / 2),
                       until,
                       seed_ ^ (lingering.key * 0x9e3779b97f4a7c15ULL) ^ destinationHostOrder,
                       late.listener->PaceGroup(),
                       workers > 0 ? std::min(LingerAsker::kFramesPerSecond, 10 * workers)
                                   : LingerAsker::kFramesPerSecond);
            askerChanged_ = true;
            askerWake_.notify_all();
        }
        lingering_.push_front(std::move(lingering));
    }
    if (probe.answered) {
        answer = probe.macs.front();
        return kNoError;
    }
    return kErrorBadNetName;
}

}  // namespace talvik
