#pragma once
// The scan engine: the target table, scan start, dispatcher, probe workers and write-back.
// Every public member function runs on the user-interface thread.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>

#include "scan/Ports.h"
#include "scan/ScanTypes.h"

namespace talvik {

struct EnginePorts {
    IResultList* list = nullptr;
    IProgressBar* progress = nullptr;
    ICommandStates* commands = nullptr;
    IMessageBox* messages = nullptr;
    std::shared_ptr<IUiPoster> ui;
    std::shared_ptr<INameResolver> resolver;
    std::shared_ptr<IThreads> threads;
    std::shared_ptr<IArpSender> arp;
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
};

// Waits on `count` handles in slices of at most kMaximumWaitObjects. kNoError when the waits
// ended normally, kErrorTimeout when one timed out, otherwise the error of the failed wait.
std::uint32_t WaitInChunks(IThreads& threads, std::uint32_t count, const ThreadHandle* handles,
                           bool waitAll, std::uint32_t timeoutMs);

// Sends one ARP request and, on an answer, writes the MAC text into `text` when `size` > 18.
std::uint32_t ArpProbe(IArpSender& sender, std::uint32_t address, char* text, std::int32_t size,
                       std::stop_token stop);

}  // namespace talvik
