// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The engine's ports over Qt widgets. All of them except QtUiPoster are used on the
// user-interface thread only.

#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "scan/Ports.h"

class QAction;
class QObject;
class QProgressBar;
class QTreeWidget;
class QWidget;

namespace talvik {

// What the window knows of one row beyond its cells.
struct RowFacts {
    RowOutcome outcome = RowOutcome::NotScanned;
    std::uint32_t address = 0;  // the one asked, host byte order; 0 when not known
    QStringList macs;           // each MAC that answered in this scan, the cell's first
    NotAskedReason notAsked = NotAskedReason::Failed;  // why, when the outcome is NotAsked
    // For an answer that was the kernel's memory of the host: how long before it was asked
    // the kernel had confirmed it, in seconds.
    std::optional<int> confirmedBefore;
};

// Words a row's tooltip from its address text and facts. Rows hold it shared, so it may outlive
// the list.
using RowDescriber = std::function<QString(const QString& text, const RowFacts& facts)>;

// The result list over a three-column tree widget without a tree.
class QtResultList final : public IResultList {
public:
    explicit QtResultList(QTreeWidget* list, std::shared_ptr<const RowDescriber> describe = nullptr)
        : list_(list), describe_(std::move(describe)) {}

    int GetItemCount() const override;
    int GetNextItem(int start, ItemFilter filter) const override;
    std::string GetItemText(int row, int column) const override;
    // A second, different MAC for a row that answered keeps the first in the cell and joins
    // the row's list of MACs, marking the row with a warning.
    void SetItemText(int row, int column, const std::string& text) override;
    void SetRowOutcome(int row, RowOutcome outcome, std::uint32_t address) override;
    void SetRowNotAsked(int row, NotAskedReason why, std::uint32_t address) override;
    void SetRowConfirmedBefore(int row, std::chrono::milliseconds ago) override;

    // The row's facts; nullptr for no such row.
    const RowFacts* Facts(int row) const;
    int CountAnswered() const;
    int CountNotAsked() const;
    // Called after each change of a row's outcome.
    std::function<void(int row, const RowFacts& facts)> outcomeChanged;

    // Inserts a row with `text` in column 0 and empty other columns; an index past the end
    // appends. Gives the row's index.
    int InsertItem(int index, const QString& text);
    void DeleteItem(int row);
    void DeleteAllItems();

private:
    QTreeWidget* list_;
    std::shared_ptr<const RowDescriber> describe_;
};

// The progress bar keeps the position within its range, and shows an empty range as an empty
// bar rather than as Qt's busy indicator.
class QtProgressBar final : public IProgressBar {
public:
    explicit QtProgressBar(QProgressBar* bar);

    void SetRange(int minimum, int maximum) override;
    void SetPos(int position) override;
    int GetPos() const override;
    int Maximum() const { return maximum_; }
    // Called after each change of range or position.
    std::function<void()> changed;

private:
    QProgressBar* bar_;
    int minimum_ = 0;
    int maximum_ = 100;
    int position_ = 0;
};

// Toolbar buttons and menu items are separate actions, so each keeps its own enabled state.
class QtCommandStates final : public ICommandStates {
public:
    void AddButton(int command, QAction* action) { buttons_[command] = action; }
    void AddMenuItem(int command, QAction* action) { menuItems_[command] = action; }

    void EnableButton(int command, bool enable) override;
    void EnableMenuItem(int command, unsigned flags) override;

private:
    std::map<int, QAction*> buttons_;
    std::map<int, QAction*> menuItems_;
};

// Modal message boxes owned by the main dialog.
class QtMessageBox final : public IMessageBox {
public:
    explicit QtMessageBox(QWidget* owner) : owner_(owner) {}
    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;

private:
    QWidget* owner_;
};

// Queues closures to the thread of a context object. Post may be called from any thread; once
// Detach has run (the window is going away) closures are dropped, and closures still queued go
// with the context object.
class QtUiPoster final : public IUiPoster {
public:
    explicit QtUiPoster(QObject* context) : context_(context) {}
    void Post(std::function<void()> task) override;
    void Detach();

private:
    std::mutex mutex_;
    QObject* context_;
};

}  // namespace talvik
