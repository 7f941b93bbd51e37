#include "app/Form1.h"

#include "app/DesktopNotifications.h"
#include "app/DesktopPlatform.h"
#include "app/FilePages.h"
#include "app/JobListModel.h"
#include "app/OverviewModel.h"
#include "app/PasswordDialog.h"
#include "app/StatusNotifierItem.h"
#include "app/TextCodec.h"
#include "config/SetupHint.h"
#include "monitor/Monitor.h"
#include "platform/Process.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QHeaderView>
#include <QImageReader>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QHelpEvent>
#include <QTableView>
#include <QToolTip>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cstdio>
#include <utility>

// The pictures live in a static library; this pulls them in.
static void InitQuenloResources() { Q_INIT_RESOURCE(quenlo); }

namespace quenlo::app {

namespace {

const QColor kTextColour(form::kTextRgb[0], form::kTextRgb[1], form::kTextRgb[2]);
constexpr int kBalloonMs = 10000;
// How long the window sits in the tray before it gives back its file pages (app/FilePages.h).
constexpr std::chrono::milliseconds kGiveBackDelay{1000};
// How often a window waiting on the task bar looks for a notification area that came later.
constexpr std::chrono::milliseconds kTrayLookInterval{1000};

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

QRect ToQRect(const form::Rect& r) { return {r.x, r.y, r.width, r.height}; }
QRect DesignRect(const form::Control& control) { return ToQRect(control.rect); }

// One of the program's own PNG pictures. Told the format and not to guess, the reader takes the
// built-in decoder at once instead of loading every image-format plugin of the machine (and their
// libraries) to ask each about the bytes.
QPixmap BuiltInImage(const char* name)
{
    QImageReader reader(QStringLiteral(":/quenlo/images/") + QLatin1StringView(name), "png");
    reader.setAutoDetectImageFormat(false);
    return QPixmap::fromImage(reader.read());
}

// Underlines every cell of the row under the mouse (the list's hot tracking), and shows the full
// text of a cell that its column cuts off as the cell's hint.
class HotTrackDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    int hotRow = -1;

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override {
        if (event->type() != QEvent::ToolTip || !index.isValid())
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        // A cell with a hint of its own (the overview's supplies) shows it whole.
        if (const QString hint = index.data(Qt::ToolTipRole).toString(); !hint.isEmpty()) {
            QToolTip::showText(event->globalPos(), hint, view->viewport(), option.rect);
            return true;
        }
        QStyleOptionViewItem cell = option;
        initStyleOption(&cell, index);
        const QStyle* style = view->style();
        const int room = style->subElementRect(QStyle::SE_ItemViewItemText, &cell, view).width() -
                         2 * (style->pixelMetric(QStyle::PM_FocusFrameHMargin, &cell, view) + 1);
        if (cell.fontMetrics.horizontalAdvance(cell.text) > room)
            QToolTip::showText(event->globalPos(), cell.text, view->viewport(), option.rect);
        else
            QToolTip::hideText();
        return true;
    }

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        if (index.row() == hotRow)
            option->font.setUnderline(true);
    }
};

// Forgets the hot row when the mouse leaves the list.
class HotTrackLeaveFilter : public QObject {
public:
    HotTrackLeaveFilter(HotTrackDelegate* delegate, QWidget* viewport)
        : QObject(viewport), delegate_(delegate), viewport_(viewport) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Leave && delegate_->hotRow >= 0) {
            delegate_->hotRow = -1;
            viewport_->update();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    HotTrackDelegate* delegate_;
    QWidget* viewport_;
};

QPalette PanelPalette(const QPalette& base) {
    QPalette p = base;
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::Window, Qt::black);
        p.setColor(group, QPalette::Base, Qt::black);
        p.setColor(group, QPalette::AlternateBase, Qt::black);
        p.setColor(group, QPalette::Button, Qt::black);
    }
    return p;
}

QPalette ControlPalette(const QPalette& base) {
    QPalette p = PanelPalette(base);
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        p.setColor(group, QPalette::WindowText, kTextColour);
        p.setColor(group, QPalette::Text, kTextColour);
        p.setColor(group, QPalette::ButtonText, kTextColour);
    }
    // Disabled text stays readable on black, only dimmer.
    const QColor dim = kTextColour.darker(160);
    p.setColor(QPalette::Disabled, QPalette::WindowText, dim);
    p.setColor(QPalette::Disabled, QPalette::Text, dim);
    p.setColor(QPalette::Disabled, QPalette::ButtonText, dim);
    return p;
}

