// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// State that a scan's threads share with the engine. Scan threads hold these objects by
// shared_ptr and never reach the engine itself: what they have to say to the window goes
// through the user-interface queue as closures that look the engine up again there.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "scan/Ports.h"
#include "scan/ScanOutcome.h"
#include "scan/ScanTypes.h"

namespace talvik {

class ScanEngine;
struct NameLookup;

// Held by a worker while it hands its result to the user-interface thread, so that results reach
// the window in the order the workers took it.
extern std::mutex g_resultLock;

// The engine as closures on the user-interface thread find it: nullptr once it is gone.
struct EngineGuard {
    ScanEngine* engine = nullptr;

    // Each runs on the user-interface thread and does nothing unless the engine is alive and
    // `generation` is still its current, unstopped scan.
    // `notAsked` says why, for a target that could not really be asked; `confirmedBefore`, for
    // an answer that was the system's memory of the host, how old that was.
    static void ApplyResult(const std::weak_ptr<EngineGuard>& guard, std::uint64_t generation,
                            int index, std::int32_t row, const std::string& status,
                            const std::string& mac, std::optional<NotAskedReason> notAsked,
                            std::optional<std::chrono::milliseconds> confirmedBefore);
    // A target asked again in the late window that could not really be asked this time: its
    // row says why, unless an answer reached it meanwhile. No progress step.
    static void ApplyNotAsked(const std::weak_ptr<EngineGuard>& guard, std::uint64_t generation,
                              int index, std::int32_t row, NotAskedReason why);
    // An answer that came after its worker gave up: status and MAC only, no progress step.
    static void ApplyLate(const std::weak_ptr<EngineGuard>& guard, std::uint64_t generation,
                          int index, std::int32_t row, const std::string& mac);
    static void Complete(const std::weak_ptr<EngineGuard>& guard, std::uint64_t generation,
                         bool failed, const ScanOutcome& outcome);
    // A name of the target table looked up: its record and column 2 say what was found.
    static void ApplyName(const std::weak_ptr<EngineGuard>& guard, std::uint64_t generation,
                          int index, std::int32_t row, std::optional<std::uint32_t> found);
};

struct ScanRun {
    std::uint64_t generation = 0;
    std::stop_source stop;
    // The scan's own copy of the table; the dispatcher writes `owner` of each record just
    // before its worker starts, a worker only reads its own record.
    std::array<ScanTarget, MAX_TARGETS> targets{};
    std::int32_t targetCount = 0;
    std::int32_t poolSize = 0;
    // Touched by the dispatcher only.
    std::array<ThreadHandle, MAX_TARGETS> workerHandles{};
    ScanEngine* owner = nullptr;  // identity only; never followed off the user-interface thread
    std::weak_ptr<EngineGuard> guard;
    std::shared_ptr<IUiPoster> ui;
    std::shared_ptr<IThreads> threads;
    std::shared_ptr<IArpSender> arp;
    // Late answers of this scan; closed when the scan ends, stops or its window closes.
    std::shared_ptr<LateListener> late;
    // How long after a silent target's first request the scan still listens for it.
    std::chrono::milliseconds lateWindow{0};
    // The moment the last silent target's window closes; raised by each silent worker.
    std::mutex lateMutex;
    std::chrono::steady_clock::time_point lateUntil{};
    // Probes that could not really be made, by why; see ScanOutcome.
    std::atomic<int> linkDown{0};
    std::atomic<int> refused{0};
    std::atomic<int> descriptors{0};
    std::atomic<int> helperLost{0};
    std::atomic<int> failed{0};
    std::atomic<int> offLink{0};
    // The names of the table, looked up beside the probes; by target, the name's place in it
    // or -1 for a dotted address.
    std::shared_ptr<NameLookup> names;
    std::array<int, MAX_TARGETS> nameOf{};
};

// Host-name lookups of one scan start, made off the user-interface thread while the address
// rows are already being asked. Lookup threads own it and are never waited for.
struct NameLookup {
    std::uint64_t generation = 0;
    std::stop_source stop;
    std::vector<std::string> names;
    // The table record and the row each name belongs to; fixed before the lookups start.
    std::vector<int> records;
    std::vector<std::int32_t> rows;
    std::atomic<std::size_t> next{0};
    std::weak_ptr<EngineGuard> guard;
    std::shared_ptr<IUiPoster> ui;
    std::shared_ptr<INameResolver> resolver;

    // Waits until name `index` has been looked up and gives what was found in `found`; false
    // when `cut` came first.
    bool Await(std::size_t index, std::stop_token cut, std::optional<std::uint32_t>& found);
    void Publish(std::size_t index, std::optional<std::uint32_t> found);

private:
    std::mutex mutex_;
    std::condition_variable_any ready_;
    std::vector<std::optional<std::uint32_t>> results_;
    std::vector<bool> done_;
};

// Thread procedures; each returns 0.
unsigned DispatchScan(const std::shared_ptr<ScanRun>& run);
// `again`: the target is asked again in the late window, after a sender lost its probe; its
// row has had its result and the bar its step.
unsigned ProbeWorker(const std::shared_ptr<ScanRun>& run, int index, bool again = false);
unsigned LookupNames(const std::shared_ptr<NameLookup>& lookup);

// Waits on `count` handles in slices of at most kMaximumWaitObjects. kNoError when the waits
// ended normally, kErrorTimeout when one timed out, otherwise the error of the failed wait.
std::uint32_t WaitInChunks(IThreads& threads, std::uint32_t count, const ThreadHandle* handles,
                           bool waitAll, std::uint32_t timeoutMs);

// Sends one ARP request and, on an answer, writes the MAC text into `text` when `size` > 18.
std::uint32_t ArpProbe(IArpSender& sender, std::uint32_t address, char* text, std::int32_t size,
                       std::stop_token stop, const LateTag& late = {});

}  // namespace talvik
