// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// ARP through talvik-arp, the small program that alone holds CAP_NET_RAW. Probes go to it
// over a socket pair; one thread here reads its answers and wakes the probe they belong to.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "arp/ArpSchedule.h"
#include "arp/HelperProtocol.h"
#include "arp/ProbingArpSender.h"
#include "os/UniqueFd.h"

namespace talvik {

class HelperArpSender final : public ProbingArpSender {
public:
    // Where talvik-arp is looked for, in order: beside the running executable (the build
    // tree), where an installed tree keeps it relative to the executable, then the configured
    // install path.
    static std::vector<std::string> HelperCandidates();

    // Starts the helper at `path` with `schedule`. Nothing when it cannot be started, does
    // not greet within `timeout`, or cannot open its packet socket (it has no CAP_NET_RAW).
    // `why`, when given, says why it cannot serve: its greeting's status (kErrorNotSupported
    // without CAP_NET_RAW), or kErrorGenFailure when it could not be started or never greeted.
    // With `quiet` its standard error is /dev/null: the program says what went wrong itself.
    static std::unique_ptr<HelperArpSender> Start(const std::string& path,
                                                  const ArpSchedule& schedule,
                                                  std::chrono::milliseconds timeout,
                                                  std::uint32_t* why = nullptr, bool quiet = false);

    // Talks over `channel` to a helper that is already running and none of ours to reap.
    // A probe the helper has not answered after `patience` fails with kErrorTimeout, so a
    // wedged helper cannot hold a scan forever.
    static std::unique_ptr<HelperArpSender> Attach(UniqueFd channel,
                                                   std::chrono::milliseconds timeout,
                                                   std::chrono::milliseconds patience);

    ~HelperArpSender() override;
    HelperArpSender(const HelperArpSender&) = delete;
    HelperArpSender& operator=(const HelperArpSender&) = delete;

    // The helper's process, or -1.
    pid_t Child() const { return child_; }

    // True once the helper has ended, broken the channel, or let a probe or a write wait past
    // its time; it is then ended and reaped, and every probe fails at once.
    bool Broken();

    // Asks the helper for the other hosts heard for the listener's answered probes and waits,
    // as long as for one probe at most, until it has said that all of them are delivered.
    void Sweep(const std::shared_ptr<LateListener>& listener) override;
    // Passed on to the helper, which asks those MACs directly too.
    void Remember(std::span<const KnownDevice> devices) override;
    // The helper stops asking and listening for the scan's probes at once.
    void ScanEnded(const std::shared_ptr<LateListener>& listener) override;

    // While the listener's scan has probes lingering here, asks the helper for a sign of life
    // (a sweep of an id it never had) and gives it up when none comes within a probe's time:
    // a helper stopped in the late window would otherwise lose its late answers unseen.
    void WatchLate(const std::shared_ptr<LateListener>& listener, std::stop_token stop) override;

    // Whether the helper had probes of the listener's scan in flight or lingering when it went
    // away: those were lost to that scan (and handed back to its listener to ask again).
    bool Affected(const std::shared_ptr<LateListener>& listener);

    // At most this many probes are listened for; the oldest is given up first.
    static constexpr std::size_t kMaxLingering = 1024;

private:
    struct Pending;
    struct Lingering {
        LateTag late;
        bool answered = false;  // listened for other hosts answering in its name, until swept
    };
    HelperArpSender(UniqueFd channel, std::chrono::milliseconds patience);
    // kErrorGenFailure once the helper has gone away.
    std::uint32_t Probe(std::uint32_t destinationHostOrder, MacAddress& answer,
                        std::stop_token stop, const LateTag& late) override;
    static std::unique_ptr<HelperArpSender> Begin(UniqueFd channel, std::function<pid_t()> spawn,
                                                  std::chrono::milliseconds timeout,
                                                  std::chrono::milliseconds patience,
                                                  std::uint32_t* why);
    std::uint32_t AwaitGreeting(std::chrono::milliseconds timeout);
    void Read();
    // Also hands every probe still listened for back to its scan. `also`: a scan whose probe
    // was lost though no longer filed here.
    void MarkGone(const std::shared_ptr<LateListener>& also = nullptr);
    // A helper that stopped answering or reading is given up: ended, so the reader reaps it.
    void GiveUp(const std::shared_ptr<LateListener>& also = nullptr);
    bool Write(std::uint32_t op, std::uint32_t id, std::uint32_t target);
    bool Write(const HelperRequest& request);
    // Takes out the lingering ids whose scan no longer listens (and the oldest beyond the
    // bound), for the caller to cancel once the lock is let go.
    std::vector<std::uint32_t> TakeForgotten();
    void Forget(const std::vector<std::uint32_t>& ids);

    UniqueFd channel_;
    std::atomic<pid_t> child_{-1};  // set by the reader; -1 again once it has reaped the helper
    std::chrono::milliseconds patience_;
    // One writer at a time, and none waits for another past its time (a timed mutex would do,
    // but the thread sanitizer cannot follow one).
    std::mutex writeMutex_;
    std::condition_variable writeFree_;
    bool writing_ = false;
    // Guards pending_, every Pending in it, lingering_, nextId_, gone_, and the helper process
    // against a kill once it is reaped.
    std::mutex mutex_;
    std::map<std::uint32_t, Pending*> pending_;
    std::map<std::uint32_t, Lingering> lingering_;       // ids the helper still listens for
    std::condition_variable_any swept_;                  // an id left lingering_ or pings_
    std::vector<std::uint32_t> pings_;                   // signs of life asked for, not yet given
    std::vector<std::weak_ptr<LateListener>> affected_;  // scans that lost probes when it went
    std::uint32_t nextId_ = 1;
    std::weak_ptr<LateListener> lastScan_;  // tells one scan's probes from the next one's
    std::uint16_t scanTag_ = 0;
    bool gone_ = false;
    std::jthread reader_;
};

}  // namespace talvik