QFont PanelFont() {
    QFont font(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(form::kFontPoints);
    return font;
}

QRect VirtualDesktop() {
    QRect desktop;
    for (const QScreen* screen : QGuiApplication::screens())
        desktop = desktop.united(screen->geometry());
    return desktop;
}

}  // namespace

QPoint BottomRightPlacement(const QRect& desktop, const QSize& frame) {
    const form::Point at = form::BottomRightPlacement({desktop.x(), desktop.y(), desktop.width(), desktop.height()},
                                                      std::max(kDesignWidth, frame.width()),
                                                      std::max(kDesignHeight, frame.height()));
    return {at.x, at.y};
}

QIcon IconWithLamp(const QIcon& appIcon, const QPixmap& lamp) {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48}) {
        QPixmap pixmap = appIcon.pixmap(size, size);
        if (pixmap.isNull())
            continue;
        // A lamp of half the icon's size, so it still reads on the smallest tray.
        const int side = pixmap.width() / 2;
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawPixmap(QRect(pixmap.width() - side, pixmap.height() - side, side, side), lamp);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

TForm1::TForm1() : TForm1(Options{}) {}

TForm1::TForm1(Options options) : options_(std::move(options)) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(Text(form::kTitle));
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    // An always-on-top corner panel is seldom the active window when the pointer rests on it; its
    // hints show all the same.
    setAttribute(Qt::WA_AlwaysShowToolTips, true);
    setAutoFillBackground(true);
    setPalette(PanelPalette(palette()));
    setFont(PanelFont());
    resize(kClientWidth, kClientHeight);
    setMinimumSize(kClientWidth, kClientHeight);

    InitQuenloResources();
    appIcon_.addPixmap(BuiltInImage("quenlo32.png"));
    appIcon_.addPixmap(BuiltInImage("quenlo48.png"));
    setWindowIcon(appIcon_);
    imageList_ = {BuiltInImage("lamp_green.png"), BuiltInImage("lamp_yellow.png"), BuiltInImage("lamp_red.png")};

    CreateComponents();
    CreateMenus();
    LayOut();
    exeDir_ = options_.exeDir.empty() ? platform::ExecutableDir() : options_.exeDir;
    program_ = std::make_unique<TProgram>(*this, exeDir_);
    program_->OnTrayChanged = [this](TProgram&) {
        if (trayIcon_->isVisible() || (ownItem_ && ownItem_->Shown()))
            ShowTrayState();
    };
    ConnectNotices();
    program_->OnLampHintChanged = [this](TProgram& program) {
        imagePrinterStatus_->setToolTip(DecodeForDisplay(program.LampHint()));
    };
    program_->ViewShown = [this] { return isVisible() && !isMinimized(); };
}

TForm1::~TForm1() {
    FormDestroy();
    // The program refers to the window as its view; it goes first.
    program_.reset();
}

