// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's menu bar, toolbar, window menu, list pop-up and keys, all made from the one
// command table.

#include <QAction>
#include <QActionGroup>
#include <QCursor>
#include <QFile>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QProxyStyle>
#include <QShortcut>
#include <QStyleOption>
#include <QToolBar>
#include <QTreeWidget>

#include "scan/CommandIds.h"
#include "scan/ScanEngine.h"
#include "ui/DialogUnits.h"
#include "ui/QtPorts.h"
#include "ui/ScannerCommands.h"
#include "ui/ScannerDlg.h"

namespace talvik {

namespace {

// Names this program: the item opens its own about box.
constexpr const char* kAboutBoxItem = "关于 Talvik(&A)...";
constexpr int kToolIconSize = 32;

// The toolbar's image for one slot: its own picture, else its cut of the strip, else a clear
// square so the buttons keep their size.
QIcon ToolIcon(const char* path, int stripIndex) {
    const QString file = QString::fromLatin1(path);
    if (QFile::exists(file)) {
        return QIcon(file);  // picks up the double-size picture beside it on dense screens
    }
    QPixmap pixmap;
    const QPixmap strip(QStringLiteral(":/toolbar.png"));
    if (!strip.isNull()) {
        pixmap = strip.copy(stripIndex * kToolIconSize, 0, kToolIconSize, kToolIconSize);
    }
    if (pixmap.isNull()) {
        pixmap = QPixmap(kToolIconSize, kToolIconSize);
        pixmap.fill(Qt::transparent);
    }
    return QIcon(pixmap);
}

// The grip at the toolbar's left end; a toolbar outside a main window draws none itself.
class ToolBarGrip final : public QWidget {
public:
    explicit ToolBarGrip(QWidget* parent) : QWidget(parent) {
        setFixedWidth(style()->pixelMetric(QStyle::PM_ToolBarHandleExtent, nullptr, this));
    }

protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        QPainter painter(this);
        QStyleOption option;
        option.initFrom(this);
        option.state |= QStyle::State_Horizontal;
        style()->drawPrimitive(QStyle::PE_IndicatorToolBarHandle, &option, &painter, this);
    }
};

// The template's width holds the six buttons with their texts only with tighter padding than
// the desktop style gives tool buttons.
class ToolBarStyle final : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override {
        switch (metric) {
            case PM_ToolBarItemMargin:
                return 1;
            case PM_ToolBarItemSpacing:
                return 0;
            default:
                return QProxyStyle::pixelMetric(metric, option, widget);
        }
    }

    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override {
        QSize result = QProxyStyle::sizeFromContents(type, option, size, widget);
        if (type == CT_ToolButton) {
            result.rwidth() -= 4;
        }
        return result;
    }
};

}  // namespace

QAction* CScannerDlg::AddCommand(QWidget* owner, const Command& command, const QIcon& icon,
                                 const char* text) {
    QAction* action = new QAction(icon, QString::fromUtf8(text), owner);
    owner->addAction(action);
    action->setData(command.id);
    action->setEnabled(command.when != CommandWhen::Never);
    if (command.handler != nullptr) {
        connect(action, &QAction::triggered, this, command.handler);
    }
    return action;
}

void CScannerDlg::CreateMenuBar() {
    menuBar_ = new QMenuBar(page_);
    menuBar_->setNativeMenuBar(false);
    for (const MenuLayout& layout : MenuBarLayout()) {
        QMenu* menu = menuBar_->addMenu(QString::fromUtf8(layout.title));
        menu->setFont(DialogFont());
        for (const int id : layout.items) {
            if (id == 0) {
                menu->addSeparator();
                continue;
            }
            const Command& command = *FindCommand(id);
            if (id == ID_WATCH_INTERVAL) {
                QMenu* intervals = menu->addMenu(QString::fromUtf8(command.text));
                intervals->setFont(DialogFont());
                auto* group = new QActionGroup(intervals);
                for (const int minutes : kWatchIntervals) {
                    QAction* choice = intervals->addAction(QStringLiteral("%1 分钟").arg(minutes));
                    choice->setCheckable(true);
                    choice->setChecked(minutes == kDefaultWatchInterval);
                    choice->setData(minutes);
                    group->addAction(choice);
                    connect(choice, &QAction::triggered, this,
                            [this, minutes] { OnWatchInterval(minutes); });
                }
                intervals->menuAction()->setData(id);
                menuActions_[id] = intervals->menuAction();
                continue;
            }
            menuActions_[id] = AddCommand(menu, command, QIcon(), command.text);
            ShowKeys(menuActions_[id], id);
        }
    }
}

void CScannerDlg::CreateToolBar() {
    toolBar_ = new QToolBar(page_);
    auto* style = new ToolBarStyle;
    style->setParent(toolBar_);
    toolBar_->setStyle(style);
    toolBar_->setMovable(false);
    toolBar_->setFloatable(false);
    toolBar_->setIconSize(QSize(kToolIconSize, kToolIconSize));
    toolBar_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toolBar_->addWidget(new ToolBarGrip(toolBar_));

    int image = 0;
    for (const int id : ToolBarLayout()) {
        if (id == 0) {
            toolBar_->addSeparator();
            continue;
        }
        const Command& command = *FindCommand(id);
        QAction* action =
            AddCommand(toolBar_, command, ToolIcon(command.icon, image++), command.toolText);
        action->setToolTip(QString::fromUtf8(command.toolText).trimmed());
        toolActions_[id] = action;
        QWidget* button = toolBar_->widgetForAction(action);
        button->setStyle(style);
        // Read out as shown, leading blank included.
        button->setAccessibleName(QString::fromUtf8(command.toolText));
    }
}

