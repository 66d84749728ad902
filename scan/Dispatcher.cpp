// SPDX-License-Identifier: GPL-3.0-or-later
// The dispatcher: starts a worker per target within the pool's size, off the user-interface
// thread, and waits for them.

#include <algorithm>
#include <condition_variable>
#include <mutex>

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

unsigned DispatchScan(const std::shared_ptr<ScanRun>& run) {
    std::stop_token stop = run->stop.get_token();
    IThreads& threads = *run->threads;
    WorkerPool pool(*run, threads);
    bool failed = false;
    try {
        for (int i = 0; i < run->targetCount && !stop.stop_requested();) {
            run->targets[static_cast<std::size_t>(i)].owner = run->owner;
            ThreadHandle worker = threads.BeginThread([run, i] { return ProbeWorker(run, i); });
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
    if (!failed && !stop.stop_requested()) {
        // The scan is complete only once every silent target's late window has passed; Stop
        // cuts the wait short.
        std::unique_lock lock(run->lateMutex);
        std::condition_variable_any never;
        never.wait_until(lock, stop, run->lateUntil, [] { return false; });
        lock.unlock();
        if (!stop.stop_requested()) {
            try {
                run->arp->Sweep(run->late);
            } catch (...) {
            }
        }
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