void TForm1::CreateComponents() {
    const QPalette controls = ControlPalette(palette());
    auto makeLabel = [&](const form::Control& design) {
        auto* label = new QLabel(this);
        label->setObjectName(QString::fromLatin1(design.name));
        label->setPalette(controls);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        // The texts come from servers and files: "<b>" in a state message is text, not markup.
        label->setTextFormat(Qt::PlainText);
        label->move(DesignRect(design).topLeft());
        SetLabelText(label, design.text);
        return label;
    };
    auto makeImage = [&](const form::Control& design) {
        auto* image = new QLabel(this);
        image->setObjectName(QString::fromLatin1(design.name));
        image->setGeometry(DesignRect(design));
        return image;
    };

    labelStatus_ = makeLabel(form::kLabelStatus);
    labelStatus_->setAutoFillBackground(true);  // its own black background
    imageStatus_ = makeImage(form::kImageStatus);
    labelComment_ = makeLabel(form::kLabelComment);

    refreshButton_ = new QToolButton(this);
    refreshButton_->setObjectName(QString::fromLatin1(form::kRefreshButton.name));
    refreshButton_->setAutoRaise(true);
    refreshButton_->setFocusPolicy(Qt::NoFocus);
    refreshButton_->setIcon(QIcon(BuiltInImage("refresh.png")));
    refreshButton_->setIconSize(QSize(form::kLampSize, form::kLampSize));
    refreshButton_->setGeometry(DesignRect(form::kRefreshButton));
    refreshButton_->setToolTip(Text(form::kRefreshHint));
    connect(refreshButton_, &QToolButton::clicked, this, [this] { Run(form::Command::Refresh); });

    labelPrinterStatus_ = makeLabel(form::kLabelPrinterStatus);
    imagePrinterStatus_ = makeImage(form::kImagePrinterStatus);

    comboBoxPrinterlist_ = new QComboBox(this);
    comboBoxPrinterlist_->setObjectName(QString::fromLatin1(form::kComboBoxPrinterlist.name));
    comboBoxPrinterlist_->setEditable(false);
    comboBoxPrinterlist_->setFrame(false);
    comboBoxPrinterlist_->setMaxVisibleItems(form::kSelectorVisibleItems);
    comboBoxPrinterlist_->setPalette(controls);
    comboBoxPrinterlist_->setGeometry(DesignRect(form::kComboBoxPrinterlist));
    // The drop-down list is a window of its own and does not inherit the selector's colours.
    comboBoxPrinterlist_->view()->setPalette(controls);
    comboBoxPrinterlist_->view()->window()->setPalette(controls);
    // Only a choice by the user refreshes; items added or selected by the program do not.
    connect(comboBoxPrinterlist_, &QComboBox::activated, this, [this](int) { Run(form::Command::Refresh); });

    listView_ = new QTableView(this);
    listView_->setObjectName(QString::fromLatin1(form::kListView.name));
    jobList_ = new JobListModel(listView_);
    listView_->setModel(jobList_);
    overview_ = new OverviewModel(imageList_, listView_);
    listView_->setPalette(controls);
    listView_->setFrameShape(QFrame::NoFrame);
    listView_->setShowGrid(true);
    listView_->setGridStyle(Qt::SolidLine);
    // Grid lines in a grey that stays visible on the black list. The column captions are part of
    // the black list too: with a style sheet on the list its header no longer follows the palette,
    // so its colours are given here as well.
    listView_->setStyleSheet(QStringLiteral(
        "QTableView { gridline-color: rgb(96, 96, 96); }"
        "QHeaderView { background-color: black; }"
        "QHeaderView::section { background-color: black; color: rgb(204, 204, 255);"
        " border: none; border-right: 1px solid rgb(96, 96, 96);"
        " border-bottom: 1px solid rgb(96, 96, 96); padding: 1px 2px; }"));
    listView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    listView_->setSelectionMode(QAbstractItemView::SingleSelection);
    listView_->setSelectionBehavior(QAbstractItemView::SelectRows);
    listView_->setWordWrap(false);
    listView_->setTextElideMode(Qt::ElideRight);
    listView_->verticalHeader()->hide();
    listView_->horizontalHeader()->setDefaultSectionSize(form::kDefaultColumnWidth);
    listView_->horizontalHeader()->setSectionsClickable(false);
    listView_->horizontalHeader()->setHighlightSections(false);
    listView_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    listView_->horizontalHeader()->setStretchLastSection(false);
    const int rowHeight = QFontMetrics(font()).height() + 4;
    listView_->verticalHeader()->setDefaultSectionSize(rowHeight);
    listView_->verticalHeader()->setMinimumSectionSize(rowHeight);
    // Every row has the same height, so a long queue needs no measuring.
    listView_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    // Columns are widened (or narrowed) by dragging the edges of their captions.
    listView_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    listView_->horizontalHeader()->setMinimumSectionSize(8);
    listView_->setGeometry(DesignRect(form::kListView));
    auto* hot = new HotTrackDelegate(listView_);
    listView_->setItemDelegate(hot);
    listView_->setMouseTracking(true);
    listView_->viewport()->installEventFilter(new HotTrackLeaveFilter(hot, listView_->viewport()));
    connect(listView_, &QTableView::entered, this, [this, hot](const QModelIndex& index) {
        if (hot->hotRow != index.row()) {
            hot->hotRow = index.row();
            listView_->viewport()->update();
        }
    });

    setTabOrder(comboBoxPrinterlist_, listView_);

    timerMinimize_ = new QTimer(this);
    timerMinimize_->setObjectName(QStringLiteral("TimerMinimize"));
    timerMinimize_->setInterval(static_cast<int>(form::kMinimizeAfterMs));
    connect(timerMinimize_, &QTimer::timeout, this, [this] { TimerMinimizeTimer(); });
    trayWait_ = new QTimer(this);
    trayWait_->setInterval(kTrayLookInterval);
    connect(trayWait_, &QTimer::timeout, this, [this] { LookForTray(); });

    trayIcon_ = new QSystemTrayIcon(this);
    trayIcon_->setObjectName(QStringLiteral("TrayIcon"));
    connect(trayIcon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { TrayIconMessage(reason); });
    // A notification area on the session bus that appears after the toolkit looked for one gets
    // the program's own item; the one the desktop has from the start gets the toolkit's icon.
    if (!options_.trayAvailable) {
        ownItem_ = new StatusNotifierItem(this);
        ownItem_->OnActivate = [this] { TrayIconMessage(QSystemTrayIcon::Trigger); };
        ownItem_->OnAreaAppeared = [this] { LookForTray(); };
    }
}

