// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// ARP over an AF_PACKET socket: our own requests, our own retries, replies matched by a
// receiving thread. Needs CAP_NET_RAW only to open the socket. A target that lingers silent is
// asked again while its scan listens, and a device whose MAC is known is also asked by it.

#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "arp/ArpFrame.h"
#include "arp/ArpSchedule.h"
#include "arp/KnownMacs.h"
#include "arp/LinkShare.h"
#include "arp/ProbingArpSender.h"
#include "netlink/NeighbourTable.h"
#include "os/UniqueFd.h"
#include "os/WakeEvent.h"

namespace talvik {

class PacketArpSender final : public ProbingArpSender {
public:
    struct Options {
        ArpSchedule schedule;
        // A hard ceiling on the frames that leave, whoever asks.
        int framesPerSecond = 2000;
        int burst = 64;
        // The extra asks of lingering targets, and the rate all of them together keep to.
        LingerPlan linger;
        int lingerFramesPerSecond = LingerAsker::kFramesPerSecond;
        // Both rates are for a link, whatever number of our senders work on it at once: each
        // keeps to its share, counted again at least every `recount` while it works there.
        std::chrono::milliseconds recount{100};
    };

    // The packet socket for every interface, or an invalid descriptor with errno set (EPERM
    // without CAP_NET_RAW).
    static UniqueFd OpenSocket();

    // Takes a socket from OpenSocket, possibly opened before privileges were dropped.
    // Nothing when the socket is invalid, the schedule is not, or no thread can be started.
    static std::unique_ptr<PacketArpSender> Create(UniqueFd socket, Options options);
    static std::unique_ptr<PacketArpSender> Create(UniqueFd socket) {
        return Create(std::move(socket), Options{});
    }

    ~PacketArpSender() override;
    PacketArpSender(const PacketArpSender&) = delete;
    PacketArpSender& operator=(const PacketArpSender&) = delete;

    // Hands on the other hosts that answered for an answered target (an address conflict, proxy
    // ARP), only now, so that none reaches the scan before the target's own answer.
    void Sweep(const std::shared_ptr<LateListener>& listener) override;
    void Remember(std::span<const KnownDevice> devices) override;

    // Given-up and answered probes still listened for, across every scan.
    std::size_t LingeringCount();

    // At most this many probes are listened for; the oldest answered one goes first, else the
    // oldest.
    static constexpr std::size_t kMaxLingering = 1024;
    // The distinct hosts heard for one answered target, its first answer included.
    static constexpr std::size_t kMaxAnswers = 4;

private:
    struct Asking;
    struct Lingering {
        ArpQuestion question;
        int ifindex = 0;
        LateTag late;
        // Empty for a given-up probe; for an answered one every distinct host heard, first
        // answer first.
        std::vector<MacAddress> macs;
        std::uint64_t key = 0;               // its extra asks, while it is silent
        std::optional<MacAddress> knownMac;  // asked directly too
    };
    static void AddAnswer(std::vector<MacAddress>& macs, const MacAddress& mac);
    PacketArpSender(UniqueFd socket, Options options);
    std::uint32_t Probe(std::uint32_t destinationHostOrder, MacAddress& answer,
                        std::stop_token stop, const LateTag& late) override;
    void Receive(std::stop_token stop);
    void Dispatch(const std::uint8_t* frame, std::size_t size, int ifindex);
    // 0, or the errno of a frame that did not leave; a known MAC gets it alone, else everyone.
    int SendRequest(const ArpQuestion& question, int ifindex,
                    const std::optional<MacAddress>& to = std::nullopt);
    // Sends the extra asks of lingering targets as they fall due.
    void AskAgain(std::stop_token stop);
    // The MAC last seen at the address: heard by us, told by Remember, else the kernel's.
    std::optional<MacAddress> KnownMac(int ifindex, std::uint32_t address);
    // Takes a lingering probe out; called with mutex_ held.
    void Forget(const Lingering& probe);
    // Counts the senders on our links and takes this one's share of the rates; with `idle`,
    // gives our links up first.
    void Repace(bool idle = false);

    UniqueFd socket_;
    WakeEvent wake_;  // ends the receiving thread's poll
    Options options_;
    // Guards probes_, every Asking in it, lingering_, pacer_, asker_ and askerChanged_.
    std::mutex mutex_;
    std::list<Asking*> probes_;
    std::list<Lingering> lingering_;  // newest first
    SendPacer pacer_;
    LingerAsker asker_;
    std::condition_variable_any askerWake_;
    bool askerChanged_ = false;
    std::uint64_t nextKey_ = 1;
    std::uint64_t seed_ = 0;
    KnownMacs known_;
    LinkShare share_;
    int peers_ = 1;                                    // guarded by mutex_, as is lastProbe_
    std::chrono::steady_clock::time_point lastProbe_;  // when a probe last started
    std::mutex kernelMutex_;                           // guards kernel_
    std::optional<NeighbourTable> kernel_;
    std::jthread receiver_;
    std::jthread askerThread_;
};

}  // namespace talvik
