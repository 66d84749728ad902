// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/ScannerDlg.h"

#include <QApplication>
#include <QButtonGroup>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPalette>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWindow>

#include "names/HostNames.h"
#include "scan/Address.h"
#include "scan/ScanEngine.h"
#include "ui/DesktopNotifications.h"
#include "ui/DialogUnits.h"
#include "ui/GroupFrame.h"
#include "ui/HostEntry.h"
#include "ui/IpAddressEdit.h"
#include "ui/QtPorts.h"
#include "ui/WindowPlacement.h"
#include "ui/WireListener.h"

namespace talvik {

namespace {

constexpr const char* kStartAddress = "192.168.3.129";

// The template's size in dialog units, before the bars are added above it.
constexpr int kTemplateWidth = 408;
constexpr int kTemplateHeight = 283;

}  // namespace

CScannerDlg::CScannerDlg(ScannerServices services, QWidget* parent)
    : QDialog(parent), services_(std::move(services)) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    setWindowIcon(MainIcon());

    // The controls lie on a page of the template's size; on a screen too small for it the page
    // scrolls inside the window, so every control stays in reach.
    scroll_ = new QScrollArea(this);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setFocusPolicy(Qt::NoFocus);
    page_ = new QWidget;
    scroll_->setWidget(page_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll_);

    CreateControls();
    CreateMenuBar();
    CreateToolBar();
    CreateWindowMenu();
    CreateKeys();
    NameControls();
    PlaceControls();

    describeRow_ = std::make_shared<RowDescriber>(
        [this](const QString& text, const RowFacts& facts) { return DescribeRow(text, facts); });
    resultRows_ = std::make_unique<QtResultList>(resultList_, describeRow_);
    resultRows_->outcomeChanged = [this](int row, const RowFacts& facts) {
        OnRowOutcome(row, facts);
    };
    progressPort_ = std::make_unique<QtProgressBar>(progress_);
    progressPort_->changed = [this] { UpdateProgressText(); };
    commandStates_ = std::make_unique<QtCommandStates>();
    for (const auto& [command, action] : toolActions_) {
        commandStates_->AddButton(command, action);
    }
    for (const auto& [command, action] : menuActions_) {
        commandStates_->AddMenuItem(command, action);
    }
    messageBox_ = std::make_unique<QtMessageBox>(this);
    messages_ = services_.messageBox != nullptr ? services_.messageBox : messageBox_.get();
    poster_ = std::make_shared<QtUiPoster>(this);
    CreateRowDetails();

    EnginePorts ports;
    ports.list = resultRows_.get();
    ports.progress = progressPort_.get();
    ports.commands = commandStates_.get();
    ports.messages = messages_;
    ports.ui = poster_;
    ports.resolver = services_.resolver;
    ports.threads = services_.threads;
    ports.arp = services_.arp;
    ports.senderNotice = services_.senderNotice;
    ports.scanEnded = [this](bool completed) { OnScanEnded(completed); };
    engine_ = std::make_unique<ScanEngine>(std::move(ports));
    CreateDeviceMemory();
    CreateWatch();

    SetInitialState();
    // The devices of earlier runs reach the sender while the window opens, never on a scan's way.
    memory_->TellSender(ParseDottedDecimal(startAddress_->text().toStdString()).value_or(0));
    resultList_->setFocus(Qt::OtherFocusReason);

    // The focused control always draws its focus ring, also after a click moved the focus there.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget* /*old*/, QWidget* now) {
        if (now != nullptr && now->window() == this) {
            setAttribute(Qt::WA_KeyboardFocusChange, true);
            now->update();
        }
    });
    setAttribute(Qt::WA_KeyboardFocusChange, true);
}

CScannerDlg::~CScannerDlg() {
    // A running scan ends before any widget it writes to goes away; closures still on their way
    // are dropped with this object.
    listener_.reset();
    // What the watch heard last still reaches the record; the store's writer finishes it.
    WriteWatch();
    engine_.reset();
    poster_->Detach();
    // The rows go with the widgets, after this object's members.
    *describeRow_ = nullptr;
}