void TForm1::CreateMenus() {
    auto makeMenu = [this](const char* name, const auto& items, std::array<QAction*, 3>& actions) {
        auto* menu = new QMenu(this);
        menu->setObjectName(QString::fromLatin1(name));
        for (std::size_t i = 0; i < items.size(); ++i) {
            const form::MenuItem item = items[i];
            actions[i] = menu->addAction(Text(item.caption));
            actions[i]->setObjectName(QString::fromLatin1(item.name));
            connect(actions[i], &QAction::triggered, this, [this, item] { PrinterMenuClick(item.command); });
        }
        return menu;
    };
    popupMenu_ = makeMenu("PopupMenu", form::kJobMenu, jobItems_);
    popupMenuPrinter_ = makeMenu("PopupMenuPrinter", form::kPrinterMenu, printerItems_);

    listView_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(listView_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) { ListViewMenu(pos); });
    connect(listView_, &QAbstractItemView::activated, this, [this](const QModelIndex& index) { ListViewActivated(index); });
    connect(listView_->horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int section) {
        if (listView_->model() == overview_)
            overview_->HeaderClicked(section);
    });
    for (QWidget* control : {static_cast<QWidget*>(labelStatus_), static_cast<QWidget*>(imageStatus_),
                             static_cast<QWidget*>(labelComment_), static_cast<QWidget*>(labelPrinterStatus_),
                             static_cast<QWidget*>(imagePrinterStatus_),
                             static_cast<QWidget*>(comboBoxPrinterlist_)})
        AttachPrinterMenu(control);
}

void TForm1::AttachPrinterMenu(QWidget* control) {
    control->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(control, &QWidget::customContextMenuRequested, this, [this, control](const QPoint& pos) {
        menuRow_.reset();
        FillMoveMenus();
        popupMenuPrinter_->popup(control->mapToGlobal(pos));
    });
}

void TForm1::ListViewMenu(const QPoint& pos) {
    const QPoint at = listView_->viewport()->mapToGlobal(pos);
    if (listView_->model() != overview_) {
        FillMoveMenus();
        popupMenu_->popup(at);
        return;
    }
    // On the overview the row under the pointer is the printer the printer menu acts on.
    menuRow_ = overview_->PrinterIndex(listView_->indexAt(pos).row());
    if (menuRow_)
        popupMenuPrinter_->popup(at);
}

void TForm1::AddAdminItems() {
    listView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    for (const auto& [menu, items] : {std::pair<QMenu*, const std::array<form::MenuItem, 4>&>{popupMenu_, form::kAdminJobMenu},
                                      {popupMenuPrinter_, form::kAdminPrinterMenu}}) {
        for (const form::MenuItem& item : items) {
            QAction* action = nullptr;
            if (form::OpensQueues(item.command)) {
                QMenu* queues = menu->addMenu(Text(item.caption));
                queues->setObjectName(QString::fromLatin1(item.name));
                queues->setProperty("command", static_cast<int>(item.command));
                moveMenus_.push_back(queues);
                action = queues->menuAction();
            } else {
                action = menu->addAction(Text(item.caption));
                const form::Command command = item.command;
                connect(action, &QAction::triggered, this, [this, command] { PrinterMenuClick(command); });
            }
            action->setObjectName(QString::fromLatin1(item.name));
            adminItems_.push_back(action);
            if (item.command == form::Command::FinishedJobs) {
                finishedItem_ = action;
                action->setCheckable(true);
            }
        }
    }
    EnableJobItems(!program_->OnOverview());
}

