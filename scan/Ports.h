// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The small interfaces through which the scan engine reaches the window, the operating system
// and the network. The window layer and the platform layer implement them; tests script them.
// Text is UTF-8 throughout.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "scan/PortCodes.h"

namespace talvik {

// What became of a row in the latest scan.
enum class RowOutcome {
    NotScanned,  // not (yet) asked
    Waiting,     // in the running scan, not asked yet or not answered yet
    Silent,      // asked, no answer
    Unresolved,  // a name that did not resolve: never asked
    Answered,
    NotAsked,  // in the scan, but no request could really be made; see NotAskedReason
};

// Why a target of a scan was not asked. Its row stays empty; it says nothing about the host.
enum class NotAskedReason {
    OffLink,      // no direct way to it (a gateway, no route): nothing was sent
    Loopback,     // a loopback address, on no segment: nothing was sent
    LinkDown,     // its interface was down, gone or without carrier
    Refused,      // the system refused the send (a local firewall)
    NoResources,  // no descriptor to be had for it
    HelperLost,   // the ARP helper ended and nothing could take over in time
    Failed,       // any other failure of the sender
};

// The result list. Called on the user-interface thread only.
class IResultList {
public:
    virtual ~IResultList() = default;
    virtual int GetItemCount() const = 0;
    // The first row after `start` (row 0 onwards when start is -1) that passes the filter, or -1.
    virtual int GetNextItem(int start, ItemFilter filter) const = 0;
    virtual std::string GetItemText(int row, int column) const = 0;
    virtual void SetItemText(int row, int column, const std::string& text) = 0;
    // Tells the list what became of a row, beside its cells; `address` is the one asked (host
    // byte order), 0 when not known. A list that shows only the cells ignores it.
    virtual void SetRowOutcome(int /*row*/, RowOutcome /*outcome*/, std::uint32_t /*address*/) {}
    // A row that answered only by what the system already knew: the kernel had confirmed the
    // host `ago` before it was asked, and did not ask it again.
    virtual void SetRowConfirmedBefore(int /*row*/, std::chrono::milliseconds /*ago*/) {}
    // A row of the scan that was not asked, and why; its cells stay empty.
    virtual void SetRowNotAsked(int row, NotAskedReason /*why*/, std::uint32_t address) {
        SetRowOutcome(row, RowOutcome::NotAsked, address);
    }
};

// The progress bar. Called on the user-interface thread only.
class IProgressBar {
public:
    virtual ~IProgressBar() = default;
    virtual void SetRange(int minimum, int maximum) = 0;
    virtual void SetPos(int position) = 0;
    virtual int GetPos() const = 0;
};

// Toolbar buttons and menu-bar items, found by command. Called on the user-interface thread only.
class ICommandStates {
public:
    virtual ~ICommandStates() = default;
    virtual void EnableButton(int command, bool enable) = 0;
    virtual void EnableMenuItem(int command, unsigned flags) = 0;  // kMfEnabled or kMfGrayed
};

// Modal message box owned by the main window. Called on the user-interface thread only; returns
// the button pressed (kIdOk, kIdYes, kIdNo).
class IMessageBox {
public:
    virtual ~IMessageBox() = default;
    virtual int MessageBox(const std::string& text, const std::string& caption, unsigned type) = 0;
};

// Runs closures on the user-interface thread, one after another, in the order they were posted.
// Post is safe from any thread, also after the engine is gone; a closure that arrives after the
// user-interface thread has stopped serving events is dropped.
class IUiPoster {
public:
    virtual ~IUiPoster() = default;
    virtual void Post(std::function<void()> task) = 0;
};

// Host-name lookup. Safe to call from several threads at once; may block for a long time.
class INameResolver {
public:
    virtual ~INameResolver() = default;
    // The first IPv4 address of the name in host byte order, or nothing.
    virtual std::optional<std::uint32_t> Resolve(const std::string& name) = 0;
};

// An opaque thread handle. It is signalled once its thread has ended and stays signalled.
class IThread {
public:
    virtual ~IThread() = default;
};
using ThreadHandle = std::shared_ptr<IThread>;

// Thread start and waits for any one or all of several threads; one wait takes at most
// kMaximumWaitObjects handles.
class IThreads {
public:
    virtual ~IThreads() = default;
    // Starts `procedure` at once; nullptr when no thread could be created.
    virtual ThreadHandle BeginThread(std::function<unsigned()> procedure) = 0;
    // kWaitObject0 + index of a signalled handle (the lowest, or any when waitAll), kWaitTimeout,
    // or kWaitFailed with GetLastError() telling why (an empty handle, more than 64 handles).
    virtual std::uint32_t WaitForMultipleObjects(std::uint32_t count, const ThreadHandle* handles,
                                                 bool waitAll, std::uint32_t timeoutMs) = 0;
    // The error of the calling thread's last failed call.
    virtual std::uint32_t GetLastError() = 0;
};

// Results of an ARP request beyond an answer, silence and a stop: the target was not asked.
// Only silence says anything about the host; every other code is counted and reported.
inline constexpr std::uint32_t kErrorAccessDenied = 5;           // the system refused the send
inline constexpr std::uint32_t kErrorTooManyOpenFiles = 4;       // descriptors stayed short
inline constexpr std::uint32_t kErrorNetworkUnreachable = 1231;  // its link down, gone, no carrier
inline constexpr std::uint32_t kErrorHostUnreachable = 1232;     // no direct way to it: not asked
inline constexpr std::uint32_t kErrorHelperLost = 1236;  // the helper ended, nothing took over

// What a scan's user must hear of beyond its rows, left by the senders. Safe from any thread.
class ScanNotes final {
public:
    enum class Helper { Fine, Restarted, Replaced };
    struct Snapshot {
        Helper helper = Helper::Fine;
        std::string lostLink;  // the interface that went down during the scan, if any
        // The helper could not be started again for this scan, which ran on the fallback.
        bool helperUnavailable = false;
    };
    void HelperRestarted() { Raise(Helper::Restarted); }
    void HelperReplaced() { Raise(Helper::Replaced); }
    void HelperUnavailable() {
        const std::lock_guard lock(mutex_);
        notes_.helperUnavailable = true;
    }
    void LinkLost(const std::string& name) {
        const std::lock_guard lock(mutex_);
        if (notes_.lostLink.empty()) {
            notes_.lostLink = name;
        }
    }
    Snapshot Take() const {
        const std::lock_guard lock(mutex_);
        return notes_;
    }

private:
    void Raise(Helper helper) {
        const std::lock_guard lock(mutex_);
        notes_.helper = std::max(notes_.helper, helper);
    }
    mutable std::mutex mutex_;
    Snapshot notes_;
};

// Hears of answers that arrive after a probe gave up, for as long as its scan listens. Deliver
// is safe from any thread; once Close has returned, nothing more is delivered. It stands for
// its scan: senders also leave their notes on it, and may tell one scan from another by it.
class LateListener final {
public:
    ScanNotes& Notes() { return notes_; }

