// SPDX-License-Identifier: GPL-3.0-or-later
// The dispatcher: starts a worker per target within the pool's size, off the user-interface
// thread, and waits for them.

#include <algorithm>
#include <functional>
#include <mutex>
#include <numeric>
#include <vector>

#include "scan/ScanRun.h"

namespace talvik {

std::uint32_t WaitInChunks(IThreads& threads, std::uint32_t count, const ThreadHandle* handles,
                           bool waitAll, std::uint32_t timeoutMs) {
    if (count == 0) {
        return kNoError;
    }
    std::uint32_t result = kWaitObject0;
    for (std::uint32_t first = 0; first < count; first += kMaximumWaitObjects) {
        const std::uint32_t slice = std::min(kMaximumWaitObjects, count - first);
        result = threads.WaitForMultipleObjects(slice, handles ? handles + first : nullptr, waitAll,
                                                timeoutMs);
        if (result == kWaitTimeout) {
            break;
        }
    }
    if (result == kWaitFailed) {
        return threads.GetLastError();
    }
    return result == kWaitTimeout ? kErrorTimeout : kNoError;
}

namespace {

// The dispatcher's view of its worker slots.
class WorkerPool final {
public:
    WorkerPool(ScanRun& run, IThreads& threads)
        : run_(run), threads_(threads), size_(run.poolSize) {}

    int Running() const { return running_; }
    bool Full() const { return running_ >= size_; }

    void Put(ThreadHandle handle) {
        // The lowest free slot: the ended worker's slot once the pool has filled.
        int slot = 0;
        while (busy_[static_cast<std::size_t>(slot)]) {
            ++slot;
        }
        run_.workerHandles[static_cast<std::size_t>(slot)] = std::move(handle);
        busy_[static_cast<std::size_t>(slot)] = true;
        ++running_;
    }

    // Waits until one running worker has ended and frees its slot. False when the wait failed;
    // no worker loses its slot then.
    bool WaitForAny() {
        std::array<ThreadHandle, kMaximumWaitObjects> handles;
        std::array<int, kMaximumWaitObjects> slots{};
        std::uint32_t count = 0;
        for (int slot = 0; slot < size_; ++slot) {
            if (busy_[static_cast<std::size_t>(slot)]) {
                handles[count] = run_.workerHandles[static_cast<std::size_t>(slot)];
                slots[count] = slot;
                ++count;
            }
        }
        const std::uint32_t result =
            threads_.WaitForMultipleObjects(count, handles.data(), false, kInfinite);
        if (result - kWaitObject0 >= count) {
            return false;
        }
        busy_[static_cast<std::size_t>(slots[result - kWaitObject0])] = false;
        --running_;
        return true;
    }