void TForm1::FillMoveMenus() {
    if (moveMenus_.empty())
        return;
    const std::optional<std::vector<std::string>> targets = program_->MoveTargets();
    for (QMenu* menu : moveMenus_) {
        menu->clear();
        const bool all = menu->property("command").toInt() == static_cast<int>(form::Command::MoveAllJobs);
        for (const std::string& name : targets.value_or(std::vector<std::string>{}))
            connect(menu->addAction(IsolatedForDisplay(name)), &QAction::triggered, this,
                    [this, name, all] { program_->RunMove(name, all); });
        menu->menuAction()->setEnabled(!menu->isEmpty());
    }
}

void TForm1::EnableJobItems(bool enabled) {
    for (QAction* item : jobItems_)
        item->setEnabled(enabled);
    // The overview's rows have the printer menu of old only.
    for (QAction* item : adminItems_)
        item->setVisible(enabled);
}

void TForm1::PrinterMenuClick(form::Command command) {
    // The job menu's items come here too: they never have a row.
    const std::optional<std::size_t> row = std::exchange(menuRow_, std::nullopt);
    if (row && program_->OnOverview() && command != form::Command::CancelJob && command != form::Command::HoldJob &&
        command != form::Command::ReleaseJob)
        program_->RunOnRow(command, *row);
    else
        Run(command);
}

void TForm1::ListViewActivated(const QModelIndex& index) {
    if (listView_->model() != overview_)
        return;
    if (const std::optional<std::size_t> row = overview_->PrinterIndex(index.row()))
        program_->OpenRow(*row);
}

void TForm1::LayOut() {
    // Anchors: the selector and the list keep their right margin, the list its bottom margin and
    // the refresh button its distance from the right edge; everything else stays put.
    for (auto [control, design] : {std::pair<QWidget*, const form::Control&>{comboBoxPrinterlist_, form::kComboBoxPrinterlist},
                                   {refreshButton_, form::kRefreshButton},
                                   {listView_, form::kListView}})
        control->setGeometry(ToQRect(form::Anchored(design, width(), height())));
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    LayOut();
    KeepFrameOnTheDesktop();
}

void TForm1::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    KeepFrameOnTheDesktop();
}

void TForm1::KeepFrameOnTheDesktop() {
    // The frame's size is known only once the window manager has framed the shown window; the
    // window is fitted then, once, and afterwards stays wherever the user puts it.
    if (!fittingFrame_ || !isVisible() || frameGeometry().size() == size())
        return;
    fittingFrame_ = false;
    const QPoint place = BottomRightPlacement(VirtualDesktop(), frameGeometry().size());
    if (place != BottomRightPlacement(VirtualDesktop()))
        move(place);
}

// ---------------------------------------------------------------------------------------------
// Start-up and shutdown

void TForm1::RequestTermination() { terminationRequested_ = true; }

void TForm1::ExplainSetup() {
    if (!options_.explainSetup)
        return;
    setupHint_ = program_->SetupHint();
    // Started from a terminal, the reason is there too.
    std::string plain = setupHint_;
    std::replace(plain.begin(), plain.end(), '\r', '\n');
    std::fprintf(stderr, "quenlo: %s\n", plain.c_str());
    // Not a nested loop of its own: the program's loop runs for it, so a signal ends it as it ends
    // the window.
    setupBox_ = std::make_unique<QMessageBox>(QMessageBox::Information, QStringLiteral("Quenlo"),
                                              MessageTextForDisplay(setupHint_), QMessageBox::Ok);
    setupBox_->setTextFormat(Qt::PlainText);
    connect(setupBox_.get(), &QMessageBox::finished, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    setupBox_->show();
}

bool TForm1::TrayAvailable() const {
    // Asked each time: a desktop panel started after us brings its notification area later.
    return options_.trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable() || UsesOwnItem());
}

bool TForm1::UsesOwnItem() const {
    return ownItem_ && !QSystemTrayIcon::isSystemTrayAvailable() && StatusNotifierItem::AreaPresent();
}

void TForm1::FormCreate() {
    if (created_)
        return;
    created_ = true;

    if (PlacesItself()) {
        move(BottomRightPlacement(VirtualDesktop()));
        fittingFrame_ = true;
    } else {
        // The compositor places the window; of fixed size, a tiling one floats it at its size
        // instead of stretching it over a tile.
        setFixedSize(kClientWidth, kClientHeight);
    }
    if (!program_->Start()) {
        RequestTermination();
        ExplainSetup();
        return;
    }
    if (program_->Administers())
        AddAdminItems();
    timerMinimize_->start();
}

