// What runs off the user-interface thread: the dispatcher, the probe workers and the name
// lookups. None of it touches the engine; results travel as closures through the queue.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
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

std::uint32_t ArpProbe(IArpSender& sender, std::uint32_t address, char* text, std::int32_t size,
                       std::stop_token stop, const LateTag& late) {
    std::uint8_t mac[8] = {};
    std::uint32_t length = 6;
    const std::uint32_t result = sender.SendARP(address, mac, &length, std::move(stop), late);
    // The length handed back is not consulted: bytes the sender did not fill stay zero.
    if (result == kNoError && size > 18 && text != nullptr) {
        std::snprintf(text, static_cast<std::size_t>(size), kMacFormat, mac[0], mac[1], mac[2],
                      mac[3], mac[4], mac[5]);
    }
    return result;
}

unsigned ProbeWorker(const std::shared_ptr<ScanRun>& run, int index) {
    const ScanTarget target = run->targets[static_cast<std::size_t>(index)];
    std::stop_token stop = run->stop.get_token();
    std::string status;
    char macText[20] = {};
    if (target.address != kUnresolvedAddress) {
        const auto asked = std::chrono::steady_clock::now();
        std::uint32_t result = kErrorGenFailure;
        try {
            result = ArpProbe(*run->arp, target.address, macText, sizeof macText, stop,
                              LateTag{run->late, index});
        } catch (...) {
            macText[0] = '\0';
        }
        // Only a target that was asked and did not answer is a silent host; whatever kept a
        // probe from being made is counted, so the scan cannot end as if all went well.
        switch (result) {
            case kNoError:
                status = kRunning;
                break;
            case kErrorBadNetName:
            case kErrorCancelled:
                break;
            case kErrorHostUnreachable:
                ++run->offLink;
                break;
            case kErrorNetworkUnreachable:
                ++run->linkDown;
                break;
            case kErrorAccessDenied:
                ++run->refused;
                break;
            case kErrorTooManyOpenFiles:
                ++run->descriptors;
                break;
            default:
                ++run->failed;
                break;
        }
        if (result == kErrorBadNetName) {
            // Its answer still counts until the window from its first request has passed.
            const std::lock_guard lock(run->lateMutex);
            run->lateUntil = std::max(run->lateUntil, asked + run->lateWindow);
        }
    }
    if (stop.stop_requested()) {
        return 0;  // it would be dropped on arrival anyway
    }
    try {
        std::lock_guard lock(g_resultLock);
        run->ui->Post([guard = run->guard, generation = run->generation, index, row = target.row,
                       status = std::move(status), mac = std::string(macText)] {
            EngineGuard::ApplyResult(guard, generation, index, row, status, mac);
        });
    } catch (...) {
        // Nowhere to report it; the row keeps its empty cells.
    }
    return 0;
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

unsigned LookupNames(const std::shared_ptr<NameLookup>& lookup) {
    std::stop_token stop = lookup->stop.get_token();
    for (;;) {
        const std::size_t index = lookup->next.fetch_add(1);
        if (index >= lookup->names.size() || stop.stop_requested()) {
            break;
        }
        try {
            // The row keeps its blanks as typed; the name itself is what gets looked up.
            const std::string& name = lookup->names[index];
            const std::size_t first = name.find_first_not_of(" \t");
            const std::size_t last = name.find_last_not_of(" \t");
            lookup->results[index] = lookup->resolver->Resolve(
                first == std::string::npos ? std::string() : name.substr(first, last - first + 1));
        } catch (...) {
            lookup->results[index].reset();
        }
    }
    LeaveLookup(lookup);
    return 0;
}

void LeaveLookup(const std::shared_ptr<NameLookup>& lookup) {
    if (lookup->holders.fetch_sub(1, std::memory_order_acq_rel) != 1 ||
        lookup->stop.stop_requested()) {
        return;
    }
    try {
        // The closure holds the lookup; the lookup must not hold the queue it waits in.
        const std::shared_ptr<IUiPoster> ui = std::move(lookup->ui);
        ui->Post([guard = lookup->guard, generation = lookup->generation, lookup] {
            EngineGuard::LookupDone(guard, generation, lookup);
        });
    } catch (...) {
    }
}

}  // namespace talvik