    using Sink = std::function<void(std::int32_t tag, const std::uint8_t* mac)>;
    explicit LateListener(Sink sink) : sink_(std::move(sink)) {}

    // How long after a target's first request the scan listens for it; a sender may keep asking
    // a silent target until then. Set before the scan's threads see the listener.
    void SetWindow(std::chrono::milliseconds window) { window_ = window; }
    std::chrono::milliseconds Window() const { return window_; }
    // How many targets the scan asks at once (0: not said). A sender asks lingering targets
    // again no faster than that many workers would, a frame each per 100 ms. Set with the window.
    void SetWorkerLimit(int workers) { workers_ = workers; }
    int WorkerLimit() const { return workers_; }
    // Listeners that stand for the same scan share one pace; by default each is its own.
    void SetPaceGroup(std::uint64_t group) { paceGroup_ = group; }
    std::uint64_t PaceGroup() const {
        return paceGroup_ != 0 ? paceGroup_ : reinterpret_cast<std::uintptr_t>(this);
    }

    bool Listening() const { return listening_.load(std::memory_order_acquire); }
    void Deliver(std::int32_t tag, const std::uint8_t* mac) {
        const std::lock_guard lock(mutex_);
        if (Listening() && sink_) {
            sink_(tag, mac);
        }
    }
    void Close() {
        {
            const std::lock_guard lock(mutex_);
            listening_.store(false, std::memory_order_release);
            sink_ = nullptr;  // lets go of whatever the sink holds
        }
        const std::lock_guard lock(againMutex_);
        again_.clear();
        againReady_.notify_all();
    }