void TForm1::FormDestroy() {
    if (destroyed_)
        return;
    destroyed_ = true;
    program_->EndGateways();
    trayIcon_->hide();
    if (ownItem_)
        ownItem_->Hide();
    program_->EndWatch();
}

void TForm1::EndGateways() { program_->EndGateways(); }

void TForm1::closeEvent(QCloseEvent* event) {
    // Closing the window (not minimising it) ends the program.
    event->accept();
    QCoreApplication::quit();
}

// ---------------------------------------------------------------------------------------------
// Handlers

void TForm1::Run(form::Command command) { program_->Run(command); }

void TForm1::TimerMinimizeTimer() {
    timerMinimize_->stop();
    ApplicationMinimize();
}

void TForm1::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Queued: whoever minimised the window may still be changing it (showMinimized shows it right
    // after setting the state), and hiding in the middle of that would be undone.
    if (event->type() == QEvent::WindowStateChange && created_ && !minimizing_ && isMinimized())
        QMetaObject::invokeMethod(
            this, [this] {
                if (isMinimized() && isVisible())
                    ApplicationMinimize();
            },
            Qt::QueuedConnection);
}

void TForm1::ApplicationMinimize() {
    // Without a notification area nothing could bring a hidden window back: it is minimised to the
    // task bar instead (a second minimise has no effect).
    if (!TrayAvailable()) {
        if (!isMinimized()) {
            minimizing_ = true;
            showMinimized();
            minimizing_ = false;
        }
        waitingForTray_ = true;
        if (!PlacesItself())
            qApp->installEventFilter(this);
        trayWait_->start();
        return;
    }
    StopWaitingForTray();
    // With a notification area the window is only hidden, never minimised by us first: a window
    // we minimise carries "iconic" as its initial state, so showing it again would map it
    // minimised and send it straight back here.
    ShowTrayState();
    if (UsesOwnItem())
        ownItem_->Show(trayIcon_->icon(), trayIcon_->toolTip());
    else
        trayIcon_->show();
    hide();
    // Settled in the tray, it gives back the file pages it touched to start and draw itself.
    QTimer::singleShot(kGiveBackDelay, this, [this] {
        if (!isVisible())
            GiveBackFilePages();
    });
}

void TForm1::StopWaitingForTray() {
    waitingForTray_ = false;
    qApp->removeEventFilter(this);
    trayWait_->stop();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    // A click or a key in the window waiting in view means it is in use: it stays there.
    if ((event->type() == QEvent::MouseButtonPress || event->type() == QEvent::KeyPress) && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this)
        StopWaitingForTray();
    return QWidget::eventFilter(watched, event);
}

void TForm1::LookForTray() {
    // Taken back from the task bar, the window is in use: it stays where the user put it, and
    // goes to the tray at its next minimise.
    // A Wayland compositor may ignore the minimise (sway does) and does not say whether it did;
    // the window waits in view there.
    const bool waiting = PlacesItself() ? isMinimized() : waitingForTray_;
    if (!isVisible() || !waiting) {
        trayWait_->stop();
        return;
    }
    if (TrayAvailable())
        ApplicationMinimize();
}

void TForm1::ShowTrayState() {
    if (!program_->Watching()) {
        trayIcon_->setIcon(appIcon_);
        trayIcon_->setToolTip(Text(form::kTitle));
    } else {
        const TrayState& tray = program_->Tray();
        trayIcon_->setIcon(IconWithLamp(appIcon_, ImageListPicture(tray.lamp)));
        trayIcon_->setToolTip(DecodeForDisplay(tray.tip));
    }
    if (ownItem_ && ownItem_->Shown()) {
        ownItem_->SetIcon(trayIcon_->icon());
        ownItem_->SetToolTip(trayIcon_->toolTip());
    }
}

void TForm1::ShowNotice(const TrayNotice& notice) {
    const QSystemTrayIcon::MessageIcon icon = notice.icon == TrayNotice::Icon::Error     ? QSystemTrayIcon::Critical
                                              : notice.icon == TrayNotice::Icon::Warning ? QSystemTrayIcon::Warning
                                                                                         : QSystemTrayIcon::Information;
    trayIcon_->showMessage(DecodeForDisplay(notice.title), DecodeForDisplay(notice.text), icon, kBalloonMs);
}

