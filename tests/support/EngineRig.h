// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One scan engine over a scripted window, for the engine tests and its benchmark.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "os/PosixThreads.h"
#include "scan/Address.h"
#include "scan/CommandIds.h"
#include "scan/ScanEngine.h"
#include "tests/support/ScriptedArpSender.h"

namespace talvik::test {

inline constexpr std::uint32_t kNet203 = 0xCB007100u;  // 203.0.113.0
inline constexpr std::uint32_t kNet198 = 0xC6336400u;  // 198.51.100.0

// The test thread plays the user-interface thread and runs the posted closures itself. Every wait
// has a time-out, so a fault fails instead of hanging.
class ManualUiQueue final : public IUiPoster {
public:
    void Post(std::function<void()> task) override {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }

    // Serves closures until `done` holds, which may also be changed by other threads; false
    // when it did not within `timeout`.
    bool RunUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::function<void()> task;
            {
                std::lock_guard lock(mutex_);
                if (!tasks_.empty()) {
                    task = std::move(tasks_.front());
                    tasks_.pop_front();
                }
            }
            task ? task() : std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Serves closures for `period`, e.g. to see that nothing more happens.
    void RunFor(std::chrono::milliseconds period) {
        RunUntil([] { return false; }, period);
    }

    std::size_t Queued() const {
        std::lock_guard lock(mutex_);
        return tasks_.size();
    }

private:
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
};

struct CommandCall {
    bool menu;
    int command;
    unsigned value;  // the enable flag of a button, the flags of a menu item
    bool operator==(const CommandCall&) const = default;
};

// The toolbar then the menu, in the idle or the running state.
inline std::vector<CommandCall> StateCalls(bool running) {
    const unsigned start = running ? kMfGrayed : kMfEnabled;
    const unsigned stop = running ? kMfEnabled : kMfGrayed;
    return {{false, ID_SCAN_ALL, !running},  {false, ID_SCAN_SELECTED, !running},
            {false, ID_STOP_SCAN, running},  {true, ID_SCAN_ALL, start},
            {true, ID_SCAN_SELECTED, start}, {true, ID_STOP_SCAN, stop}};
}

// The real threads, with starts that can be made to fail.
struct ScriptedThreads final : IThreads {
    ThreadHandle BeginThread(std::function<unsigned()> procedure) override {
        if (allowStart && !allowStart(starts++)) {
            ++failed;
            return nullptr;
        }
        return real.BeginThread(std::move(procedure));
    }
    std::uint32_t WaitForMultipleObjects(std::uint32_t count, const ThreadHandle* handles,
                                         bool waitAll, std::uint32_t timeoutMs) override {
        return !waitAll && failWaitForAny
                   ? kWaitFailed
                   : real.WaitForMultipleObjects(count, handles, waitAll, timeoutMs);
    }
    std::uint32_t GetLastError() override { return real.GetLastError(); }

    std::function<bool(int)> allowStart;  // by the number of the start, 0 onwards
    std::atomic<bool> failWaitForAny{false};
    std::atomic<int> starts{0}, failed{0};
    PosixThreads real;
};

// Names resolve as set before the scan; while held, every lookup waits.
struct FakeResolver final : INameResolver {
    std::optional<std::uint32_t> Resolve(const std::string& name) override {
        ++active;
        while (held) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        --active;
        const auto found = names.find(name);
        return found == names.end() ? std::nullopt : std::optional(found->second);
    }
    std::map<std::string, std::uint32_t> names;
    std::atomic<bool> held{false};
    std::atomic<int> active{0};
};

struct Row {
    std::string cells[3];
    bool selected = false;
    std::optional<NotAskedReason> notAsked;
};

struct ShownBox {
    std::string text, caption;
    unsigned type;
    bool operator==(const ShownBox&) const = default;
};
inline const ShownBox kCompleteBox = {"扫描完成!", "Talvik", 0};
inline const ShownBox kFailedBox = {"扫描线程出错，正在退出!", "Talvik", 0x40};

// The result list, progress bar, commands and message box of the main window, with the engine
// wired to them and to scripted threads, names and ARP answers. The window notes any call off
// the user-interface thread, which the engine must never make.
struct EngineRig final : IResultList, IProgressBar, ICommandStates, IMessageBox {
    explicit EngineRig(int workerLimit = kStartWorkerLimit, std::string senderNotice = {})
        : engine(std::make_unique<ScanEngine>(EnginePorts{.list = this,
                                                          .progress = this,
                                                          .commands = this,
                                                          .messages = this,
                                                          .ui = ui,
                                                          .resolver = resolver,
                                                          .threads = threads,
                                                          .arp = arp,
                                                          .senderNotice = std::move(senderNotice),
                                                          .scanEnded = nullptr})) {
        engine->Settings().workerLimit = workerLimit;
        // The shortest late window keeps scans of silent targets quick.
        engine->Settings().networkCondition = kMaxNetworkCondition;
    }
    ~EngineRig() override {
        engine.reset();
        resolver->held = false;
        arp->Release();
    }