    // A sender lost the probe with `tag` while the scan still listened for it (its helper
    // ended, its link went down): the scan asks it again. Safe from any thread and under a
    // sender's own locks.
    void AskAgain(std::int32_t tag) {
        if (!Listening()) {
            return;
        }
        const std::lock_guard lock(againMutex_);
        again_.push_back(tag);
        againReady_.notify_all();
    }
    // The tags to ask again, once there are any, `until` has come or `stop` is requested.
    std::vector<std::int32_t> AwaitAskAgain(std::stop_token stop,
                                            std::chrono::steady_clock::time_point until) {
        std::unique_lock lock(againMutex_);
        againReady_.wait_until(lock, stop, until, [this] { return !again_.empty(); });
        return std::exchange(again_, {});
    }

    // The moment a request for `tag` really went out, where a sender had to send it again
    // (after mending itself); the late window counts from there.
    void MarkAsked(std::int32_t tag) {
        const std::lock_guard lock(againMutex_);
        asked_[tag] = std::chrono::steady_clock::now();
    }
    std::optional<std::chrono::steady_clock::time_point> AskedAt(std::int32_t tag) const {
        const std::lock_guard lock(againMutex_);
        const auto found = asked_.find(tag);
        return found == asked_.end() ? std::nullopt : std::optional(found->second);
    }

    // The answer for `tag` is the system's memory of the host, confirmed `ago` before it was
    // asked, not a reply to this scan's request.
    void MarkConfirmedBefore(std::int32_t tag, std::chrono::milliseconds ago) {
        const std::lock_guard lock(againMutex_);
        confirmedBefore_[tag] = ago;
    }
    std::optional<std::chrono::milliseconds> ConfirmedBefore(std::int32_t tag) const {
        const std::lock_guard lock(againMutex_);
        const auto found = confirmedBefore_.find(tag);
        return found == confirmedBefore_.end() ? std::nullopt : std::optional(found->second);
    }

private:
    std::mutex mutex_;
    std::atomic<bool> listening_{true};
    Sink sink_;
    std::chrono::milliseconds window_{0};
    int workers_ = 0;
    std::uint64_t paceGroup_ = 0;
    ScanNotes notes_;
    mutable std::mutex againMutex_;  // guards again_, asked_ and confirmedBefore_
    std::condition_variable_any againReady_;
    std::vector<std::int32_t> again_;
    std::map<std::int32_t, std::chrono::steady_clock::time_point> asked_;
    std::map<std::int32_t, std::chrono::milliseconds> confirmedBefore_;
};

// Where a late answer to one probe goes: `tag` names the probe to the listener.
struct LateTag {
    std::shared_ptr<LateListener> listener;
    std::int32_t tag = 0;
};

// An address and the MAC last seen there (host byte order; the MAC as on the wire).
struct KnownDevice {
    std::uint32_t address = 0;
    std::array<std::uint8_t, 6> mac{};
};

// One ARP request on the local segment. Safe to call from up to 64 threads at once. Returns
// kNoError and fills the six bytes of `mac` when the host answered, otherwise an error code
// (kErrorBadNetName for no answer, kErrorCancelled once `stop` is requested, one of the codes
// above or any other when the request could not really be made). A stop request
// wakes the call at once. With a listener in `late`, a sender that gave up keeps watching for
// the target's answer and delivers it there while the listener listens.
class IArpSender {
public:
    virtual ~IArpSender() = default;
    virtual std::uint32_t SendARP(std::uint32_t destinationHostOrder, std::uint8_t* mac,
                                  std::uint32_t* length, std::stop_token stop,
                                  const LateTag& late = {}) = 0;
    // The least time after a target's first request during which its answer may still come.
    virtual std::chrono::milliseconds LateFloor() const { return std::chrono::milliseconds(0); }
    // Called once the listener's late window has passed, before it stops listening: a sender
    // that learns of answers only by looking delivers them here.
    virtual void Sweep(const std::shared_ptr<LateListener>& /*listener*/) {}
    // MACs seen at addresses before, from a store of devices: a sender that can choose its
    // frames also asks those MACs directly. What it hears itself it remembers untold.
    virtual void Remember(std::span<const KnownDevice> /*devices*/) {}
    // Called once the listener no longer listens (its scan ended, was stopped or closed): a
    // sender lets go at once of whatever it still does for that scan.
    virtual void ScanEnded(const std::shared_ptr<LateListener>& /*listener*/) {}
    // Called now and then while the listener's scan waits for late answers, and once more
    // before the sweep: a sender whose listening can end unseen (a helper that stalled, a link
    // that went down) checks it here and hands what it lost to the listener's AskAgain. May
    // block for as long as a probe; a stop request cuts it short.
    virtual void WatchLate(const std::shared_ptr<LateListener>& /*listener*/,
                           std::stop_token /*stop*/) {}
};

}  // namespace talvik