void TForm1::ConnectNotices() {
    notifications_ = new DesktopNotifications(this);
    notifications_->OnFailed = [this](const TrayNotice& notice) { ShowNotice(notice); };
    // Actions arrive inside the bus's dispatch; the printer's refresh waits in a loop of its own.
    notifications_->OnOpen = [this](std::size_t printer, const QString& token) {
        QTimer::singleShot(0, this, [this, printer, token] { OpenNoticed(printer, token); });
    };
    notifications_->OnResume = [this](std::size_t printer) {
        QTimer::singleShot(0, this, [this, printer] { program_->ResumeNoticed(printer); });
    };
    program_->OnNotice = [this](TProgram&, const TrayNotice& notice) {
        if (!notifications_->Show(notice))
            ShowNotice(notice);
    };
    program_->OnGreenAgain = [this](TProgram&, std::size_t printer) { notifications_->Close(printer); };
}

void TForm1::OpenNoticed(std::size_t printer, const QString& token) {
    // Under Wayland the window may take the focus only with the token; the platform reads it from
    // the environment at its next activation request, and uses it once.
    if (!token.isEmpty() && QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
    TrayIconMessage(QSystemTrayIcon::Trigger);
    program_->OpenNoticed(printer);
}

void TForm1::TrayIconMessage(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Trigger)
        return;
    // Restored before it is shown: a window the window manager minimised (its title-bar button)
    // must come back in its normal state, not be mapped minimised again.
    setWindowState(windowState() & ~Qt::WindowMinimized);
    setVisible(true);
    trayIcon_->hide();
    if (ownItem_)
        ownItem_->Hide();
    raise();
    activateWindow();
}

// ---------------------------------------------------------------------------------------------
// MonitorView

void TForm1::SetLabelText(QLabel* label, const std::string& text) {
    label->setText(IsolatedForDisplay(text));
    // Auto width, fixed height.
    label->resize(label->sizeHint().width(), form::kLabelHeight);
}

void TForm1::SetLabelStatus(const std::string& text) { SetLabelText(labelStatus_, text); }
void TForm1::SetLabelPrinterStatus(const std::string& text) { SetLabelText(labelPrinterStatus_, text); }
void TForm1::SetLabelComment(const std::string& text) { SetLabelText(labelComment_, text); }

void TForm1::SetLamp(QLabel* image, std::optional<Lamp>& shown, Lamp lamp) {
    shown = lamp;
    image->setPixmap(ImageListPicture(lamp));
    // At once: the refresh changes lamps while its requests are still waiting.
    image->repaint();
}

void TForm1::SetImageStatus(Lamp lamp) { SetLamp(imageStatus_, statusLamp_, lamp); }
void TForm1::SetImagePrinterStatus(Lamp lamp) { SetLamp(imagePrinterStatus_, printerStatusLamp_, lamp); }

void TForm1::AddPrinterItem(const std::string& name) {
    // The item keeps its bytes, so the logic reads back exactly the name it added.
    const QSignalBlocker quiet(comboBoxPrinterlist_);
    const int selected = comboBoxPrinterlist_->currentIndex();
    comboBoxPrinterlist_->addItem(IsolatedForDisplay(name),
                                  QByteArray(name.data(), static_cast<qsizetype>(name.size())));
    // Adding never selects: the first item added to an empty selector would otherwise be chosen.
    comboBoxPrinterlist_->setCurrentIndex(selected);
}

void TForm1::SelectPrinterItem(int index) {
    const QSignalBlocker quiet(comboBoxPrinterlist_);
    comboBoxPrinterlist_->setCurrentIndex(index >= 0 && index < comboBoxPrinterlist_->count() ? index : -1);
}

std::string TForm1::PrinterText() const {
    const int index = comboBoxPrinterlist_->currentIndex();
    if (index < 0)
        return {};
    return comboBoxPrinterlist_->itemData(index).toByteArray().toStdString();
}

void TForm1::SetPrinterSelectorEnabled(bool enabled) { comboBoxPrinterlist_->setEnabled(enabled); }
void TForm1::SetRefreshButtonEnabled(bool enabled) { refreshButton_->setEnabled(enabled); }

void TForm1::AddJobColumn(const std::string& caption, int width) {
    const int column = jobList_->columnCount();
    jobList_->AddColumn(DecodeForDisplay(caption));
    listView_->setColumnWidth(column, width > 0 ? width : form::kDefaultColumnWidth);
}

void TForm1::ClearJobs() { jobList_->Clear(); }

void TForm1::AddJobRow(JobRow&& row) { jobList_->Append(std::move(row)); }

