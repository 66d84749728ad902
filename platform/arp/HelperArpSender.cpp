// SPDX-License-Identifier: GPL-3.0-or-later
#include "arp/HelperArpSender.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <future>

#include "arp/HelperProtocol.h"

namespace talvik {
namespace {

// What the helper may take beyond a probe's own wait before it counts as stalled.
constexpr std::chrono::milliseconds kStallGrace{500};

void Reap(pid_t child) {
    if (child <= 0) {
        return;
    }
    // The helper ends on its own once its input closes; one that does not is ended.
    for (int i = 0; i < 100; ++i) {
        const pid_t done = ::waitpid(child, nullptr, WNOHANG);
        if (done == child || (done < 0 && errno != EINTR)) {
            return;
        }
        ::usleep(10000);
    }
    ::kill(child, SIGKILL);
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

struct HelperArpSender::Pending {
    std::shared_ptr<LateListener> listener;  // the scan it belongs to, if any
    bool done = false;
    HelperReply reply;
    std::condition_variable_any wakeup;
};

std::vector<std::string> HelperArpSender::HelperCandidates() {
    std::vector<std::string> candidates;
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        candidates.push_back((self.parent_path() / "talvik-arp").string());
        candidates.push_back(
            (self.parent_path() / TALVIK_HELPER_FROM_BINDIR).lexically_normal().string());
    }
    // An installed program finds the same helper both ways; it is tried once.
    if (std::find(candidates.begin(), candidates.end(), TALVIK_HELPER_INSTALL_PATH) ==
        candidates.end()) {
        candidates.emplace_back(TALVIK_HELPER_INSTALL_PATH);
    }
    return candidates;
}

std::unique_ptr<HelperArpSender> HelperArpSender::Start(const std::string& path,
                                                        const ArpSchedule& schedule,
                                                        std::chrono::milliseconds timeout,
                                                        std::uint32_t* why) {
    if (why) {
        *why = kErrorGenFailure;
    }
    if (!schedule.Valid() || ::access(path.c_str(), X_OK) != 0) {
        return nullptr;
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return nullptr;
    }
    auto theirs = std::make_shared<UniqueFd>(ends[1]);
    const auto spawn = [path, theirs, scheduleText = schedule.ToText()]() -> pid_t {
        posix_spawn_file_actions_t actions;
        if (::posix_spawn_file_actions_init(&actions) != 0) {
            return -1;
        }
        // dup2 leaves the copies open across exec; every other descriptor of ours is
        // close-on-exec or closed by the helper itself.
        ::posix_spawn_file_actions_adddup2(&actions, theirs->Get(), STDIN_FILENO);
        ::posix_spawn_file_actions_adddup2(&actions, theirs->Get(), STDOUT_FILENO);
        char* const argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("--schedule"),
                              const_cast<char*>(scheduleText.c_str()), nullptr};
        char* const envp[] = {nullptr};
        pid_t child = -1;
        const int spawned = ::posix_spawn(&child, path.c_str(), &actions, nullptr, argv, envp);
        ::posix_spawn_file_actions_destroy(&actions);
        theirs->Reset();
        return spawned == 0 ? child : -1;
    };
    // The helper takes up every probe at once (it has a thread for each worker the engine can
    // have) and answers it within its give-up time; a helper later than that by more than a
    // moment of scheduling has stalled, and no worker waits on it longer.
    return Begin(UniqueFd(ends[0]), spawn, timeout, schedule.giveUp + kStallGrace, why);
}

std::unique_ptr<HelperArpSender> HelperArpSender::Attach(UniqueFd channel,
                                                         std::chrono::milliseconds timeout,
                                                         std::chrono::milliseconds patience) {
    return Begin(std::move(channel), nullptr, timeout, patience, nullptr);
}

std::unique_ptr<HelperArpSender> HelperArpSender::Begin(UniqueFd channel,
                                                        std::function<pid_t()> spawn,
                                                        std::chrono::milliseconds timeout,
                                                        std::chrono::milliseconds patience,
                                                        std::uint32_t* why) {
    std::unique_ptr<HelperArpSender> sender(new HelperArpSender(std::move(channel), patience));
    std::promise<std::uint32_t> greeted;
    std::future<std::uint32_t> greeting = greeted.get_future();
    try {
        // The helper dies with the thread that started it (PR_SET_PDEATHSIG follows threads),
        // so the reader, which lives exactly as long as this sender, is the one to start it.
        sender->reader_ =
            std::jthread([raw = sender.get(), spawn = std::move(spawn), timeout, &greeted] {
                raw->child_ = spawn ? spawn() : -1;
                const std::uint32_t status =
                    !spawn || raw->child_ > 0 ? raw->AwaitGreeting(timeout) : kErrorGenFailure;
                greeted.set_value(status);
                if (status == kNoError) {
                    raw->Read();
                } else {
                    raw->MarkGone();
                }
            });
    } catch (const std::system_error&) {
        return nullptr;
    }
    const std::uint32_t status = greeting.get();
    if (why) {
        *why = status;
    }
    if (status != kNoError) {
        return nullptr;  // the destructor closes the channel and reaps the helper
    }
    return sender;
}

std::uint32_t HelperArpSender::AwaitGreeting(std::chrono::milliseconds timeout) {
    // Byte by byte against one deadline: a helper that stalls halfway through its greeting
    // must not hold start-up.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::array<std::uint8_t, kHelperReplySize> bytes;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd fd{channel_.Get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) != 1) {
            if (errno == EINTR && left.count() > 0) {
                continue;
            }
            return kErrorGenFailure;
        }
        const ssize_t got =
            ::recv(channel_.Get(), bytes.data() + done, bytes.size() - done, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            return kErrorGenFailure;
        }
        done += static_cast<std::size_t>(got);
    }
    const auto hello = DecodeHelperReply(bytes);
    if (!hello || hello->id != 0) {
        return kErrorGenFailure;
    }
    return hello->status;
}

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

HelperArpSender::HelperArpSender(UniqueFd channel, std::chrono::milliseconds patience)
    : channel_(std::move(channel)), patience_(patience) {}

HelperArpSender::~HelperArpSender() {
    // Wakes the reader, and tells the helper to finish.
    ::shutdown(channel_.Get(), SHUT_RDWR);
    if (reader_.joinable()) {
        reader_.join();
    }
    Reap(child_.exchange(-1));
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