QIcon CScannerDlg::MainIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        const QString path = QStringLiteral(":/icons/main-%1.png").arg(size);
        const QPixmap pixmap(path);
        if (!pixmap.isNull()) {
            icon.addPixmap(pixmap);
        }
    }
    return icon;
}

void CScannerDlg::CreateControls() {
    // Group boxes first, so they stay beneath the controls they frame.
    entryGroup_ = new QGroupBox(page_);
    infoGroup_ = new QGroupBox(QStringLiteral(" 扫描信息"), page_);

    banner_ = new QLabel(page_);
    banner_->setPixmap(QPixmap(QStringLiteral(":/banner.png")));
    banner_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    banner_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(banner_, &QLabel::customContextMenuRequested, this,
            [this](const QPoint& position) { ShowWindowMenu(banner_->mapToGlobal(position)); });

    progress_ = new QProgressBar(page_);
    progress_->setTextVisible(false);
    progress_->setRange(0, 100);
    progress_->setValue(0);
    // The count is drawn over the filled bar in the highlight's text colour; the desktop's
    // light highlight leaves white text at about 2:1. This blue gives it over 7:1.
    QPalette bar = progress_->palette();
    bar.setColor(QPalette::Highlight, QColor(0x0b, 0x4f, 0x8a));
    bar.setColor(QPalette::HighlightedText, Qt::white);
    progress_->setPalette(bar);

    resultList_ = new QTreeWidget(page_);
    resultList_->setColumnCount(3);
    resultList_->setHeaderLabels(
        {QStringLiteral("主机IP"), QStringLiteral("状态"), QStringLiteral("MAC地址")});
    resultList_->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    resultList_->header()->setStretchLastSection(false);
    resultList_->header()->setSectionsMovable(false);
    resultList_->header()->setSectionsClickable(false);
    resultList_->setRootIsDecorated(false);
    resultList_->setItemsExpandable(false);
    resultList_->setUniformRowHeights(true);
    resultList_->setAllColumnsShowFocus(true);
    resultList_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    resultList_->setSelectionBehavior(QAbstractItemView::SelectRows);
    resultList_->setSortingEnabled(false);
    resultList_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    resultList_->setTextElideMode(Qt::ElideRight);
    // The thirds of the outer width overrun the viewport by the frame; the cells elide instead.
    resultList_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    resultList_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(resultList_, &QTreeWidget::customContextMenuRequested, this,
            &CScannerDlg::OnResultListRClick);

    url_ = new QLineEdit(page_);

    startAddress_ = new IpAddressEdit(page_);
    endAddress_ = new IpAddressEdit(page_);
    connect(startAddress_, &IpAddressEdit::fieldChanged, this, &CScannerDlg::OnStartAddressChanged);

    // Enter in a field of the entry presses the add button, as the user means by it.
    connect(url_, &QLineEdit::returnPressed, this, [this] { addButton_->click(); });
    for (IpAddressEdit* field : {startAddress_, endAddress_}) {
        for (int index = 0; index < IpAddressEdit::kParts; ++index) {
            connect(field->part(index), &QLineEdit::returnPressed, this,
                    [this] { addButton_->click(); });
        }
    }

    addButton_ = new QPushButton(QStringLiteral("添加扫描地址 >>"), page_);
    // Enter must never press it; Space does.
    addButton_->setAutoDefault(false);
    addButton_->setDefault(false);
    connect(addButton_, &QPushButton::clicked, this, &CScannerDlg::OnAddAddress);

    modeIp_ = new QRadioButton(QStringLiteral("IP地址："), page_);
    modeUrl_ = new QRadioButton(QStringLiteral(" URL："), page_);
    modeIp_->setFocusPolicy(Qt::ClickFocus);
    modeUrl_->setFocusPolicy(Qt::ClickFocus);
    auto* modes = new QButtonGroup(this);
    modes->addButton(modeIp_, 0);
    modes->addButton(modeUrl_, 1);
    // Tab reaches the group at its checked button only; the arrow keys move within it.
    connect(modes, &QButtonGroup::buttonToggled, this, [](QAbstractButton* button, bool checked) {
        button->setFocusPolicy(checked ? Qt::StrongFocus : Qt::ClickFocus);
    });
    modeIp_->installEventFilter(this);
    resultList_->installEventFilter(this);
    modeUrl_->installEventFilter(this);
    connect(modeIp_, &QRadioButton::clicked, this, &CScannerDlg::OnModeIp);
    connect(modeUrl_, &QRadioButton::clicked, this, &CScannerDlg::OnModeUrl);

    // The template's order.
    setTabOrder(resultList_, url_);
    setTabOrder(url_, startAddress_);
    setTabOrder(startAddress_, endAddress_);
    setTabOrder(endAddress_, addButton_);
    setTabOrder(addButton_, modeIp_);
    setTabOrder(modeIp_, modeUrl_);
    progress_->setFocusPolicy(Qt::NoFocus);
    banner_->setFocusPolicy(Qt::NoFocus);
}

