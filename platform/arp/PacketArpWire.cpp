// SPDX-License-Identifier: GPL-3.0-or-later
#include "arp/PacketArpWire.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <thread>

#include "arp/ArpWireTexts.h"

#ifndef PACKET_IGNORE_OUTGOING
#define PACKET_IGNORE_OUTGOING 23
#endif

namespace talvik {
namespace {

using namespace std::chrono_literals;

// The interface list is read again at most this often while asking: a changed address is
// seen soon, a sweep does not read it for every frame.
constexpr auto kLinksFresh = 1s;
// How often Hear looks whether an interface that went quiet still exists: a link that was
// down when it was removed leaves the socket no error to report.
constexpr auto kPresenceCheck = 1s;
// The others on the link are counted again this often while we ask; after this long without
// an ask, our share is given back.
constexpr auto kRecount = 100ms;
constexpr auto kIdle = 1s;
// Frames taken in one Hear, so that a flood cannot keep it from returning.
constexpr std::size_t kMostPerHear = 4096;

std::optional<LinkInterface> FindLink(std::span<const LinkInterface> links, int ifindex) {
    for (const LinkInterface& link : links) {
        if (link.index == ifindex && link.canArp) {
            return link;
        }
    }
    return std::nullopt;
}

}  // namespace

UniqueFd PacketArpWire::OpenSocket() {
    // Protocol 0: nothing is queued before the bind names the interface and ARP.
    return UniqueFd(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
}

std::unique_ptr<PacketArpWire> PacketArpWire::Create(UniqueFd socket, int ifindex, int& error) {
    error = 0;
    if (!socket.Valid()) {
        error = EBADF;
        return nullptr;
    }
    const auto links = ReadLinkInterfaces();
    if (!links) {
        error = errno;
        return nullptr;
    }
    const auto link = FindLink(*links, ifindex);
    if (!link) {
        char name[IF_NAMESIZE];
        if (ifindex <= 0 || ::if_indextoname(static_cast<unsigned>(ifindex), name) == nullptr) {
            error = ENODEV;
        } else {
            const bool up = std::ranges::any_of(
                *links, [&](const LinkInterface& l) { return l.index == ifindex; });
            error = up || LinkUsable(name) ? EADDRNOTAVAIL : ENETDOWN;
        }
        return nullptr;
    }
    const int fd = socket.Get();
    const int one = 1;
    ::setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    // Past the system's limit where we may (root); else as much as the limit allows.
    const int buffer = kReceiveBuffer;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ARP);
    address.sll_ifindex = ifindex;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
        return nullptr;
    }
    std::unique_ptr<PacketArpWire> wire(new PacketArpWire(std::move(socket), *link));
    if (!wire->wake_.Valid()) {
        error = EMFILE;
        return nullptr;
    }
    return wire;
}

PacketArpWire::PacketArpWire(UniqueFd socket, LinkInterface link)
    : socket_(std::move(socket)), link_(std::move(link)) {}

bool PacketArpWire::StillThere() const {
    // Asked through the wire's own socket, so in its namespace whatever thread asks.
    ifreq request{};
    request.ifr_ifindex = link_.index;
    return ::ioctl(socket_.Get(), SIOCGIFNAME, &request) == 0 &&
           link_.name == std::string(request.ifr_name, ::strnlen(request.ifr_name, IFNAMSIZ));
}

int PacketArpWire::Hear(std::vector<HeardArp>& frames, std::chrono::milliseconds timeout) {
    const std::size_t before = frames.size();
    if (const int error = Drain(frames); error != 0) {
        return error;
    }
    if (frames.size() == before) {
        pollfd fds[2] = {{socket_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
        const int ready =
            ::poll(fds, 2, static_cast<int>(std::clamp<long long>(timeout.count(), 0, 1 << 30)));
        if (ready > 0 && fds[1].revents != 0) {
            std::uint64_t count;
            [[maybe_unused]] const auto got = ::read(wake_.Get(), &count, sizeof count);
        }
        if (ready > 0 && fds[0].revents != 0) {
            if (const int error = Drain(frames); error != 0) {
                return error;
            }
        }
    }
    const Clock::time_point now = Clock::now();
    if (frames.size() == before && now - checked_ >= kPresenceCheck) {
        checked_ = now;
        if (!StillThere()) {
            return ENODEV;
        }
    }
    // A wire that stopped asking gives its share of the link back to the others.
    if (share_.Holding() && now.time_since_epoch().count() - lastAsk_.load() >
                                std::chrono::duration_cast<Clock::duration>(kIdle).count()) {
        const std::lock_guard lock(askMutex_);
        share_.LeaveAll();
    }
    return 0;
}

int PacketArpWire::Drain(std::vector<HeardArp>& frames) {
    std::uint8_t frame[ETH_FRAME_LEN];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    // Kernel stamps are on the wall clock; frames are told on the steady one.
    timespec wall{};
    ::clock_gettime(CLOCK_REALTIME, &wall);
    const Clock::time_point steadyNow = Clock::now();
    const auto wallNow = std::chrono::seconds(wall.tv_sec) + std::chrono::nanoseconds(wall.tv_nsec);
    for (std::size_t taken = 0; taken < kMostPerHear; ++taken) {
        sockaddr_ll from{};
        iovec io{frame, sizeof frame};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = ::recvmsg(socket_.Get(), &message, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            // The socket reports its interface going down once; one that went away for good
            // ends the wire, one that is only down may come back.
            if ((errno == ENETDOWN || errno == ENODEV || errno == ENXIO) && !StillThere()) {
                return ENODEV;
            }
            break;
        }
        if (from.sll_pkttype == PACKET_OUTGOING || from.sll_ifindex != link_.index) {
            continue;
        }
        const auto packet = ParseArpPacket(std::span(frame, static_cast<std::size_t>(got)));
        if (!packet) {
            continue;
        }
        HeardArp heard;
        heard.when = steadyNow;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp;
                std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                const auto age = wallNow - std::chrono::seconds(stamp.tv_sec) -
                                 std::chrono::nanoseconds(stamp.tv_nsec);
                if (age > Clock::duration::zero()) {
                    heard.when = steadyNow - std::chrono::duration_cast<Clock::duration>(age);
                }
            }
        }
        heard.opcode = packet->opcode;
        heard.frameSource = packet->ethernetSource;
        heard.senderMac = packet->senderMac;
        heard.senderAddress = packet->senderIp;
        heard.targetMac = packet->targetMac;
        heard.targetAddress = packet->targetIp;
        frames.push_back(heard);
    }
    tpacket_stats stats{};
    socklen_t size = sizeof stats;
    // Reading the counts resets them.
    if (::getsockopt(socket_.Get(), SOL_PACKET, PACKET_STATISTICS, &stats, &size) == 0) {
        lost_ += stats.tp_drops;
    }
    return 0;
}

