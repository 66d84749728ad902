#include "ui/ScannerDlg.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCursor>
#include <QFile>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QStyleOption>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QWindow>
#include <ctime>
#include <vector>

#include "platform/AboutInfo.h"
#include "platform/AboutLibrary.h"
#include "report/ReportFile.h"
#include "scan/CommandIds.h"
#include "scan/ScanEngine.h"
#include "ui/AboutDlg.h"
#include "ui/AdvancedOptionsDlg.h"
#include "ui/DialogUnits.h"
#include "ui/GroupFrame.h"
#include "ui/HostEntry.h"
#include "ui/IpAddressEdit.h"
#include "ui/QtPorts.h"
#include "ui/ReportSave.h"
#include "ui/WindowPlacement.h"

namespace talvik {

namespace {

constexpr const char* kScanningText = "正在扫描，请稍后……";
constexpr const char* kClearQuestion = "清除上次扫描地址？";
constexpr const char* kLimitText = "每次最多能扫描255台机器!";
constexpr const char* kStartAddress = "192.168.3.129";
constexpr const char* kAboutBoxItem = "关于 Quorvane(&A)...";

// The template's size in dialog units, before the bars are added above it.
constexpr int kTemplateWidth = 408;
constexpr int kTemplateHeight = 283;

constexpr int kToolIconSize = 32;

struct ToolButton {
    int command;
    const char* text;
    const char* image;
};

// Slots of the toolbar; a command of 0 is a separator.
constexpr ToolButton kToolButtons[] = {
    {ID_SCAN_ALL, " 扫描全部", ":/toolbar/scan-all.png"},
    {ID_SCAN_SELECTED, " 扫描选中", ":/toolbar/scan-selected.png"},
    {ID_STOP_SCAN, " 停止扫描", ":/toolbar/stop.png"},
    {0, nullptr, nullptr},
    {ID_ADVANCED, " 高级", ":/toolbar/advanced.png"},
    {0, nullptr, nullptr},
    {ID_EXIT, " 退出", ":/toolbar/exit.png"},
    {0, nullptr, nullptr},
    {ID_ABOUT_SOFTWARE, " 关于软件", ":/toolbar/about.png"},
};

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

}  // namespace

CScannerDlg::CScannerDlg(ScannerServices services, QWidget* parent)
    : QDialog(parent), services_(std::move(services)) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    setWindowIcon(MainIcon());

    CreateControls();
    CreateMenuBar();
    CreateToolBar();
    CreateWindowMenu();
    PlaceControls();

    resultRows_ = std::make_unique<QtResultList>(resultList_);
    progressPort_ = std::make_unique<QtProgressBar>(progress_);
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
    engine_ = std::make_unique<ScanEngine>(std::move(ports));

    SetInitialState();
    resultList_->setFocus(Qt::OtherFocusReason);
}