void CScannerDlg::NameControls() {
    // What a screen reader says for controls whose label is not their own text.
    resultList_->setAccessibleName(QStringLiteral("扫描结果"));
    url_->setAccessibleName(QStringLiteral("URL"));
    startAddress_->setFieldName(QStringLiteral("起始IP地址"));
    endAddress_->setFieldName(QStringLiteral("结束IP地址"));
    progress_->setAccessibleName(QStringLiteral("扫描进度"));
    banner_->setAccessibleName(QString::fromUtf8(kCaption));
    entryGroup_->setAccessibleName(QStringLiteral("扫描地址"));
    toolBar_->setAccessibleName(QStringLiteral("工具栏"));
}

bool CScannerDlg::eventFilter(QObject* watched, QEvent* event) {
    // The list shows where the keyboard is by its current row; give it one, selecting nothing.
    if (watched == resultList_ && event->type() == QEvent::FocusIn &&
        resultList_->currentItem() == nullptr && resultList_->topLevelItemCount() > 0) {
        resultList_->selectionModel()->setCurrentIndex(resultList_->model()->index(0, 0),
                                                       QItemSelectionModel::NoUpdate);
    }
    // An arrow key in the radio group chooses the other mode as a click on it would, focus
    // included, rather than only moving the check.
    if ((watched == modeIp_ || watched == modeUrl_) && event->type() == QEvent::KeyPress) {
        switch (static_cast<QKeyEvent*>(event)->key()) {
            case Qt::Key_Up:
            case Qt::Key_Down:
            case Qt::Key_Left:
            case Qt::Key_Right: {
                QRadioButton* other = watched == modeIp_ ? modeUrl_ : modeIp_;
                other->setFocus(Qt::TabFocusReason);
                other->click();
                return true;
            }
            default:
                break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CScannerDlg::PlaceControls() {
    const DialogUnits units(font());
    const int width = units.x(kTemplateWidth);

    const int menuHeight = menuBar_->sizeHint().height();
    menuBar_->setGeometry(0, 0, width, menuHeight);
    const int toolHeight = toolBar_->sizeHint().height();
    toolBar_->setGeometry(0, menuHeight, width, toolHeight);
    // The toolbar's bottom border.
    auto* line = new QFrame(page_);
    line->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    line->setGeometry(0, menuHeight + toolHeight, width, 2);
    barsHeight_ = menuHeight + toolHeight + 2;

    auto place = [&](QWidget* widget, int x, int y, int w, int h) {
        widget->setGeometry(units.rect(x, y, w, h).translated(0, barsHeight_));
    };
    place(banner_, 7, 7, 81, 268);
    if (const QPixmap pixmap = banner_->pixmap(); !pixmap.isNull()) {
        banner_->resize(pixmap.deviceIndependentSize().toSize());  // shown at its own size
    }
    place(progress_, 99, 253, 298, 16);
    place(resultList_, 99, 81, 298, 166);
    place(url_, 164, 48, 214, 13);
    place(startAddress_, 165, 12, 121, 13);
    place(endAddress_, 165, 30, 121, 13);
    place(addButton_, 310, 21, 68, 15);
    place(entryGroup_, 95, 3, 307, 64);
    place(infoGroup_, 95, 70, 307, 206);
    PutTitleOnFrameLine(entryGroup_, units.x(5));
    PutTitleOnFrameLine(infoGroup_, units.x(5));
    place(modeIp_, 106, 14, 48, 13);
    place(modeUrl_, 106, 48, 43, 13);

    page_->setFixedSize(width, units.y(kTemplateHeight) + barsHeight_);
    FitToScreen(QMargins());
}

void CScannerDlg::FitToScreen(const QMargins& frame) {
    QSize size = page_->size();
    if (const QScreen* target = screen()) {
        const QSize room = target->availableGeometry().size().shrunkBy(frame);
        // A scroll bar takes room of its own beside the page.
        if (size.height() > room.height()) {
            size.rwidth() += scroll_->verticalScrollBar()->sizeHint().width();
        }
        if (size.width() > room.width()) {
            size.rheight() += scroll_->horizontalScrollBar()->sizeHint().height();
        }
        size = size.boundedTo(room);
    }
    setFixedSize(size);
}

void CScannerDlg::SizeColumns(QTreeWidget* list) {
    const int width = list->frameGeometry().width() / 3;
    for (int column = 0; column < 3; ++column) {
        list->header()->resizeSection(column, width);
    }
}

void CScannerDlg::SetInitialState() {
    startAddress_->setText(QString::fromLatin1(kStartAddress));
    endAddress_->setText(QString::fromLatin1(kStartAddress));
    filledFrom_ = startAddress_->address();
    engine_->ResetScanState();
    SetRunningState(0);
    setWindowTitle(QString::fromUtf8(kCaption));
    SizeColumns(resultList_);
    modeIp_->setChecked(true);
    url_->setEnabled(false);
    SetRunningState(0);
    addressMode_ = 0;
    urlText_ = url_->text();
    ScanSettings& settings = engine_->Settings();
    settings.workerLimit = kStartWorkerLimit;
    settings.networkCondition = kStartNetworkCondition;
}

void CScannerDlg::SetRunningState(int running) {
    engine_->SetRunningState(running);
}

int CScannerDlg::Message(const char* text, unsigned type) {
    return messages_->MessageBox(text, kCaption, type);
}

void CScannerDlg::keyPressEvent(QKeyEvent* event) {
    // Enter and Escape reach the focused control only; they never end the window.
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape:
            event->accept();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void CScannerDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!centred_) {
        centred_ = true;
        // Once the window manager has framed the window its real frame is known.
        QTimer::singleShot(0, this, &CScannerDlg::CentreOnScreen);
    }
}

void CScannerDlg::CentreOnScreen() {
    const QScreen* target = screen();
    if (target == nullptr) {
        return;
    }
    const QRect available = target->availableGeometry();
    QMargins frame = windowHandle()->frameMargins();
    // A window manager tells the frame it draws a moment after the window is mapped. Until then
    // the window is placed as if it had a title bar, so that the title bar never starts above
    // the screen, and placed again once the frame is known. Without a window manager (offscreen)
    // there is no frame to wait for.
    const bool framed = QGuiApplication::platformName() == QLatin1String("xcb");
    const bool known = !frame.isNull() || !framed;
    FitToScreen(
        known ? frame
              : QMargins(0, style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this), 0, 0));
    QPoint topLeft;
    if (known) {
        topLeft = FrameTopLeft(size(), frame, available);
    } else {
        // Without a known frame the toolkit places the client itself at the point given.
        const int titleBar = style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this);
        topLeft =
            FrameTopLeft(size(), QMargins(0, titleBar, 0, 0), available) + QPoint(0, titleBar);
    }
    move(topLeft);
    constexpr int kFrameWaits = 100;  // of 50 ms: a busy window manager is given five seconds
    if (!known && frameWaits_ < kFrameWaits) {
        ++frameWaits_;
        QTimer::singleShot(50, this, &CScannerDlg::CentreOnScreen);
    }
}

}  // namespace talvik
