// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/HeadlessPorts.h"

#include <algorithm>
#include <utility>

#include "names/MacVendors.h"

namespace talvik::headless {

HeadlessUiThread::HeadlessUiThread() : thread_([this] { Loop(); }) {}

HeadlessUiThread::~HeadlessUiThread() {
    Shutdown();
}

void HeadlessUiThread::Post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void HeadlessUiThread::Shutdown() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
    {
        std::lock_guard lock(mutex_);
        dropped.swap(tasks_);
    }
    // Destroyed outside the lock: a dropped task may wake a waiter that posts again.
}

void HeadlessUiThread::Loop() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (stopping_) {
                return;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

HeadlessList::HeadlessList(std::vector<std::string> firstColumn) {
    rows_.resize(firstColumn.size());
    for (std::size_t i = 0; i < firstColumn.size(); ++i) {
        rows_[i].cells[0] = std::move(firstColumn[i]);
    }
}

int HeadlessList::GetItemCount() const {
    return static_cast<int>(rows_.size());
}

int HeadlessList::GetNextItem(int start, ItemFilter filter) const {
    for (int row = start < 0 ? 0 : start + 1; row < GetItemCount(); ++row) {
        if (filter == ItemFilter::All || rows_[row].selected) {
            return row;
        }
    }
    return -1;
}

std::string HeadlessList::GetItemText(int row, int column) const {
    if (row < 0 || row >= GetItemCount() || column < 0 || column > 2) {
        return {};
    }
    return rows_[row].cells[column];
}

void HeadlessList::SetItemText(int row, int column, const std::string& text) {
    ++writes_;
    if (row < 0 || row >= GetItemCount() || column < 0 || column > 2) {
        return;
    }
    Row& cells = rows_[row];
    if (column == 2 && ParseMacText(text) && ParseMacText(cells.cells[2])) {
        if (text != cells.cells[2] &&
            std::find(cells.others.begin(), cells.others.end(), text) == cells.others.end()) {
            cells.others.push_back(text);
        }
        return;
    }
    if (column == 2) {
        cells.others.clear();
    }
    cells.cells[column] = text;
}

void HeadlessList::SetRowOutcome(int row, RowOutcome outcome, std::uint32_t address) {
    if (row >= 0 && row < GetItemCount()) {
        rows_[row].outcome = outcome;
        rows_[row].address = address;
        rows_[row].confirmedBefore.reset();
    }
}

void HeadlessList::SetRowConfirmedBefore(int row, std::chrono::milliseconds ago) {
    if (row >= 0 && row < GetItemCount()) {
        rows_[row].confirmedBefore = ago;
    }
}

void HeadlessList::SetRowNotAsked(int row, NotAskedReason why, std::uint32_t address) {
    if (row >= 0 && row < GetItemCount()) {
        rows_[row].why = why;
    }
    SetRowOutcome(row, RowOutcome::NotAsked, address);
}

std::string HeadlessList::OutcomeText(int row) const {
    if (row < 0 || row >= GetItemCount()) {
        return {};
    }
    switch (rows_[row].outcome) {
        case RowOutcome::NotScanned:
            return "not-scanned";
        case RowOutcome::Waiting:
            return "waiting";
        case RowOutcome::Silent:
            return "silent";
        case RowOutcome::Unresolved:
            return "unresolved";
        case RowOutcome::Answered:
            // The kernel's memory of the host, with its age in whole seconds.
            return rows_[row].confirmedBefore
                       ? "answered:confirmed-before-" +
                             std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                                *rows_[row].confirmedBefore)
                                                .count()) +
                             "s"
                       : "answered";
        case RowOutcome::NotAsked:
            break;
    }
    switch (rows_[row].why) {
        case NotAskedReason::OffLink:
            return "not-asked:off-link";
        case NotAskedReason::Loopback:
            return "not-asked:loopback";
        case NotAskedReason::LinkDown:
            return "not-asked:link-down";
        case NotAskedReason::Refused:
            return "not-asked:refused";
        case NotAskedReason::NoResources:
            return "not-asked:no-resources";
        case NotAskedReason::HelperLost:
            return "not-asked:helper-lost";
        case NotAskedReason::Failed:
            break;
    }
    return "not-asked:failed";
}

int HeadlessList::CountOutcome(RowOutcome outcome) const {
    return static_cast<int>(std::count_if(rows_.begin(), rows_.end(),
                                          [&](const Row& row) { return row.outcome == outcome; }));
}

void HeadlessList::Select(int row) {
    if (row >= 0 && row < GetItemCount()) {
        rows_[row].selected = true;
    }
}

long HeadlessList::Writes() const {
    return writes_;
}

void HeadlessProgress::SetRange(int minimum, int maximum) {
    minimum_ = minimum;
    maximum_ = maximum;
}

void HeadlessProgress::SetPos(int position) {
    position_ = position;
}

int HeadlessProgress::GetPos() const {
    return position_;
}

void HeadlessCommands::EnableButton(int, bool) {}

void HeadlessCommands::EnableMenuItem(int, unsigned) {}

int HeadlessMessages::MessageBox(const std::string& text, const std::string& caption,
                                 unsigned type) {
    {
        std::lock_guard lock(mutex_);
        boxes_.push_back({text, caption, type, std::chrono::steady_clock::now()});
    }
    shown_.notify_all();
    return (type & kMbYesNo) ? kIdYes : kIdOk;
}

bool HeadlessMessages::WaitFor(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return shown_.wait_for(lock, timeout, [&] { return boxes_.size() >= count; });
}

std::vector<HeadlessMessages::Shown> HeadlessMessages::All() const {
    std::lock_guard lock(mutex_);
    return boxes_;
}

}  // namespace talvik::headless