CScannerDlg::~CScannerDlg() {
    // A running scan ends before any widget it writes to goes away; closures still on their way
    // are dropped with this object.
    engine_.reset();
    poster_->Detach();
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

void CScannerDlg::CreateControls() {
    // Group boxes first, so they stay beneath the controls they frame.
    entryGroup_ = new QGroupBox(this);
    infoGroup_ = new QGroupBox(QStringLiteral(" 扫描信息"), this);

    banner_ = new QLabel(this);
    banner_->setPixmap(QPixmap(QStringLiteral(":/banner.png")));
    banner_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    banner_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(banner_, &QLabel::customContextMenuRequested, this,
            [this](const QPoint& position) { ShowWindowMenu(banner_->mapToGlobal(position)); });

    progress_ = new QProgressBar(this);
    progress_->setTextVisible(false);
    progress_->setRange(0, 100);
    progress_->setValue(0);

    resultList_ = new QTreeWidget(this);
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

    url_ = new QLineEdit(this);

    startAddress_ = new IpAddressEdit(this);
    endAddress_ = new IpAddressEdit(this);
    connect(startAddress_, &IpAddressEdit::fieldChanged, this, &CScannerDlg::OnStartAddressChanged);

    addButton_ = new QPushButton(QStringLiteral("添加扫描地址 >>"), this);
    // Enter must never press it; Space does.
    addButton_->setAutoDefault(false);
    addButton_->setDefault(false);
    connect(addButton_, &QPushButton::clicked, this, &CScannerDlg::OnAddAddress);

    modeIp_ = new QRadioButton(QStringLiteral("IP地址："), this);
    modeUrl_ = new QRadioButton(QStringLiteral(" URL："), this);
    modeIp_->setFocusPolicy(Qt::ClickFocus);
    modeUrl_->setFocusPolicy(Qt::ClickFocus);
    auto* modes = new QButtonGroup(this);
    modes->addButton(modeIp_, 0);
    modes->addButton(modeUrl_, 1);
    // Tab reaches the group at its checked button, as on the original platform.
    connect(modes, &QButtonGroup::buttonToggled, this, [](QAbstractButton* button, bool checked) {
        button->setFocusPolicy(checked ? Qt::StrongFocus : Qt::ClickFocus);
    });
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

void CScannerDlg::CreateMenuBar() {
    menuBar_ = new QMenuBar(this);
    menuBar_->setNativeMenuBar(false);

    auto addItem = [this](QMenu* menu, int command, const char* text, auto handler) {
        QAction* action = menu->addAction(QString::fromUtf8(text));
        action->setData(command);
        connect(action, &QAction::triggered, this, handler);
        menuActions_[command] = action;
        return action;
    };

    QMenu* system = menuBar_->addMenu(QStringLiteral(" 系统 (&S) "));
    addItem(system, ID_SCAN_ALL, "扫描全部(&A)", &CScannerDlg::OnScanAll);
    addItem(system, ID_SCAN_SELECTED, "扫描选中主机(&S)", &CScannerDlg::OnScanSelected);
    addItem(system, ID_STOP_SCAN, "停止扫描(&T)", &CScannerDlg::OnStopScan);
    system->addSeparator();
    addItem(system, ID_SAVE_RESULTS, "保存扫描结果", &CScannerDlg::OnSaveResults);
    system->addSeparator();
    addItem(system, ID_EXIT, "退出(&X)", &CScannerDlg::OnExit);

    QMenu* settings = menuBar_->addMenu(QStringLiteral(" 设置 (&O) "));
    addItem(settings, ID_ADVANCED, "高级选项(&P)", &CScannerDlg::OnAdvanced);

    QMenu* about = menuBar_->addMenu(QStringLiteral(" 关于 (&A) "));
    QAction* description = about->addAction(QStringLiteral("关于漏洞(&H)"));
    description->setData(ID_ABOUT_DESCRIPTION);
    description->setEnabled(false);  // there is nothing behind it
    menuActions_[ID_ABOUT_DESCRIPTION] = description;
    addItem(about, ID_ABOUT_SOFTWARE, "关于软件", &CScannerDlg::OnAboutSoftware);

    for (QMenu* menu : {system, settings, about}) {
        menu->setFont(DialogFont());
    }
}

void CScannerDlg::CreateToolBar() {
    toolBar_ = new QToolBar(this);
    auto* style = new ToolBarStyle;
    style->setParent(toolBar_);
    toolBar_->setStyle(style);
    toolBar_->setMovable(false);
    toolBar_->setFloatable(false);
    toolBar_->setIconSize(QSize(kToolIconSize, kToolIconSize));
    toolBar_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toolBar_->addWidget(new ToolBarGrip(toolBar_));

    const std::map<int, void (CScannerDlg::*)()> handlers = {
        {ID_SCAN_ALL, &CScannerDlg::OnScanAll},
        {ID_SCAN_SELECTED, &CScannerDlg::OnScanSelected},
        {ID_STOP_SCAN, &CScannerDlg::OnStopScan},
        {ID_ADVANCED, &CScannerDlg::OnAdvanced},
        {ID_EXIT, &CScannerDlg::OnExit},
        {ID_ABOUT_SOFTWARE, &CScannerDlg::OnAboutSoftware},
    };
    int image = 0;
    for (const ToolButton& slot : kToolButtons) {
        if (slot.command == 0) {
            toolBar_->addSeparator();
            continue;
        }
        QAction* action =
            toolBar_->addAction(ToolIcon(slot.image, image++), QString::fromUtf8(slot.text));
        action->setData(slot.command);
        action->setToolTip(QString::fromUtf8(slot.text).trimmed());
        connect(action, &QAction::triggered, this, handlers.at(slot.command));
        toolActions_[slot.command] = action;
        toolBar_->widgetForAction(action)->setStyle(style);
    }
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

void CScannerDlg::PlaceControls() {
    const DialogUnits units(font());
    const int width = units.x(kTemplateWidth);

    const int menuHeight = menuBar_->sizeHint().height();
    menuBar_->setGeometry(0, 0, width, menuHeight);
    const int toolHeight = toolBar_->sizeHint().height();
    toolBar_->setGeometry(0, menuHeight, width, toolHeight);
    // The toolbar's bottom border.
    auto* line = new QFrame(this);
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

    setFixedSize(width, units.y(kTemplateHeight) + barsHeight_);
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

QAction* CScannerDlg::menuAction(int command) const {
    const auto it = menuActions_.find(command);
    return it == menuActions_.end() ? nullptr : it->second;
}

QAction* CScannerDlg::toolAction(int command) const {
    const auto it = toolActions_.find(command);
    return it == toolActions_.end() ? nullptr : it->second;
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
    move(FrameTopLeft(size(), windowHandle()->frameMargins(), available));
}

void CScannerDlg::OnCommand(int command) {
    switch (command) {
        case ID_SCAN_ALL:
        case ID_SCAN_ALL_POPUP:
            OnScanAll();
            break;
        case ID_SCAN_SELECTED:
        case ID_SCAN_SELECTED_POPUP:
            OnScanSelected();
            break;
        case ID_STOP_SCAN:
            OnStopScan();
            break;
        case ID_CLEAR_RESULTS:
            OnClearResults();
            break;
        case ID_DELETE_ALL:
            OnDeleteAll();
            break;
        case ID_DELETE_SELECTED:
            OnDeleteSelected();
            break;
        case ID_SAVE_RESULTS:
            OnSaveResults();
            break;
        case ID_EXIT:
            OnExit();
            break;
        case ID_ADVANCED:
            OnAdvanced();
            break;
        case ID_ABOUT_SOFTWARE:
            OnAboutSoftware();
            break;
        default:
            break;
    }
}

void CScannerDlg::OnScanAll() {
    engine_->OnScanAll();
}

void CScannerDlg::OnScanSelected() {
    engine_->OnScanSelected();
}

void CScannerDlg::OnStopScan() {
    engine_->OnStopScan();
}

void CScannerDlg::OnClearResults() {
    engine_->OnClearResults();
}

void CScannerDlg::OnExit() {
    accept();
}

std::optional<AddressRange> CScannerDlg::GetAddressRange() const {
    return MakeAddressRange(startAddress_->address(), endAddress_->address());
}

void CScannerDlg::OnAddAddress() {
    if (engine_->IsScanRunning()) {
        Message(kScanningText, kMbOk);
        return;
    }
    addressMode_ = modeIp_->isChecked() ? 0 : (modeUrl_->isChecked() ? 1 : -1);
    urlText_ = HostRowText(url_->text());

    int rows = resultRows_->GetItemCount();
    // Asked before anything else, so the list may be emptied even when nothing is added.
    if (rows > 0 && Message(kClearQuestion, kMbYesNo | kMbIconQuestion) == kIdYes) {
        resultRows_->DeleteAllItems();
        rows = 0;
    }

    if (addressMode_ != 0) {
        if (rows >= MAX_TARGETS) {
            Message(kLimitText, kMbIconInformation);
            return;
        }
        if (urlText_.isEmpty()) {
            return;
        }
        resultRows_->InsertItem(rows, urlText_);
        return;
    }

    const std::optional<AddressRange> range = GetAddressRange();
    if (!range) {
        return;
    }
    for (int last = range->first; last <= range->last; ++last) {
        if (resultRows_->GetItemCount() >= MAX_TARGETS) {
            Message(kLimitText, kMbIconInformation);
            return;
        }
        const std::string text = FormatAddress(range->octet0, range->octet1, range->octet2,
                                               static_cast<std::uint8_t>(last));
        // At the octet's own index: kept rows with a higher index move down behind it.
        resultRows_->InsertItem(last, QString::fromStdString(text));
    }
}

void CScannerDlg::OnModeIp() {
    url_->setEnabled(false);
    startAddress_->setEnabled(true);
    endAddress_->setEnabled(true);
}

void CScannerDlg::OnModeUrl() {
    url_->setEnabled(true);
    url_->setFocus(Qt::OtherFocusReason);
    startAddress_->setEnabled(false);
    endAddress_->setEnabled(false);
}

void CScannerDlg::OnStartAddressChanged() {
    const Octets start = startAddress_->address();
    endAddress_->setAddress({start[0], start[1], start[2], 254});
}

std::unique_ptr<QMenu> CScannerDlg::CreateListMenu() {
    auto menu = std::make_unique<QMenu>(QStringLiteral("pop"), this);
    menu->setFont(DialogFont());
    auto add = [&menu](int command, const char* text) {
        menu->addAction(QString::fromUtf8(text))->setData(command);
    };
    add(ID_DELETE_ALL, "删除所有IP地址");
    add(ID_DELETE_SELECTED, "删除选中的IP地址");
    menu->addSeparator();
    add(ID_SCAN_SELECTED_POPUP, "扫描选中的IP地址");
    add(ID_SCAN_ALL_POPUP, "扫描所有IP地址");
    menu->addSeparator();
    add(ID_CLEAR_RESULTS, "清空扫描结果");
    return menu;
}

void CScannerDlg::OnResultListRClick() {
    const QPoint position = QCursor::pos();
    const std::unique_ptr<QMenu> menu = CreateListMenu();
    // While a scan runs the workers write into the rows, so none of them may be touched.
    const bool enabled = !engine_->IsScanRunning() && resultRows_->GetItemCount() > 0;
    for (QAction* action : menu->actions()) {
        if (!action->isSeparator()) {
            action->setEnabled(enabled);
        }
    }
    const QAction* chosen = menu->exec(position);
    if (chosen != nullptr) {
        OnCommand(chosen->data().toInt());
    }
}

void CScannerDlg::OnDeleteAll() {
    resultRows_->DeleteAllItems();
}

void CScannerDlg::OnDeleteSelected() {
    std::vector<int> selected;
    const int count = resultRows_->GetItemCount();
    selected.reserve(count);
    for (int row = resultRows_->GetNextItem(-1, ItemFilter::Selected);
         row != -1 && static_cast<int>(selected.size()) < count;
         row = resultRows_->GetNextItem(row, ItemFilter::Selected)) {
        selected.push_back(row);
    }
    // Each deletion moves the later rows up by one.
    for (int j = 0; j < static_cast<int>(selected.size()); ++j) {
        resultRows_->DeleteItem(selected[j] - j);
    }
}

void CScannerDlg::ShowWindowMenu(const QPoint& globalPosition) {
    windowMenu_->popup(globalPosition);
}

void CScannerDlg::OnSysCommand(unsigned code) {
    switch (code & 0xFFF0u) {
        case IDM_ABOUTBOX:
            ShowBuiltInAbout(this);
            break;
        case kScMinimize:
            showMinimized();
            break;
        case kScClose:
            close();
            break;
        default:
            break;
    }
}

// ---- Handlers the options, about and report layers fill in ----

void CScannerDlg::OnAdvanced() {
    // Also while a scan runs: the next scan start reads the new worker limit.
    EditAdvancedOptions(engine_->Settings(), this);
}

void CScannerDlg::OnAboutSoftware() {
    if (services_.aboutLibrary == nullptr) {
        ShowBuiltInAbout(this);
        return;
    }
    ShowAboutSoftware(*services_.aboutLibrary, kAboutMainIcon, this);
}

void CScannerDlg::OnSaveResults() {
    QtSaveFileDialog toolkitDialog;
    ISaveFileDialog& dialog =
        services_.saveFileDialog != nullptr ? *services_.saveFileDialog : toolkitDialog;
    const std::optional<QString> chosen = dialog.GetSaveFileName(this);
    if (!chosen) {
        return;
    }
    WriteHtmlReport(ReportPathFor(*chosen));
}

void CScannerDlg::WriteHtmlReport(const std::string& path) {
    SaveHtmlReport(path, ReportRowsOf(*resultRows_), LocalReportTime(std::time(nullptr)),
                   Messages());
}

}  // namespace talvik
