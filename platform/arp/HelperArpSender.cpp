// SPDX-License-Identifier: GPL-3.0-or-later
// What is said to the helper once it runs: requests, replies, and a helper that went quiet.
// Starting and ending its process is in HelperProcess.cpp.
#include "arp/HelperArpSender.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "arp/HelperProtocol.h"

namespace talvik {

struct HelperArpSender::Pending {
    std::shared_ptr<LateListener> listener;  // the scan it belongs to, if any
    bool done = false;
    HelperReply reply;
    std::condition_variable_any wakeup;
};

bool HelperArpSender::Broken() {
    const std::lock_guard lock(mutex_);
    return gone_;
}

void HelperArpSender::GiveUp(const std::shared_ptr<LateListener>& also) {
    MarkGone(also);
    {
        // Ending it closes its end of the channel, which ends the reader, which reaps it.
        const std::lock_guard lock(mutex_);
        if (const pid_t child = child_.load(); child > 0) {
            ::kill(child, SIGKILL);
        }
    }
    ::shutdown(channel_.Get(), SHUT_RDWR);
}

void HelperArpSender::Read() {
    std::array<std::uint8_t, kHelperReplySize> bytes;
    while (ReadFully(channel_.Get(), bytes.data(), bytes.size())) {
        auto reply = DecodeHelperReply(bytes);
        if (!reply) {
            break;
        }
        std::vector<std::uint32_t> forgotten;
        {
            const std::lock_guard lock(mutex_);
            const bool lateAnswer = reply->status == kHelperLateAnswer;
            const auto found = pending_.find(reply->id);
            const auto late = lingering_.find(reply->id);
            if (found != pending_.end()) {
                Pending& probe = *found->second;
                // A late answer that overtook the probe's own is its answer, and the probe's
                // own "no answer" after it must not undo it.
                if (lateAnswer) {
                    reply->status = kNoError;
                }
                if (!probe.done || (probe.reply.status != kNoError && reply->status == kNoError)) {
                    probe.reply = *reply;
                    probe.done = true;
                    probe.wakeup.notify_all();
                }
            } else if (const auto ping = std::ranges::find(pings_, reply->id);
                       ping != pings_.end() && reply->status == kHelperSwept) {
                pings_.erase(ping);
                swept_.notify_all();
            } else if (late != lingering_.end() && reply->status == kHelperSwept) {
                lingering_.erase(late);
                swept_.notify_all();
            } else if (late != lingering_.end() && lateAnswer) {
                late->second.late.listener->Deliver(late->second.late.tag, reply->mac.data());
                if (!late->second.answered) {
                    lingering_.erase(late);
                    forgotten.push_back(reply->id);
                }
            }
        }
        // The helper reads requests whatever it is writing, so this cannot wedge the two.
        Forget(forgotten);
    }
    MarkGone();
    // A helper that closed its end has ended or is ending: reaped now, not left a zombie
    // until this sender goes.
    const std::lock_guard lock(mutex_);  // no kill from GiveUp may reach a reaped process id
    if (const pid_t child = child_.exchange(-1); child > 0) {
        ::kill(child, SIGKILL);
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

void HelperArpSender::MarkGone(const std::shared_ptr<LateListener>& also) {
    const std::lock_guard lock(mutex_);
    const auto affect = [this](const std::shared_ptr<LateListener>& listener) {
        if (listener && listener->Listening() &&
            std::ranges::none_of(affected_,
                                 [&](const auto& known) { return known.lock() == listener; })) {
            affected_.push_back(listener);
        }
    };
    affect(also);
    if (!gone_) {
        gone_ = true;
        for (auto& [id, pending] : pending_) {
            affect(pending->listener);
        }
        // What it listened for is lost with it: the scans ask those targets again.
        for (auto& [id, probe] : lingering_) {
            affect(probe.late.listener);
            probe.late.listener->AskAgain(probe.late.tag);
        }
        lingering_.clear();
    }
    for (auto& [id, pending] : pending_) {
        pending->wakeup.notify_all();
    }
    swept_.notify_all();
}

bool HelperArpSender::Affected(const std::shared_ptr<LateListener>& listener) {
    const std::lock_guard lock(mutex_);
    return std::ranges::any_of(affected_,
                               [&](const auto& known) { return known.lock() == listener; });
}

bool HelperArpSender::Write(std::uint32_t op, std::uint32_t id, std::uint32_t target) {
    return Write(HelperRequest{op, id, target});
}

void HelperArpSender::Remember(std::span<const KnownDevice> devices) {
    for (const KnownDevice& device : devices) {
        HelperRequest request{kHelperRemember, 1, device.address};
        request.mac = device.mac;
        if (!Write(request)) {
            return;
        }
    }
}

void HelperArpSender::ScanEnded(const std::shared_ptr<LateListener>& /*listener*/) {
    std::vector<std::uint32_t> ids;
    {
        const std::lock_guard lock(mutex_);
        ids = TakeForgotten();
    }
    Forget(ids);
}

bool HelperArpSender::Write(const HelperRequest& request) {
    const auto bytes = EncodeHelperRequest(request);
    // A helper that stopped reading fills the channel: no writer waits on it, or on another
    // writer, longer than a probe would.
    const auto deadline = std::chrono::steady_clock::now() + patience_;
    {
        std::unique_lock lock(writeMutex_);
        if (!writeFree_.wait_until(lock, deadline, [this] { return !writing_; })) {
            lock.unlock();
            GiveUp();
            return false;
        }
        writing_ = true;
    }
    const auto release = [this](bool written) {
        {
            const std::lock_guard lock(writeMutex_);
            writing_ = false;
        }
        writeFree_.notify_one();
        return written;
    };
    std::size_t done = 0;
    while (done < bytes.size()) {
        // MSG_NOSIGNAL: a helper that died must not take the program down with SIGPIPE.
        const ssize_t sent = ::send(channel_.Get(), bytes.data() + done, bytes.size() - done,
                                    MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd fd{channel_.Get(), POLLOUT, 0};
            if (left.count() > 0 &&
                (::poll(&fd, 1, static_cast<int>(left.count())) == 1 || errno == EINTR)) {
                continue;
            }
            release(false);
            GiveUp();
            return false;
        }
        if (sent <= 0) {
            return release(false);
        }
        done += static_cast<std::size_t>(sent);
    }
    return release(true);
}

std::vector<std::uint32_t> HelperArpSender::TakeForgotten() {
    std::vector<std::uint32_t> ids;
    std::erase_if(lingering_, [&](const auto& entry) {
        const bool forget = !entry.second.late.listener->Listening();
        if (forget) {
            ids.push_back(entry.first);
        }
        return forget;
    });
    while (lingering_.size() >= kMaxLingering) {
        ids.push_back(lingering_.begin()->first);
        lingering_.erase(lingering_.begin());
    }
    return ids;
}

void HelperArpSender::Forget(const std::vector<std::uint32_t>& ids) {
    for (const std::uint32_t id : ids) {
        Write(kHelperCancel, id, 0);
    }
}

std::uint32_t HelperArpSender::Probe(std::uint32_t destinationHostOrder, MacAddress& answer,
                                     std::stop_token stop, const LateTag& late) {
    Pending pending;
    pending.listener = late.listener;
    std::unique_lock lock(mutex_);
    if (gone_) {
        return kErrorGenFailure;
    }
    std::uint32_t id = nextId_;
    nextId_ = nextId_ == 0xFFFFFFFFu ? 1 : nextId_ + 1;
    const auto [entry, inserted] = pending_.emplace(id, &pending);
    if (!inserted) {
        return kErrorGenFailure;  // four billion probes still waiting: cannot happen
    }
    // Given-up probes of scans that no longer listen are let go of at the helper too.
    const std::vector<std::uint32_t> stale = TakeForgotten();
    lock.unlock();
    Forget(stale);
    HelperRequest request{kHelperProbe, id, destinationHostOrder};
    if (late.listener) {
        request.windowMs = static_cast<std::uint32_t>(late.listener->Window().count());
        request.workers =
            static_cast<std::uint16_t>(std::clamp(late.listener->WorkerLimit(), 0, 64));
        const std::lock_guard scanLock(mutex_);
        if (lastScan_.lock() != late.listener) {
            lastScan_ = late.listener;
            ++scanTag_;
        }
        request.scan = scanTag_;
    }
    bool written = Write(request);
    lock.lock();
    bool overdue = false;
    if (written) {
        overdue =
            !pending.wakeup.wait_until(lock, stop, std::chrono::steady_clock::now() + patience_,
                                       [&] { return pending.done || gone_; }) &&
            !stop.stop_requested();
    }
    pending_.erase(entry);
    if (pending.done) {
        const std::uint32_t status = pending.reply.status;
        // The helper goes on listening for a silent target's answer, and for other hosts
        // answering in an answered target's name, while the scan listens.
        const bool linger = (status == kErrorBadNetName || status == kNoError) && late.listener &&
                            late.listener->Listening();
        if (linger) {
            lingering_.emplace(id, Lingering{late, status == kNoError});
        }
        lock.unlock();
        if (!linger) {
            Forget({id});
        }
        answer = pending.reply.mac;
        return status;
    }
    const bool gone = gone_ || !written;
    lock.unlock();
    if (gone) {
        return kErrorGenFailure;
    }
    if (overdue) {
        GiveUp(late.listener);  // it neither answered nor failed in time: it has stalled
        return kErrorTimeout;
    }
    // The helper still answers this id; the answer finds nobody waiting and is dropped.
    Write(kHelperCancel, id, 0);
    return kErrorCancelled;
}

void HelperArpSender::Sweep(const std::shared_ptr<LateListener>& listener) {
    std::vector<std::uint32_t> ids;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& [id, probe] : lingering_) {
            if (probe.answered && probe.late.listener == listener) {
                ids.push_back(id);
            }
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + patience_;
    for (const std::uint32_t id : ids) {
        if (!Write(kHelperSweep, id, 0)) {
            break;
        }
    }
    std::unique_lock lock(mutex_);
    const auto pendingSweep = [&] {
        return std::ranges::any_of(ids, [&](std::uint32_t id) { return lingering_.contains(id); });
    };
    const bool done = swept_.wait_until(lock, deadline, [&] { return gone_ || !pendingSweep(); });
    if (!done) {
        // A helper that does not finish a sweep in a probe's time has stalled: giving it up
        // hands what it listened for back to the scan, to ask again.
        lock.unlock();
        GiveUp(listener);
        lock.lock();
    }
    for (const std::uint32_t id : ids) {
        lingering_.erase(id);
    }
}

void HelperArpSender::WatchLate(const std::shared_ptr<LateListener>& listener,
                                std::stop_token stop) {
    std::uint32_t id = 0;
    {
        const std::lock_guard lock(mutex_);
        if (gone_ || std::ranges::none_of(lingering_, [&](const auto& entry) {
                return entry.second.late.listener == listener;
            })) {
            return;
        }
        id = nextId_;
        nextId_ = nextId_ == 0xFFFFFFFFu ? 1 : nextId_ + 1;
        pings_.push_back(id);
    }
    // An id the helper never had: it answers the sweep at once with the end of it.
    const bool written = Write(kHelperSweep, id, 0);
    std::unique_lock lock(mutex_);
    const bool alive =
        written && swept_.wait_until(lock, stop, std::chrono::steady_clock::now() + patience_, [&] {
            return gone_ || std::ranges::find(pings_, id) == pings_.end();
        });
    std::erase(pings_, id);
    if (written && !alive && !stop.stop_requested()) {
        lock.unlock();
        GiveUp(listener);
    }
}

}  // namespace talvik