int TForm1::SelectedJobCount() const {
    if (listView_->model() != jobList_)
        return 0;
    return static_cast<int>(listView_->selectionModel()->selectedRows().size());
}

std::string TForm1::SelectedJobCaption() const {
    const QModelIndexList rows = listView_->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return {};
    return jobList_->Row(rows.first().row())[0];
}

std::vector<std::string> TForm1::SelectedJobCaptions() const {
    if (listView_->model() != jobList_)
        return {};
    QModelIndexList rows = listView_->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    std::vector<std::string> captions;
    for (const QModelIndex& row : rows)
        captions.push_back(jobList_->Row(row.row())[0]);
    return captions;
}

void TForm1::SetFinishedColumns(bool shown) {
    jobList_->Clear();
    const int eight = static_cast<int>(kJobColumns.size());
    jobList_->RemoveColumnsFrom(eight);
    if (shown)
        for (const FinishedColumn& column : kFinishedJobExtraColumns)
            AddJobColumn(column.caption, column.width);
    if (finishedItem_)
        finishedItem_->setChecked(shown);
}

void TForm1::AddFinishedJobRow(FinishedJobRow&& row) { jobList_->Append(std::move(row)); }

std::optional<std::string> TForm1::AskText(const std::string& prompt) {
    QInputDialog box;
    box.setObjectName(QStringLiteral("QuenloInputBox"));
    box.setWindowTitle(Text(form::kTitle));
    box.setLabelText(MessageTextForDisplay(prompt));
    // Above the always-on-top window, like the message boxes.
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    if (box.exec() != QDialog::Accepted)
        return std::nullopt;
    const QByteArray answer = box.textValue().toUtf8();
    return std::string(answer.constData(), static_cast<std::size_t>(answer.size()));
}

std::optional<PasswordAnswer> TForm1::AskPassword(const PasswordQuestion& question) {
    return AskPasswordDialog(question, this);
}

int TForm1::PrinterItemIndex() const { return comboBoxPrinterlist_->currentIndex(); }

void TForm1::ShowOverview(const std::vector<OverviewRow>& rows) {
    if (listView_->model() != overview_) {
        jobColumnWidths_.clear();
        for (int c = 0; c < jobList_->columnCount(); ++c)
            jobColumnWidths_.push_back(listView_->columnWidth(c));
        // The view makes a selection model for the new model; the old one is ours to drop.
        QItemSelectionModel* old = listView_->selectionModel();
        listView_->setModel(overview_);
        delete old;
        for (std::size_t c = 0; c < kOverviewColumns.size(); ++c)
            listView_->setColumnWidth(static_cast<int>(c), kOverviewColumns[c].width);
        listView_->horizontalHeader()->setSectionsClickable(true);
        EnableJobItems(false);
    }
    overview_->Show(rows);
}

void TForm1::UpdateOverviewRow(std::size_t index, const OverviewRow& row) { overview_->Update(index, row); }

void TForm1::ShowJobList() {
    if (listView_->model() == jobList_)
        return;
    QItemSelectionModel* old = listView_->selectionModel();
    listView_->setModel(jobList_);
    delete old;
    for (std::size_t c = 0; c < jobColumnWidths_.size(); ++c)
        listView_->setColumnWidth(static_cast<int>(c), jobColumnWidths_[c]);
    listView_->horizontalHeader()->setSectionsClickable(false);
    EnableJobItems(true);
}

void TForm1::SetPrinterItemLamp(int index, Lamp lamp) {
    if (index >= 0 && index < comboBoxPrinterlist_->count())
        comboBoxPrinterlist_->setItemIcon(index, QIcon(ImageListPicture(lamp)));
}

void TForm1::ShowMessage(const std::string& text, MessageIcon icon) {
    // No owner, like the message boxes of the operations always had; kept on top so the
    // always-on-top window cannot cover it.
    QMessageBox box(icon == MessageIcon::Error         ? QMessageBox::Critical
                    : icon == MessageIcon::Information ? QMessageBox::Information
                                                       : QMessageBox::Warning,
                    Text(form::kTitle), MessageTextForDisplay(text), QMessageBox::Ok);
    box.setObjectName(QStringLiteral("QuenloMessageBox"));
    // The modality first: a message box re-parents itself when it is set, which resets its window
    // flags to a plain dialog's, and the window manager then stacks it below our window.
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    box.exec();
}

}  // namespace quenlo::app
