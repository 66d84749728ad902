#pragma once
// One scan engine over scripted window ports, for the engine tests and its benchmark. The ports
// record any call off the user-interface thread, which the engine must never make.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/PosixThreads.h"
#include "scan/Address.h"
#include "scan/CommandIds.h"
#include "scan/ScanEngine.h"
#include "tests/support/ManualUiQueue.h"
#include "tests/support/ScriptedArpSender.h"

namespace talvik::test {

class UiThreadCheck {
public:
    void Check() const {
        if (std::this_thread::get_id() != ui_) {
            offThread_ = true;
        }
    }
    bool CalledOffThread() const { return offThread_; }

private:
    std::thread::id ui_ = std::this_thread::get_id();
    mutable std::atomic<bool> offThread_{false};
};

struct Row {
    std::string cells[3];
    bool selected = false;
};

class FakeList final : public IResultList, public UiThreadCheck {
public:
    void Add(const std::string& text, bool selected = false) {
        Row row;
        row.cells[0] = text;
        row.selected = selected;
        rows.push_back(row);
    }

    int GetItemCount() const override {
        Check();
        return static_cast<int>(rows.size());
    }
    int GetNextItem(int start, ItemFilter filter) const override {
        Check();
        for (int row = start + 1; row < static_cast<int>(rows.size()); ++row) {
            if (filter == ItemFilter::All || rows[static_cast<std::size_t>(row)].selected) {
                return row;
            }
        }
        return -1;
    }
    std::string GetItemText(int row, int column) const override {
        Check();
        return rows.at(static_cast<std::size_t>(row)).cells[column];
    }
    void SetItemText(int row, int column, const std::string& text) override {
        Check();
        rows.at(static_cast<std::size_t>(row)).cells[column] = text;
        ++writes;
    }

    const std::string& Cell(int row, int column) const {
        return rows.at(static_cast<std::size_t>(row)).cells[column];
    }

    std::vector<Row> rows;
    int writes = 0;
};

class FakeProgress final : public IProgressBar, public UiThreadCheck {
public:
    void SetRange(int minimumValue, int maximumValue) override {
        Check();
        minimum = minimumValue;
        maximum = maximumValue;
    }
    void SetPos(int position) override {
        Check();
        pos = position;
        ++moves;
    }
    int GetPos() const override {
        Check();
        return pos;
    }

    int minimum = -1;
    int maximum = -1;
    int pos = -1;
    int moves = 0;
};

struct CommandCall {
    bool menu;
    int command;
    unsigned value;  // enable flag for the toolbar, menu flags for the menu
    bool operator==(const CommandCall&) const = default;
};

class FakeCommands final : public ICommandStates, public UiThreadCheck {
public:
    void EnableButton(int command, bool enable) override {
        Check();
        calls.push_back({false, command, enable ? 1u : 0u});
        button[command] = enable;
    }
    void EnableMenuItem(int command, unsigned flags) override {
        Check();
        calls.push_back({true, command, flags});
        menu[command] = flags;
    }

    std::vector<CommandCall> calls;
    std::map<int, bool> button;
    std::map<int, unsigned> menu;
};

struct ShownBox {
    std::string text;
    std::string caption;
    unsigned type;
};

class FakeMessages final : public IMessageBox, public UiThreadCheck {
public:
    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override {
        Check();
        shown.push_back({text, caption, type});
        if (throwNext) {
            throwNext = false;
            throw std::runtime_error("message box failed");
        }
        if (whileShown) {
            // Played while the modal box is up, as the nested event loop would.
            auto action = std::move(whileShown);
            whileShown = nullptr;
            action();
        }
        return kIdOk;
    }

    std::vector<ShownBox> shown;
    std::function<void()> whileShown;
    bool throwNext = false;
};

// The real threads, with starts that can be made to fail and a count of them.
class ScriptedThreads final : public IThreads {
public:
    // Called with the number of the start (0 onwards); false makes that start fail.
    std::function<bool(int)> allowStart;
    std::atomic<bool> failWaitForAny{false};

    ThreadHandle BeginThread(std::function<unsigned()> procedure) override {
        const int number = starts_.fetch_add(1);
        if (allowStart && !allowStart(number)) {
            failed_.fetch_add(1);
            return nullptr;
        }
        return real_.BeginThread(std::move(procedure));
    }
    std::uint32_t WaitForMultipleObjects(std::uint32_t count, const ThreadHandle* handles,
                                         bool waitAll, std::uint32_t timeoutMs) override {
        if (!waitAll && failWaitForAny) {
            return kWaitFailed;
        }
        return real_.WaitForMultipleObjects(count, handles, waitAll, timeoutMs);
    }
    std::uint32_t GetLastError() override { return real_.GetLastError(); }

