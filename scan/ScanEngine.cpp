// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/ScanEngine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "scan/Address.h"
#include "scan/CommandIds.h"
#include "scan/ScanRun.h"

namespace talvik {

std::mutex g_resultLock;

namespace {

// Lookups of one scan start run at most this many at once.
constexpr std::size_t kMaxLookupThreads = 8;
// How long the destructor gives the scan threads to wind down once they are told to stop.
constexpr std::uint32_t kShutdownWaitMs = 800;

}  // namespace

ScanEngine::ScanEngine(EnginePorts ports)
    : ports_(std::move(ports)), guard_(std::make_shared<EngineGuard>()) {
    guard_->engine = this;
}

ScanEngine::~ScanEngine() {
    AbandonScan();
    scanRunning_ = 0;
    guard_->engine = nullptr;
    guard_.reset();
    // Lookups are not waited for: they may sit in a resolver for long, and own what they touch.
    std::vector<ThreadHandle> dispatchers = std::move(oldDispatchers_);
    if (dispatcherThread_) {
        dispatchers.push_back(std::move(dispatcherThread_));
    }
    if (!dispatchers.empty() && ports_.threads) {
        try {
            WaitInChunks(*ports_.threads, static_cast<std::uint32_t>(dispatchers.size()),
                         dispatchers.data(), true, kShutdownWaitMs);
        } catch (...) {
        }
    }
}

void ScanEngine::AbandonScan() {
    if (run_) {
        run_->stop.request_stop();
        run_->late->Close();
    }
    if (lookup_) {
        lookup_->stop.request_stop();
        lookup_.reset();
    }
    ++generation_;
}

void ScanEngine::ResetScanState() {
    // The tables describe the latest scan only; whatever ran before has no say any more.
    AbandonScan();
    targetCount_ = 0;
    scanRunning_ = 0;
    if (dispatcherThread_) {
        oldDispatchers_.push_back(std::move(dispatcherThread_));
    }
    dispatcherThread_.reset();
    std::erase_if(oldDispatchers_, [this](const ThreadHandle& handle) {
        return ports_.threads->WaitForMultipleObjects(1, &handle, true, 0) == kWaitObject0;
    });
    targets_.fill(ScanTarget{});
    lateAnswered_.fill(false);
    run_.reset();
    ports_.progress->SetPos(0);
}

void ScanEngine::OnClearResults() {
    const int count = ports_.list->GetItemCount();
    int visited = 0;
    for (int row = ports_.list->GetNextItem(-1, ItemFilter::All); row != -1 && visited < count;
         row = ports_.list->GetNextItem(row, ItemFilter::All), ++visited) {
        ports_.list->SetItemText(row, 1, "");
        ports_.list->SetItemText(row, 2, "");
        ports_.list->SetRowOutcome(row, RowOutcome::NotScanned, 0);
    }
    ResetScanState();
    SetRunningState(0);
}

void ScanEngine::SetRunningState(int running) {
    const bool on = running != 0;
    ports_.commands->EnableButton(ID_SCAN_ALL, !on);
    ports_.commands->EnableButton(ID_SCAN_SELECTED, !on);
    ports_.commands->EnableButton(ID_STOP_SCAN, on);
    ports_.commands->EnableMenuItem(ID_SCAN_ALL, on ? kMfGrayed : kMfEnabled);
    ports_.commands->EnableMenuItem(ID_SCAN_SELECTED, on ? kMfGrayed : kMfEnabled);
    ports_.commands->EnableMenuItem(ID_STOP_SCAN, on ? kMfEnabled : kMfGrayed);
}

void ScanEngine::OnScanAll() {
    StartScan(ItemFilter::All);
}

void ScanEngine::OnScanSelected() {
    StartScan(ItemFilter::Selected);
}

void ScanEngine::StartScan(ItemFilter filter) {
    OnClearResults();
    ResetScanState();
    SetRunningState(1);
    // Taken now, before any name is looked up: the options dialog may change the settings
    // while the scan runs, and that is meant for the next one.
    scanWorkerLimit_ = std::clamp(settings_.workerLimit, kMinWorkerLimit, kMaxWorkerLimit);
    // The sender's own floor is added per target, by the sender that asked it: a scan may
    // change senders on its way (a helper lost, or back).
    scanLateWindow_ = LateWindow(settings_.networkCondition);

    IResultList& list = *ports_.list;
    const int rows = list.GetItemCount();
    int count = 0;
    if (filter == ItemFilter::All) {
        count = rows;
    } else {
        for (int row = list.GetNextItem(-1, ItemFilter::Selected); row != -1 && count < rows;
             row = list.GetNextItem(row, ItemFilter::Selected)) {
            ++count;
        }
    }
    // The table has room for MAX_TARGETS records; the add command never lets the list grow
    // beyond, and a longer list must not overrun it.
    count = std::clamp(count, 0, MAX_TARGETS);
    ports_.progress->SetRange(0, count);
    ports_.progress->SetPos(0);

    auto lookup = std::make_shared<NameLookup>();
    int filled = 0;
    for (int row = list.GetNextItem(-1, filter); row != -1 && filled < count;
         row = list.GetNextItem(row, filter)) {
        ScanTarget& target = targets_[static_cast<std::size_t>(filled)];
        target.row = row;
        const std::string text = list.GetItemText(row, 0);
        if (const auto address = ParseDottedDecimal(text)) {
            target.address = *address;
            list.SetRowOutcome(row, RowOutcome::Waiting, *address);
        } else {
            list.SetRowOutcome(row, RowOutcome::Waiting, 0);
            target.address = kUnresolvedAddress;
            lookup->names.push_back(text);
            lookup->records.push_back(filled);
            lookup->rows.push_back(row);
        }
        ++filled;
    }
    targetCount_ = filled;
    if (filled != count) {
        ports_.progress->SetRange(0, filled);
    }

    if (!lookup->names.empty()) {
        // Lookups can take long: they run off this thread, beside the probes of the address
        // rows; a name's worker waits for its own name only.
        lookup->generation = generation_;
        lookup->guard = guard_;
        lookup->ui = ports_.ui;
        lookup->resolver = ports_.resolver;
        lookup_ = lookup;
        const std::size_t wanted = std::min(kMaxLookupThreads, lookup->names.size());
        std::size_t started = 0;
        for (std::size_t i = 0; i < wanted; ++i) {
            ThreadHandle handle;
            try {
                handle = ports_.threads->BeginThread([lookup] { return LookupNames(lookup); });
            } catch (...) {
            }
            started += handle ? 1 : 0;  // the handle is let go: nobody waits for a lookup
        }
        if (started == 0) {
            EndScanWithFailure();
            return;
        }
    }
    StartDispatcher();
}

void ScanEngine::StartDispatcher() {
    auto run = std::make_shared<ScanRun>();
    run->generation = generation_;
    run->owner = this;
    run->guard = guard_;
    run->ui = ports_.ui;
    run->threads = ports_.threads;
    run->arp = ports_.arp;
    run->lateWindow = scanLateWindow_;
    auto rows = std::make_shared<std::vector<std::int32_t>>();
    for (int i = 0; i < targetCount_; ++i) {
        rows->push_back(targets_[static_cast<std::size_t>(i)].row);
    }
    // The listener goes with the scan's threads and the senders; it reaches the window only
    // through the queue, where the generation check drops what a stopped scan still says.
    run->late = std::make_shared<LateListener>([guard = std::weak_ptr<EngineGuard>(guard_),
                                                ui = ports_.ui, generation = generation_,
                                                rows](std::int32_t index, const std::uint8_t* mac) {
        if (index < 0 || static_cast<std::size_t>(index) >= rows->size()) {
            return;
        }
        char text[20] = {};
        std::snprintf(text, sizeof text, kMacFormat, mac[0], mac[1], mac[2], mac[3], mac[4],
                      mac[5]);
        try {
            ui->Post([guard, generation, index, row = (*rows)[static_cast<std::size_t>(index)],
                      mac = std::string(text)] {
                EngineGuard::ApplyLate(guard, generation, index, row, mac);
            });
        } catch (...) {
            // Called on a sender's own thread: nowhere to report it; the row stays empty.
        }
    });
    run->late->SetWindow(scanLateWindow_);
    run->late->SetWorkerLimit(scanWorkerLimit_);
    for (int i = 0; i < targetCount_; ++i) {
        targets_[static_cast<std::size_t>(i)].owner = this;
    }
    run->targets = targets_;
    for (int i = 0; i < targetCount_; ++i) {
        run->targets[static_cast<std::size_t>(i)].owner = nullptr;
    }
    run->targetCount = targetCount_;
    run->nameOf.fill(-1);
    if (lookup_) {
        run->names = lookup_;
        for (std::size_t i = 0; i < lookup_->records.size(); ++i) {
            run->nameOf[static_cast<std::size_t>(lookup_->records[i])] = static_cast<int>(i);
        }
    }
    run->poolSize = std::min(scanWorkerLimit_, targetCount_);
    run_ = run;

    ThreadHandle dispatcher;
    try {
        dispatcher = ports_.threads->BeginThread([run] { return DispatchScan(run); });
    } catch (...) {
    }
    if (!dispatcher) {
        EndScanWithFailure();
        return;
    }
    dispatcherThread_ = std::move(dispatcher);
    scanRunning_ = 1;
}

void ScanEngine::EndScanWithFailure() {
    AbandonScan();
    scanRunning_ = 1;  // the box is modal: the scan shows as running until it is dismissed
    const std::uint64_t generation = generation_;
    const std::shared_ptr<EngineGuard> guard = guard_;
    try {
        ports_.messages->MessageBox(kScanThreadFailed, kCaption, kMbIconInformation);
    } catch (...) {
    }
    if (guard->engine == nullptr || !IsCurrent(generation)) {
        return;  // closed or stopped while the box was up
    }
    scanRunning_ = 0;
    SetRunningState(0);
}

void ScanEngine::OnStopScan() {
    if (scanRunning_ == 1) {
        // Cooperative: every ARP wait of the scan wakes at once, the dispatcher starts nothing
        // more, and results still on their way are dropped when they arrive.
        AbandonScan();
        scanRunning_ = 0;
        if (ports_.scanEnded) {
            ports_.scanEnded(false);
        }
    }
    SetRunningState(0);
}

bool ScanEngine::IsScanRunning() const {
    return scanRunning_ == 1;
}

ScanSettings& ScanEngine::Settings() {
    return settings_;
}

const ScanSettings& ScanEngine::Settings() const {
    return settings_;
}

int ScanEngine::TargetCount() const {
    return targetCount_;
}

const ScanTarget& ScanEngine::Target(int index) const {
    static const ScanTarget none{};
    if (index < 0 || index >= MAX_TARGETS) {
        return none;
    }
    return targets_[static_cast<std::size_t>(index)];
}

void EngineGuard::ApplyResult(const std::weak_ptr<EngineGuard>& guard, std::uint64_t generation,
                              int index, std::int32_t row, const std::string& status,
                              const std::string& mac, std::optional<NotAskedReason> notAsked,
                              std::optional<std::chrono::milliseconds> confirmedBefore) {
    const auto alive = guard.lock();
    if (!alive || alive->engine == nullptr) {
        return;
    }
    ScanEngine& engine = *alive->engine;
    if (!engine.IsCurrent(generation) || engine.scanRunning_ != 1) {
        return;
    }
    // A late answer may overtake its worker's own empty result on the way here.
    const bool keep = status.empty() && index >= 0 && index < MAX_TARGETS &&
                      engine.lateAnswered_[static_cast<std::size_t>(index)];
    if (!keep) {
        engine.ports_.list->SetItemText(row, 1, status);
        engine.ports_.list->SetItemText(row, 2, mac);
        if (index >= 0 && index < MAX_TARGETS) {
            const std::uint32_t address = engine.targets_[static_cast<std::size_t>(index)].address;
            const bool unresolved = address == kUnresolvedAddress;
            if (notAsked && !unresolved) {
                engine.ports_.list->SetRowNotAsked(row, *notAsked, address);
            } else {
                engine.ports_.list->SetRowOutcome(
                    row,
                    !status.empty() ? RowOutcome::Answered
                                    : (unresolved ? RowOutcome::Unresolved : RowOutcome::Silent),
                    unresolved ? 0 : address);
                if (!status.empty() && confirmedBefore) {
                    engine.ports_.list->SetRowConfirmedBefore(row, *confirmedBefore);
                }
            }
        }
    }
    engine.ports_.progress->SetPos(engine.ports_.progress->GetPos() + 1);
}

void EngineGuard::ApplyNotAsked(const std::weak_ptr<EngineGuard>& guard, std::uint64_t generation,
                                int index, std::int32_t row, NotAskedReason why) {
    const auto alive = guard.lock();
    if (!alive || alive->engine == nullptr || index < 0 || index >= MAX_TARGETS) {
        return;
    }
    ScanEngine& engine = *alive->engine;
    if (!engine.IsCurrent(generation) || engine.scanRunning_ != 1 ||
        engine.lateAnswered_[static_cast<std::size_t>(index)]) {
        return;
    }
    engine.ports_.list->SetRowNotAsked(row, why,
                                       engine.targets_[static_cast<std::size_t>(index)].address);
}

void EngineGuard::ApplyLate(const std::weak_ptr<EngineGuard>& guard, std::uint64_t generation,
                            int index, std::int32_t row, const std::string& mac) {
    const auto alive = guard.lock();
    if (!alive || alive->engine == nullptr || index < 0 || index >= MAX_TARGETS) {
        return;
    }
    ScanEngine& engine = *alive->engine;
    if (!engine.IsCurrent(generation) || engine.scanRunning_ != 1) {
        return;
    }
    engine.lateAnswered_[static_cast<std::size_t>(index)] = true;
    engine.ports_.list->SetItemText(row, 1, kRunning);
    engine.ports_.list->SetItemText(row, 2, mac);
    engine.ports_.list->SetRowOutcome(row, RowOutcome::Answered,
                                      engine.targets_[static_cast<std::size_t>(index)].address);
}

std::optional<std::string> ScanFailureText(const ScanOutcome& outcome) {
    std::vector<std::string> lines;
    if (outcome.notes.helper == ScanNotes::Helper::Restarted) {
        lines.emplace_back(kHelperRestarted);
    } else if (outcome.notes.helper == ScanNotes::Helper::Replaced) {
        lines.emplace_back(kHelperReplaced);
    }
    const auto count = [](int number) { return std::to_string(number) + kNotAskedCount; };
    if (outcome.linkDown > 0) {
        lines.push_back((outcome.notes.lostLink.empty()
                             ? std::string(kNotAskedLinkDown)
                             : kLinkLostBefore + outcome.notes.lostLink + kLinkLostAfter) +
                        count(outcome.linkDown));
    }
    const std::pair<int, const char*> others[] = {{outcome.refused, kNotAskedRefused},
                                                  {outcome.descriptors, kNotAskedDescriptors},
                                                  {outcome.helperLost, kNotAskedHelperLost},
                                                  {outcome.failed, kNotAskedFailed}};
    for (const auto& [number, text] : others) {
        if (number > 0) {
            lines.push_back(text + count(number));
        }
    }
    if (lines.empty()) {
        return std::nullopt;
    }
    if (outcome.NotAsked() > 0) {
        lines.emplace_back(kNotAskedTail);
    }
    std::string text;
    for (const std::string& line : lines) {
        text += (text.empty() ? "" : "\n") + line;
    }
    return text;
}

std::optional<std::string> OffLinkText(const ScanOutcome& outcome) {
    if (outcome.offLink <= 0) {
        return std::nullopt;
    }
    return kOffLinkBefore + std::to_string(outcome.offLink) + kOffLinkAfter;
}

void EngineGuard::Complete(const std::weak_ptr<EngineGuard>& guard, std::uint64_t generation,
                           bool failed, const ScanOutcome& outcome) {
    const auto alive = guard.lock();
    if (!alive || alive->engine == nullptr || !alive->engine->IsCurrent(generation)) {
        return;
    }
    if (alive->engine->ports_.scanEnded && !failed) {
        alive->engine->ports_.scanEnded(true);
    }
    IMessageBox& messages = *alive->engine->ports_.messages;
    // The box is modal: the window may have closed, or the user stopped, while it was up.
    const auto gone = [&] {
        return alive->engine == nullptr || !alive->engine->IsCurrent(generation);
    };
    try {
        if (failed) {
            messages.MessageBox(kScanThreadFailed, kCaption, kMbIconInformation);
        } else if (const auto trouble = ScanFailureText(outcome)) {
            messages.MessageBox(*trouble, kCaption, kMbIconStop);
        } else {
            messages.MessageBox(kScanComplete, kCaption, kMbOk);
        }
        if (const auto offLink = OffLinkText(outcome); offLink && !failed && !gone()) {
            messages.MessageBox(*offLink, kCaption, kMbIconInformation);
        }
        ScanEngine* const engine = alive->engine;
        if (!gone() && !engine->senderNoticeShown_ && !engine->ports_.senderNotice.empty()) {
            engine->senderNoticeShown_ = true;
            messages.MessageBox(engine->ports_.senderNotice, kCaption, kMbIconInformation);
        }
        // A scan that ran on the fallback because the helper would not start again says so
        // once in a run, as the first scan of a run on the fallback does.
        if (!gone() && outcome.notes.helperUnavailable && !engine->helperUnavailableShown_) {
            engine->helperUnavailableShown_ = true;
            messages.MessageBox(kHelperUnavailable, kCaption, kMbIconInformation);
        }
    } catch (...) {
        try {
            messages.MessageBox(kScanThreadFailed, kCaption, kMbIconInformation);
        } catch (...) {
        }
    }
    if (gone()) {
        return;
    }
    alive->engine->scanRunning_ = 0;
    alive->engine->SetRunningState(0);
}

void EngineGuard::ApplyName(const std::weak_ptr<EngineGuard>& guard, std::uint64_t generation,
                            int index, std::int32_t row, std::optional<std::uint32_t> found) {
    const auto alive = guard.lock();
    if (!alive || alive->engine == nullptr || index < 0 || index >= MAX_TARGETS) {
        return;
    }
    ScanEngine& engine = *alive->engine;
    if (!engine.IsCurrent(generation) || engine.scanRunning_ != 1) {
        return;
    }
    engine.targets_[static_cast<std::size_t>(index)].address = found.value_or(kUnresolvedAddress);
    engine.ports_.list->SetItemText(
        row, 2, found ? FormatDottedDecimal(*found) : std::string(kUnknownHost));
    engine.ports_.list->SetRowOutcome(row, found ? RowOutcome::Waiting : RowOutcome::Unresolved,
                                      found.value_or(0));
}

}  // namespace talvik
