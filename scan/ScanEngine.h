// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The scan engine: the target table, scan start, dispatcher, probe workers and write-back.
// Every public member function runs on the user-interface thread.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
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

struct ScanRun;
struct NameLookup;
struct EngineGuard;

struct EnginePorts {
    IResultList* list = nullptr;
    IProgressBar* progress = nullptr;
    ICommandStates* commands = nullptr;
    IMessageBox* messages = nullptr;
    std::shared_ptr<IUiPoster> ui;
    std::shared_ptr<INameResolver> resolver;
    std::shared_ptr<IThreads> threads;
    std::shared_ptr<IArpSender> arp;
    // Shown once, after the first scan that ends, when the sender is not the fast one.
    std::string senderNotice;
    // Told on the user-interface thread once a scan's rows are final: completed (before any box
    // about it) or stopped. Not told when the window closes.
    std::function<void(bool completed)> scanEnded;
};

class ScanEngine final {
public:
    explicit ScanEngine(EnginePorts ports);
    // Stops a running scan and returns once no scan thread can reach the engine or its ports.
    ~ScanEngine();

    ScanEngine(const ScanEngine&) = delete;
    ScanEngine& operator=(const ScanEngine&) = delete;

    void ResetScanState();
    void OnClearResults();
    void SetRunningState(int running);
    void OnScanAll();
    void OnScanSelected();
    void OnStopScan();

    bool IsScanRunning() const;
    ScanSettings& Settings();
    const ScanSettings& Settings() const;

    // The target table of the latest scan start, for inspection.
    int TargetCount() const;
    const ScanTarget& Target(int index) const;

private:
    friend struct EngineGuard;

    // Scan-start steps shared by both commands; `filter` picks the rows.
    void StartScan(ItemFilter filter);
    void StartDispatcher();
    void EndScanWithFailure();
    // Ends the latest scan's threads' say over the window: results still on their way are
    // dropped when they arrive.
    void AbandonScan();
    bool IsCurrent(std::uint64_t generation) const { return generation == generation_; }

    EnginePorts ports_;
    std::atomic<std::int32_t> scanRunning_{0};
    std::array<ScanTarget, MAX_TARGETS> targets_{};
    std::int32_t targetCount_ = 0;
    ScanSettings settings_{};
    // What the latest scan start read from the settings; later changes reach the next scan.
    std::int32_t scanWorkerLimit_ = kStartWorkerLimit;
    std::chrono::milliseconds scanLateWindow_{0};
    // Targets of the latest scan whose late answer has been written: their worker's own empty
    // result may arrive after it and must not wipe it out.
    std::array<bool, MAX_TARGETS> lateAnswered_{};
    // The latest scan's run state; its threads hold their own reference, the worker slots among it.
    std::shared_ptr<ScanRun> run_;
    ThreadHandle dispatcherThread_;
    // Dispatchers of earlier scans that may still be winding down; the destructor waits for them.
    std::vector<ThreadHandle> oldDispatchers_;
    // Rows whose names are being looked up for the latest scan start, with their text positions.
    std::shared_ptr<NameLookup> lookup_;
    std::uint64_t generation_ = 0;
    std::shared_ptr<EngineGuard> guard_;
    bool senderNoticeShown_ = false;
    bool helperUnavailableShown_ = false;
};

// The text of the box that ends a scan in place of the completion notice, or nothing when
// every probe was really made and no sender had to be replaced.
std::optional<std::string> ScanFailureText(const ScanOutcome& outcome);
// The notice after the end of a scan about targets that no ARP can reach, or nothing.
std::optional<std::string> OffLinkText(const ScanOutcome& outcome);

}  // namespace talvik
