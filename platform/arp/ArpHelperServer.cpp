// SPDX-License-Identifier: GPL-3.0-or-later
#include "arp/ArpHelperServer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "arp/HelperProtocol.h"

namespace talvik {
namespace {

// Bounds on what the engine may ask for: the poorest network's window, and the most workers.
constexpr std::uint32_t kMaxWindowMs = 10000;
constexpr std::uint32_t kMaxWorkers = 64;

class Replies final {
public:
    explicit Replies(int fd) : fd_(fd) {}
    void Write(const HelperReply& reply) {
        const auto bytes = EncodeHelperReply(reply);
        const std::lock_guard lock(mutex_);
        // A failed write means the engine is gone; its end closing ends the server too.
        WriteFully(fd_, bytes.data(), bytes.size());
    }

private:
    int fd_;
    std::mutex mutex_;
};

}  // namespace

bool ArpHelperServer::Run(const std::function<void(bool)>& started) {
    struct Job {
        std::uint32_t id;
        std::uint32_t target;
        bool sweep = false;
        std::uint32_t windowMs = 0;
        std::uint32_t workers = 0;
        std::uint16_t scan = 0;
        std::shared_ptr<LateListener> listener;  // the probe swept, when it was still listened for
    };
    Replies replies(channel_);
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Job> queue;
    std::size_t queuedSweeps = 0;
    std::map<std::uint32_t, std::stop_source> outstanding;
    // Probes still listened for until the engine gives them up or sweeps them: a silent one for
    // its target's answer, an answered one for other hosts answering in its name.
    std::map<std::uint32_t, std::shared_ptr<LateListener>> lingering;
    bool closing = false;

    const auto sweep = [&](const Job& job) {
        if (job.listener) {
            sender_.Sweep(job.listener);
            job.listener->Close();
        }
        replies.Write(HelperReply{job.id, kHelperSwept, {}});
    };
    const auto work = [&] {
        std::unique_lock lock(mutex);
        for (;;) {
            ready.wait(lock, [&] { return closing || !queue.empty(); });
            if (queue.empty()) {
                return;
            }
            const Job job = queue.front();
            queue.pop_front();
            if (job.sweep) {
                --queuedSweeps;
                lock.unlock();
                sweep(job);
                lock.lock();
                continue;
            }
            const std::stop_token stop = outstanding[job.id].get_token();
            lock.unlock();
            HelperReply reply;
            reply.id = job.id;
            std::uint32_t length = 6;
            const auto listener = std::make_shared<LateListener>(
                [&replies, id = job.id](std::int32_t, const std::uint8_t* mac) {
                    HelperReply late{id, kHelperLateAnswer, {}};
                    std::copy_n(mac, late.mac.size(), late.mac.begin());
                    replies.Write(late);
                });
            // The window is counted from the first request, which goes out just below.
            listener->SetWindow(std::chrono::milliseconds(std::min(job.windowMs, kMaxWindowMs)));
            listener->SetWorkerLimit(static_cast<int>(std::min(job.workers, kMaxWorkers)));
            listener->SetPaceGroup(std::uint64_t{job.scan} + 1);
            reply.status =
                sender_.SendARP(job.target, reply.mac.data(), &length, stop, LateTag{listener, 0});
            if (reply.status != kNoError) {
                reply.mac = {};
            }
            lock.lock();
            outstanding.erase(job.id);
            // Listed before the answer goes out, so that the engine's give-up or sweep, which
            // can only follow the answer, finds it.
            if ((reply.status == kErrorBadNetName || reply.status == kNoError) && !closing) {
                if (lingering.size() >= kMaxOutstanding) {
                    lingering.begin()->second->Close();
                    lingering.erase(lingering.begin());
                }
                // A listener still filed under this id (the read loop closes one on reuse, but
                // a sweep may have raced it) must not outlive the server unclosed.
                if (auto [entry, fresh] = lingering.try_emplace(job.id, listener); !fresh) {
                    entry->second->Close();
                    entry->second = listener;
                }
            } else {
                listener->Close();
            }
            lock.unlock();
            replies.Write(reply);
            lock.lock();
        }
    };

    std::vector<std::jthread> workers;
    bool clean = true;
    bool serving = true;
    try {
        for (int i = 0; i < kWorkers; ++i) {
            workers.emplace_back(work);
        }
    } catch (const std::system_error&) {
        // Fewer threads than the engine's workers would leave probes queued past their time.
        serving = false;
        clean = false;
    }
    if (started) {
        started(serving);
    }
    try {
        std::array<std::uint8_t, kHelperRequestSize> bytes;
        while (serving && ReadFully(channel_, bytes.data(), bytes.size())) {
            const auto request = DecodeHelperRequest(bytes);
            // A wire's requests are for a helper started to serve one.
            if (!request || request->op > kHelperRemember) {
                clean = false;
                break;
            }
            const std::lock_guard lock(mutex);
            const auto known = outstanding.find(request->id);
            if (request->op == kHelperSweep) {
                // The engine sweeps no more probes than are listened for; more queued means it
                // does not read what we write, and the queue must not grow without end.
                if (queuedSweeps >= kMaxOutstanding) {
                    clean = false;
                    break;
                }
                // On a worker: the records it writes must not keep this loop from reading.
                Job job{request->id, 0, true, 0, 0, 0, nullptr};
                if (const auto late = lingering.find(request->id); late != lingering.end()) {
                    job.listener = late->second;
                    lingering.erase(late);
                }
                queue.push_back(std::move(job));
                ++queuedSweeps;
                ready.notify_one();
                continue;
            }
            if (request->op == kHelperRemember) {
                const KnownDevice device{request->target, request->mac};
                sender_.Remember(std::span(&device, 1));
                continue;
            }
            if (request->op == kHelperCancel) {
                if (known != outstanding.end()) {
                    known->second.request_stop();
                }
                if (const auto late = lingering.find(request->id); late != lingering.end()) {
                    late->second->Close();
                    lingering.erase(late);
                }
                continue;
            }
            if (known != outstanding.end()) {
                clean = false;
                break;
            }
            // An id reused for a new probe gives up the answered one still listened for under it:
            // its listener writes through this function's own state and must be closed first.
            if (const auto late = lingering.find(request->id); late != lingering.end()) {
                late->second->Close();
                lingering.erase(late);
            }
            if (outstanding.size() >= kMaxOutstanding) {
                replies.Write(HelperReply{request->id, kErrorGenFailure, {}});
                continue;
            }
            outstanding.emplace(request->id, std::stop_source());
            queue.push_back(Job{request->id, request->target, false, request->windowMs,
                                request->workers, request->scan, nullptr});
            ready.notify_one();
        }
    } catch (const std::system_error&) {
        clean = false;
    }
    {
        const std::lock_guard lock(mutex);
        closing = true;
        // A queued sweep holds a listener already taken out of `lingering`.
        for (const Job& job : queue) {
            if (job.listener) {
                job.listener->Close();
            }
        }
        queue.clear();
        for (auto& [id, stop] : outstanding) {
            stop.request_stop();
        }
    }
    ready.notify_all();
    workers.clear();
    // Nothing may write to the channel once this returns.
    for (auto& [id, listener] : lingering) {
        listener->Close();
    }
    return clean;
}

}  // namespace talvik