    int Starts() const { return starts_.load(); }
    int Failed() const { return failed_.load(); }

private:
    PosixThreads real_;
    std::atomic<int> starts_{0};
    std::atomic<int> failed_{0};
};

// Names resolve as scripted; a held resolver blocks every lookup until it is released.
class FakeResolver final : public INameResolver {
public:
    std::optional<std::uint32_t> Resolve(const std::string& name) override {
        std::unique_lock lock(mutex_);
        lookups_.push_back(name);
        ++active_;
        maxActive_ = std::max(maxActive_, active_);
        changed_.notify_all();
        changed_.wait(lock, [this] { return !held_; });
        --active_;
        changed_.notify_all();
        const auto found = names_.find(name);
        if (found == names_.end()) {
            return std::nullopt;
        }
        return found->second;
    }

    void Add(const std::string& name, std::uint32_t address) {
        std::lock_guard lock(mutex_);
        names_[name] = address;
    }
    void Hold() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void Release() {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        changed_.notify_all();
    }
    bool WaitForActive(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return active_ >= count; });
    }
    bool WaitForIdle(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return active_ == 0; });
    }
    std::vector<std::string> Lookups() const {
        std::lock_guard lock(mutex_);
        return lookups_;
    }
    int MaxActive() const {
        std::lock_guard lock(mutex_);
        return maxActive_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, std::uint32_t> names_;
    std::vector<std::string> lookups_;
    bool held_ = false;
    int active_ = 0;
    int maxActive_ = 0;
};

// One engine over fakes, as the main window wires it.
struct EngineRig {
    FakeList list;
    FakeProgress progress;
    FakeCommands commands;
    FakeMessages messages;
    std::shared_ptr<ManualUiQueue> ui = std::make_shared<ManualUiQueue>();
    std::shared_ptr<FakeResolver> resolver = std::make_shared<FakeResolver>();
    std::shared_ptr<ScriptedThreads> threads = std::make_shared<ScriptedThreads>();
    std::shared_ptr<ScriptedArpSender> arp = std::make_shared<ScriptedArpSender>();
    std::unique_ptr<ScanEngine> engine;

    explicit EngineRig(int workerLimit = kStartWorkerLimit) {
        engine = std::make_unique<ScanEngine>(
            EnginePorts{&list, &progress, &commands, &messages, ui, resolver, threads, arp});
        engine->Settings().workerLimit = workerLimit;
        engine->Settings().networkCondition = kStartNetworkCondition;
    }

    ~EngineRig() {
        engine.reset();
        ui->Close();
        resolver->Release();
        arp->Release();
    }

    // Rows first.last of a.b.c as the add command makes them.
    void AddRange(std::uint32_t network, int first, int last) {
        for (int i = first; i <= last; ++i) {
            list.Add(FormatDottedDecimal(network | static_cast<std::uint32_t>(i)));
        }
    }

    bool WaitForBox(std::size_t count = 1) {
        return ui->RunUntil([&] { return messages.shown.size() >= count; });
    }

    bool WaitUntilIdle() {
        return ui->RunUntil([&] { return !engine->IsScanRunning(); });
    }

    bool Idle() const {
        return commands.button.at(ID_SCAN_ALL) && commands.button.at(ID_SCAN_SELECTED) &&
               !commands.button.at(ID_STOP_SCAN) && commands.menu.at(ID_SCAN_ALL) == kMfEnabled &&
               commands.menu.at(ID_SCAN_SELECTED) == kMfEnabled &&
               commands.menu.at(ID_STOP_SCAN) == kMfGrayed;
    }

    bool Running() const {
        return !commands.button.at(ID_SCAN_ALL) && !commands.button.at(ID_SCAN_SELECTED) &&
               commands.button.at(ID_STOP_SCAN) && commands.menu.at(ID_SCAN_ALL) == kMfGrayed &&
               commands.menu.at(ID_SCAN_SELECTED) == kMfGrayed &&
               commands.menu.at(ID_STOP_SCAN) == kMfEnabled;
    }

    bool AnyOffThread() const {
        return list.CalledOffThread() || progress.CalledOffThread() || commands.CalledOffThread() ||
               messages.CalledOffThread();
    }
};

inline constexpr std::uint32_t kNet203 = 0xCB007100u;  // 203.0.113.0
inline constexpr std::uint32_t kNet198 = 0xC6336400u;  // 198.51.100.0

}  // namespace talvik::test
