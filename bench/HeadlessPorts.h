// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The engine's window-side ports without a window: a result list and progress bar in memory, a
// message box that records what it was asked and answers OK, and a user-interface thread of
// our own that runs posted closures in order.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "scan/Ports.h"

namespace talvik::bench {

class HeadlessUiThread final : public IUiPoster {
public:
    HeadlessUiThread();
    ~HeadlessUiThread() override;

    void Post(std::function<void()> task) override;

    // Runs `task` on the user-interface thread and waits for it; must not be called from there.
    // Throws std::future_error when the loop has already ended and dropped the task.
    template <typename F>
    auto Run(F task) -> decltype(task()) {
        // Only the posted closure owns the task, so a dropped closure breaks the promise
        // instead of leaving the caller waiting for ever.
        auto packaged = std::make_shared<std::packaged_task<decltype(task())()>>(std::move(task));
        auto result = packaged->get_future();
        Post([packaged] { (*packaged)(); });
        return result.get();
    }

    // Ends the loop; closures posted afterwards are dropped.
    void Shutdown();

private:
    void Loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

class HeadlessList final : public IResultList {
public:
    explicit HeadlessList(std::vector<std::string> firstColumn);

    int GetItemCount() const override;
    int GetNextItem(int start, ItemFilter filter) const override;
    std::string GetItemText(int row, int column) const override;
    void SetItemText(int row, int column, const std::string& text) override;
    void SetRowOutcome(int row, RowOutcome outcome, std::uint32_t address) override;
    void SetRowNotAsked(int row, NotAskedReason why, std::uint32_t address) override;
    void SetRowConfirmedBefore(int row, std::chrono::milliseconds ago) override;

    void Select(int row);
    // What became of the row, in a word ("answered", "silent", "not-asked:link-down", ...).
    std::string Outcome(int row) const;
    int CountOutcome(RowOutcome outcome) const;
    // Other MACs that answered for the row after the one its cell keeps, as in the window.
    const std::vector<std::string>& OtherMacs(int row) const { return rows_.at(row).others; }
    // Number of SetItemText calls so far; tells whether anything was written after a moment.
    long Writes() const;

private:
    struct Row {
        std::string cells[3];
        std::vector<std::string> others;
        bool selected = false;
        RowOutcome outcome = RowOutcome::NotScanned;
        NotAskedReason why = NotAskedReason::Failed;
        std::optional<std::chrono::milliseconds> confirmedBefore;
    };
    std::vector<Row> rows_;
    long writes_ = 0;
};

class HeadlessProgress final : public IProgressBar {
public:
    void SetRange(int minimum, int maximum) override;
    void SetPos(int position) override;
    int GetPos() const override;
    int Maximum() const { return maximum_; }

private:
    int minimum_ = 0;
    int maximum_ = 100;
    int position_ = 0;
};

class HeadlessCommands final : public ICommandStates {
public:
    void EnableButton(int command, bool enable) override;
    void EnableMenuItem(int command, unsigned flags) override;
};

// Records every message box. The completion notice is what ends a scan, so its arrival is
// timed and can be waited for from another thread.
class HeadlessMessages final : public IMessageBox {
public:
    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;

    struct Shown {
        std::string text;
        std::string caption;
        unsigned type = 0;
        std::chrono::steady_clock::time_point when;
    };
    // Waits until at least `count` boxes were shown or the time is up; true when they were.
    bool WaitFor(std::size_t count, std::chrono::milliseconds timeout);
    std::vector<Shown> All() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable shown_;
    std::vector<Shown> boxes_;
};

// The window's side of the engine's ports, with nothing on screen.
struct HeadlessWindow {
    explicit HeadlessWindow(std::vector<std::string> rows) : list(std::move(rows)) {}
    std::shared_ptr<HeadlessUiThread> ui = std::make_shared<HeadlessUiThread>();
    HeadlessList list;
    HeadlessProgress progress;
    HeadlessCommands commands;
    HeadlessMessages messages;
};

}  // namespace talvik::bench