void PacketArpWire::Pace() {
    const Clock::time_point now = Clock::now();
    lastAsk_ = now.time_since_epoch().count();
    if (!share_.Holding()) {
        share_.Join(link_.index);
        counted_ = {};
    }
    if (now - counted_ >= kRecount) {
        counted_ = now;
        const int peers = std::max(1, share_.Peers());
        if (peers != peers_) {
            peers_ = peers;
            pacer_.Retune(SendPacer(std::max(1, kCeiling / peers), std::max(1, 64 / peers)));
        }
    }
    std::this_thread::sleep_until(pacer_.Reserve(Clock::now()));
}

int PacketArpWire::Ask(std::uint32_t target, const std::array<std::uint8_t, 6>* to) {
    // Whoever names the MAC (a store, any local user through the helper) must not make us send
    // to ourselves or to a group.
    if (to && (!IsUnicastMac(*to) || *to == link_.mac)) {
        return EINVAL;
    }
    const std::lock_guard lock(askMutex_);
    const Clock::time_point now = Clock::now();
    if (!links_ || now - linksRead_ >= kLinksFresh) {
        links_ = ReadLinkInterfaces();
        linksRead_ = now;
    }
    if (!links_) {
        return errno == 0 ? EIO : errno;
    }
    const LinkChoice choice = ChooseRoute(*links_, target);
    if (choice.verdict != LinkVerdict::OnLink || choice.link.index != link_.index) {
        if (!StillThere()) {
            return ENODEV;
        }
        if (!LinkUsable(link_.name)) {
            return ENETDOWN;
        }
        return EHOSTUNREACH;
    }
    Pace();
    const ArpFrame frame = to ? BuildUnicastArpRequest(link_.mac, choice.link.address, target, *to)
                              : BuildArpRequest(link_.mac, choice.link.address, target);
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ARP);
    address.sll_ifindex = link_.index;
    address.sll_halen = 6;
    std::copy_n(frame.begin(), 6, address.sll_addr);
    const ssize_t sent = ::sendto(socket_.Get(), frame.data(), frame.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (sent == static_cast<ssize_t>(frame.size())) {
        return 0;
    }
    if (sent >= 0) {
        return EMSGSIZE;
    }
    const int error = errno;
    return (error == ENXIO || error == ENODEV) && !StillThere() ? ENODEV : error;
}

std::unique_ptr<IArpWire> PacketArpWires::Open(const std::string& name, std::string& error) {
    const unsigned index = ::if_nametoindex(name.c_str());
    if (index == 0) {
        error = WireOpenError(name, ENODEV);
        return nullptr;
    }
    UniqueFd socket = PacketArpWire::OpenSocket();
    if (!socket.Valid()) {
        error = WireOpenError(name, errno);
        return nullptr;
    }
    int why = 0;
    auto wire = PacketArpWire::Create(std::move(socket), static_cast<int>(index), why);
    if (!wire) {
        error = WireOpenError(name, why);
    }
    return wire;
}

std::string WireOpenError(const std::string& name, int error) {
    const char* format = kWireFailed;
    switch (error) {
        case ENODEV:
        case ENXIO:
            format = kWireNoInterface;
            break;
        case ENETDOWN:
            format = kWireDown;
            break;
        case EADDRNOTAVAIL:
            format = kWireNoAddress;
            break;
        case EPERM:
        case EACCES:
            format = kWireNoCapability;
            break;
        case EIO:
            format = kWireHelperEnded;
            break;
        default:
            break;
    }
    std::string line = format;
    if (const auto at = line.find("%1"); at != std::string::npos) {
        line.replace(at, 2, name);
    }
    if (const auto at = line.find("%2"); at != std::string::npos) {
        line.replace(at, 2, std::strerror(error));
    }
    return line;
}

}  // namespace talvik