void CScannerDlg::CreateKeys() {
    // One action per key, so a key also reaches commands that only the pop-up shows, and is
    // refused where the command may not run.
    for (const Command& command : Commands()) {
        if (command.keys == nullptr) {
            continue;
        }
        const bool onList = IsListKey(command.id);
        QWidget* owner = onList ? static_cast<QWidget*>(resultList_) : this;
        auto* action = new QAction(owner);
        action->setShortcut(QKeySequence(QString::fromLatin1(command.keys)));
        action->setShortcutContext(onList ? Qt::WidgetWithChildrenShortcut : Qt::WindowShortcut);
        owner->addAction(action);
        connect(action, &QAction::triggered, this, [this, id = command.id] { OnCommand(id); });
    }
    // The list's pop-up from the keyboard opens at the current row, not at the pointer.
    for (const QKeySequence& keys :
         {QKeySequence(Qt::SHIFT | Qt::Key_F10), QKeySequence(Qt::Key_Menu)}) {
        auto* listMenu = new QShortcut(keys, resultList_);
        listMenu->setContext(Qt::WidgetWithChildrenShortcut);
        connect(listMenu, &QShortcut::activated, this,
                [this] { OpenListMenu(ListMenuKeyPosition()); });
    }
}

// A menu item shows the key of its command, as desktop menus do. The key itself is the
// window's (CreateKeys); here it only acts while the menu is open, as the item would.
void CScannerDlg::ShowKeys(QAction* action, int id) {
    const Command* command = FindCommand(id == ID_SCAN_ALL_POPUP ? ID_SCAN_ALL : id);
    if (command == nullptr || command->keys == nullptr) {
        return;
    }
    action->setShortcut(QKeySequence(QString::fromLatin1(command->keys)));
    action->setShortcutContext(Qt::WidgetShortcut);
}

void CScannerDlg::CreateWindowMenu() {
    windowMenu_ = new QMenu(this);
    windowMenu_->setFont(DialogFont());
    QAction* minimise = windowMenu_->addAction(QStringLiteral("最小化(&N)"));
    connect(minimise, &QAction::triggered, this, [this] { OnSysCommand(kScMinimize); });
    QAction* close = windowMenu_->addAction(QStringLiteral("关闭(&C)\tAlt+F4"));
    connect(close, &QAction::triggered, this, [this] { OnSysCommand(kScClose); });
    windowMenu_->addSeparator();
    QAction* about = windowMenu_->addAction(QString::fromUtf8(kAboutBoxItem));
    connect(about, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });

    // The window manager keeps its own window menu to itself; this one stands in for it.
    auto* shortcut = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(shortcut, &QShortcut::activated, this,
            [this] { ShowWindowMenu(mapToGlobal(QPoint(0, 0))); });
}

void CScannerDlg::ShowWindowMenu(const QPoint& globalPosition) {
    windowMenu_->popup(globalPosition);
}

void CScannerDlg::OnResultListRClick() {
    OpenListMenu(QCursor::pos());
}

QPoint CScannerDlg::ListMenuKeyPosition() const {
    QTreeWidgetItem* current = resultList_->currentItem();
    if (current == nullptr) {
        return resultList_->mapToGlobal(QPoint(0, 0));
    }
    resultList_->scrollToItem(current);
    const QRect row = resultList_->visualItemRect(current);
    // Below the row, so the menu leaves it in sight.
    return resultList_->viewport()->mapToGlobal(row.bottomLeft());
}

void CScannerDlg::OpenListMenu(const QPoint& position) {
    QMenu menu(QStringLiteral("pop"), this);
    menu.setAccessibleName(QStringLiteral("结果列表菜单"));
    menu.setFont(DialogFont());
    const bool scanning = engine_->IsScanRunning();
    const bool hasRows = resultRows_->GetItemCount() > 0;
    for (const int id : ListMenuLayout()) {
        if (id == 0) {
            menu.addSeparator();
            continue;
        }
        const Command& command = *FindCommand(id);
        QAction* action = menu.addAction(QString::fromUtf8(command.text));
        action->setData(id);
        action->setEnabled(hasRows && MayRun(command, scanning));
        ShowKeys(action, id);
    }
    // After the list's own commands: copy, as Ctrl+C does, of the rows selected.
    menu.addSeparator();
    QAction* copy = menu.addAction(QString::fromUtf8(FindCommand(ID_COPY_ROWS)->text));
    copy->setData(ID_COPY_ROWS);
    copy->setEnabled(!resultList_->selectedItems().isEmpty());
    ShowKeys(copy, ID_COPY_ROWS);
    AddMemoryItems(menu, scanning);
    const QAction* chosen = menu.exec(position);
    if (chosen != nullptr) {
        OnCommand(chosen->data().toInt());
    }
}

QAction* CScannerDlg::menuAction(int command) const {
    const auto it = menuActions_.find(command);
    return it == menuActions_.end() ? nullptr : it->second;
}

QAction* CScannerDlg::toolAction(int command) const {
    const auto it = toolActions_.find(command);
    return it == toolActions_.end() ? nullptr : it->second;
}

}  // namespace talvik