    int GetItemCount() const override { return Check(), static_cast<int>(rows.size()); }
    int GetNextItem(int start, ItemFilter filter) const override {
        for (int row = start + 1; row < GetItemCount(); ++row) {
            if (filter == ItemFilter::All || rows[row].selected) {
                return row;
            }
        }
        return -1;
    }
    std::string GetItemText(int row, int column) const override {
        return Check(), rows.at(row).cells[column];
    }
    void SetItemText(int row, int column, const std::string& text) override {
        Check(), rows.at(row).cells[column] = text, ++changes;
    }
    void SetRowOutcome(int row, RowOutcome, std::uint32_t) override {
        Check(), rows.at(row).notAsked.reset();
    }
    void SetRowNotAsked(int row, NotAskedReason why, std::uint32_t) override {
        Check(), rows.at(row).notAsked = why;
    }
    void SetRange(int minimum, int maximum) override { Check(), range = {minimum, maximum}; }
    void SetPos(int position) override { Check(), pos = position, ++changes; }
    int GetPos() const override { return Check(), pos; }
    void EnableButton(int command, bool on) override {
        Check(), calls.push_back({false, command, on}), ++changes;
    }
    void EnableMenuItem(int command, unsigned flags) override {
        Check(), calls.push_back({true, command, flags}), ++changes;
    }
    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override {
        Check(), shown.push_back({text, caption, type}), ++changes;
        if (std::exchange(throwNext, false)) {
            throw std::runtime_error("message box failed");
        }
        if (auto action = std::exchange(whileShown, nullptr)) {
            action();  // as the modal box's own event loop would
        }
        return kIdOk;
    }
    void Check() const {
        if (std::this_thread::get_id() != uiThread) {
            offThread = true;
        }
    }

    void Add(const std::string& text) { rows.push_back(Row{{text}, false, std::nullopt}); }
    // Rows first..last of a network, as the add command makes them.
    void AddRange(std::uint32_t network, int first, int last) {
        for (int i = first; i <= last; ++i) {
            Add(FormatDottedDecimal(network | static_cast<std::uint32_t>(i)));
        }
    }
    const std::string& Cell(int row, int column) const { return rows.at(row).cells[column]; }
    bool WaitForBox() {
        return ui->RunUntil([&] { return !shown.empty(); });
    }
    bool WaitUntilIdle() {
        return ui->RunUntil([&] { return !engine->IsScanRunning(); });
    }
    // Whether the toolbar and the menu were last set to the running or the idle state.
    bool Shows(bool running) const {
        const auto state = StateCalls(running);
        return calls.size() >= 6 && std::equal(state.begin(), state.end(), calls.end() - 6);
    }
    bool Idle() const { return Shows(false); }

    std::vector<Row> rows;
    std::pair<int, int> range;
    int pos = -1;
    int changes = 0;  // cell writes, progress moves, state changes and boxes
    std::vector<CommandCall> calls;
    std::vector<ShownBox> shown;
    std::function<void()> whileShown;
    bool throwNext = false;
    std::thread::id uiThread = std::this_thread::get_id();
    mutable std::atomic<bool> offThread{false};
    std::shared_ptr<ManualUiQueue> ui = std::make_shared<ManualUiQueue>();
    std::shared_ptr<FakeResolver> resolver = std::make_shared<FakeResolver>();
    std::shared_ptr<ScriptedThreads> threads = std::make_shared<ScriptedThreads>();
    std::shared_ptr<ScriptedArpSender> arp = std::make_shared<ScriptedArpSender>();
    std::unique_ptr<ScanEngine> engine;
};

}  // namespace talvik::test