    // Every worker ever started has a handle in a slot, ended or not.
    std::uint32_t WaitForAll() {
        std::array<ThreadHandle, kMaximumWaitObjects> handles;
        std::uint32_t count = 0;
        for (int slot = 0; slot < size_; ++slot) {
            if (run_.workerHandles[static_cast<std::size_t>(slot)]) {
                handles[count++] = run_.workerHandles[static_cast<std::size_t>(slot)];
            }
        }
        return WaitInChunks(threads_, count, handles.data(), true, kInfinite);
    }

private:
    ScanRun& run_;
    IThreads& threads_;
    const int size_;
    std::array<bool, kMaximumWaitObjects> busy_{};
    int running_ = 0;
};

}  // namespace

namespace {

// How often the late wait has the sender check what it listens with.
constexpr auto kWatchEvery = std::chrono::milliseconds(100);
// A target lost by its sender is asked again at most this often in one scan.
constexpr int kMostAskedAgain = 2;

// Starts `procedure` for each of `indices` in order, at most the pool's size at once, and waits
// for them all. False when threads could not be had or a wait failed.
bool RunWorkers(ScanRun& run, const std::vector<int>& indices,
                const std::function<unsigned(int)>& procedure, std::stop_token stop) {
    IThreads& threads = *run.threads;
    WorkerPool pool(run, threads);
    bool failed = false;
    try {
        for (std::size_t i = 0; i < indices.size() && !stop.stop_requested();) {
            const int index = indices[i];
            run.targets[static_cast<std::size_t>(index)].owner = run.owner;
            ThreadHandle worker =
                threads.BeginThread([procedure, index] { return procedure(index); });
            if (!worker) {
                // Threads may be short only for a moment: try again once one of ours has ended.
                if (pool.Running() == 0 || !pool.WaitForAny()) {
                    failed = true;
                    break;
                }
                continue;
            }
            pool.Put(std::move(worker));
            ++i;
            if (pool.Full() && !pool.WaitForAny()) {
                failed = true;
                break;
            }
        }
    } catch (...) {
        failed = true;
    }
    try {
        pool.WaitForAll();
    } catch (...) {
        failed = true;
    }
    return !failed;
}

// Waits until every silent target's late window has passed, asking again what a sender lost
// meanwhile (each asked target then has a window of its own), and has the sender sweep. Stop
// cuts it short. False when the workers for the targets asked again could not be run.
bool AwaitLateAnswers(const std::shared_ptr<ScanRun>& run, std::stop_token stop) {
    std::array<int, MAX_TARGETS> askedAgain{};
    auto nextWatch = std::chrono::steady_clock::now() + kWatchEvery;
    std::vector<std::int32_t> again;
    while (!stop.stop_requested()) {
        if (!again.empty()) {
            std::vector<int> indices;
            for (const std::int32_t tag : again) {
                if (tag >= 0 && tag < run->targetCount &&
                    askedAgain[static_cast<std::size_t>(tag)] < kMostAskedAgain &&
                    std::find(indices.begin(), indices.end(), tag) == indices.end()) {
                    ++askedAgain[static_cast<std::size_t>(tag)];
                    indices.push_back(tag);
                }
            }
            again.clear();
            if (!RunWorkers(
                    *run, indices, [run](int index) { return ProbeWorker(run, index, true); },
                    stop)) {
                return false;
            }
            continue;
        }
        std::chrono::steady_clock::time_point until;
        {
            const std::lock_guard lock(run->lateMutex);
            until = run->lateUntil;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) {
            // The last look, then the sweep; either may still hand back what was lost.
            try {
                run->arp->WatchLate(run->late, stop);
                again = run->late->AwaitAskAgain(stop, now);
                if (again.empty() && !stop.stop_requested()) {
                    run->arp->Sweep(run->late);
                    again = run->late->AwaitAskAgain(stop, now);
                }
            } catch (...) {
            }
            if (again.empty()) {
                return true;
            }
            continue;
        }
        again = run->late->AwaitAskAgain(stop, std::min(until, nextWatch));
        if (again.empty() && std::chrono::steady_clock::now() >= nextWatch) {
            try {
                run->arp->WatchLate(run->late, stop);
            } catch (...) {
            }
            nextWatch = std::chrono::steady_clock::now() + kWatchEvery;
        }
    }
    return true;
}

}  // namespace

unsigned DispatchScan(const std::shared_ptr<ScanRun>& run) {
    std::stop_token stop = run->stop.get_token();
    std::vector<int> indices(static_cast<std::size_t>(std::max(run->targetCount, 0)));
    std::iota(indices.begin(), indices.end(), 0);
    bool failed = !RunWorkers(
        *run, indices, [run](int index) { return ProbeWorker(run, index); }, stop);
    if (!failed && !stop.stop_requested()) {
        // The scan is complete only once every silent target's late window has passed.
        failed = !AwaitLateAnswers(run, stop);
    }
    run->late->Close();
    try {
        run->arp->ScanEnded(run->late);
    } catch (...) {
    }
    if (stop.stop_requested()) {
        return 0;
    }
    ScanOutcome outcome;
    outcome.linkDown = run->linkDown.load();
    outcome.refused = run->refused.load();
    outcome.descriptors = run->descriptors.load();
    outcome.helperLost = run->helperLost.load();
    outcome.failed = run->failed.load();
    outcome.offLink = run->offLink.load();
    outcome.notes = run->late->Notes().Take();
    try {
        run->ui->Post([guard = run->guard, generation = run->generation, failed, outcome] {
            EngineGuard::Complete(guard, generation, failed, outcome);
        });
    } catch (...) {
    }
    return 0;
}

}  // namespace talvik
