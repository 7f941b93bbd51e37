#include "app/Form1.h"

#include "app/FilePages.h"
#include "app/JobListModel.h"
#include "app/MonitorHost.h"
#include "app/TextCodec.h"
#include "app/WatchTray.h"
#include "config/Gateways.h"
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

// The pictures live in a static library; this pulls them in.
static void InitQuenloResources() { Q_INIT_RESOURCE(quenlo); }

namespace quenlo::app {

namespace {

// 16764108, the pale blue-violet of every text on the panel.
const QColor kTextColour(204, 204, 255);

// Stacking order and design geometry of the controls (client coordinates).
constexpr QRect kLabelStatusRect(24, 24, 0, 13);
constexpr QRect kImageStatusRect(0, 23, 16, 16);
constexpr QRect kLabelCommentRect(24, 56, 0, 13);
constexpr QRect kRefreshButtonRect(581, 61, 18, 18);
constexpr QRect kLabelPrinterStatusRect(24, 40, 0, 13);
constexpr QRect kImagePrinterStatusRect(0, 39, 16, 16);
constexpr QRect kComboBoxRect(0, 0, 600, 21);
constexpr QRect kListViewRect(0, 80, 600, 219);

constexpr int kLabelHeight = 13;
constexpr int kDefaultColumnWidth = 50;
// How long the end of the program waits for the servers to drop the watch's subscriptions.
constexpr std::chrono::milliseconds kWatchEndLimit{1000};
// How long the window sits in the tray before it gives back its file pages (app/FilePages.h).
constexpr std::chrono::milliseconds kGiveBackDelay{1000};

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

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
    font.setPointSize(8);
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
    return {desktop.x() + desktop.width() - std::max(kDesignWidth, frame.width()),
            desktop.y() + desktop.height() - std::max(kDesignHeight, frame.height()) - 30};
}

TForm1::TForm1() : TForm1(Options{}) {}

TForm1::TForm1(Options options) : options_(std::move(options)) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Quenlo"));
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
    monitor_ = std::make_unique<MonitorHost>(*this, printerList_);
}

TForm1::~TForm1() {
    FormDestroy();
    // The monitor refers to the view and the printer list; it goes first.
    monitor_.reset();
}

void TForm1::CreateComponents() {
    const QPalette controls = ControlPalette(palette());
    auto makeLabel = [&](const char* name, const QRect& rect, const char* text) {
        auto* label = new QLabel(this);
        label->setObjectName(QString::fromLatin1(name));
        label->setPalette(controls);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        // The texts come from servers and files: "<b>" in a state message is text, not markup.
        label->setTextFormat(Qt::PlainText);
        label->move(rect.topLeft());
        SetLabelText(label, text);
        return label;
    };
    auto makeImage = [&](const char* name, const QRect& rect) {
        auto* image = new QLabel(this);
        image->setObjectName(QString::fromLatin1(name));
        image->setGeometry(rect);
        return image;
    };

    labelStatus_ = makeLabel("LabelStatus", kLabelStatusRect, "LabelStatus");
    labelStatus_->setAutoFillBackground(true);  // its own black background
    imageStatus_ = makeImage("ImageStatus", kImageStatusRect);
    labelComment_ = makeLabel("LabelComment", kLabelCommentRect, "Megjegyzés:");

    refreshButton_ = new QToolButton(this);
    refreshButton_->setObjectName(QStringLiteral("RefreshButton"));
    refreshButton_->setAutoRaise(true);
    refreshButton_->setFocusPolicy(Qt::NoFocus);
    refreshButton_->setIcon(QIcon(BuiltInImage("refresh.png")));
    refreshButton_->setIconSize(QSize(16, 16));
    refreshButton_->setGeometry(kRefreshButtonRect);
    refreshButton_->setToolTip(Text("Lista frissítése"));
    connect(refreshButton_, &QToolButton::clicked, this, [this] { RefreshButtonClick(); });

    labelPrinterStatus_ = makeLabel("LabelPrinterStatus", kLabelPrinterStatusRect, "printer - unknown");
    imagePrinterStatus_ = makeImage("ImagePrinterStatus", kImagePrinterStatusRect);

    comboBoxPrinterlist_ = new QComboBox(this);
    comboBoxPrinterlist_->setObjectName(QStringLiteral("ComboBoxPrinterlist"));
    comboBoxPrinterlist_->setEditable(false);
    comboBoxPrinterlist_->setFrame(false);
    comboBoxPrinterlist_->setMaxVisibleItems(10);
    comboBoxPrinterlist_->setPalette(controls);
    comboBoxPrinterlist_->setGeometry(kComboBoxRect);
    // The drop-down list is a window of its own and does not inherit the selector's colours.
    comboBoxPrinterlist_->view()->setPalette(controls);
    comboBoxPrinterlist_->view()->window()->setPalette(controls);
    // Only a choice by the user refreshes; items added or selected by the program do not.
    connect(comboBoxPrinterlist_, &QComboBox::activated, this, [this](int) { ComboBoxPrinterlistChange(); });

    listView_ = new QTableView(this);
    listView_->setObjectName(QStringLiteral("ListView"));
    jobList_ = new JobListModel(listView_);
    listView_->setModel(jobList_);
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
    listView_->horizontalHeader()->setDefaultSectionSize(kDefaultColumnWidth);
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
    listView_->setGeometry(kListViewRect);
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
    timerMinimize_->setInterval(1000);
    connect(timerMinimize_, &QTimer::timeout, this, [this] { TimerMinimizeTimer(); });

    trayIcon_ = new QSystemTrayIcon(this);
    trayIcon_->setObjectName(QStringLiteral("TrayIcon"));
    connect(trayIcon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { TrayIconMessage(reason); });
}

void TForm1::CreateMenus() {
    auto makeItem = [](QMenu* menu, const char* name, const char* caption) {
        QAction* item = menu->addAction(Text(caption));
        item->setObjectName(QString::fromLatin1(name));
        return item;
    };

    popupMenu_ = new QMenu(this);
    popupMenu_->setObjectName(QStringLiteral("PopupMenu"));
    megszakit_ = makeItem(popupMenu_, "Megszakit", "Megszakít");
    szunet_ = makeItem(popupMenu_, "Szunet", "Szünet");
    folytat_ = makeItem(popupMenu_, "Folytat", "Folytat");
    connect(megszakit_, &QAction::triggered, this, [this] { MegszakitClick(); });
    connect(szunet_, &QAction::triggered, this, [this] { SzunetClick(); });
    connect(folytat_, &QAction::triggered, this, [this] { FolytatClick(); });

    popupMenuPrinter_ = new QMenu(this);
    popupMenuPrinter_->setObjectName(QStringLiteral("PopupMenuPrinter"));
    nyomtatofelfuggesztese_ = makeItem(popupMenuPrinter_, "Nyomtatofelfuggesztese", "Nyomtató felfüggesztése");
    nyomtatofolytatasa_ = makeItem(popupMenuPrinter_, "Nyomtatofolytatasa", "Nyomtató folytatása");
    osszesfeladattorlese_ = makeItem(popupMenuPrinter_, "Osszesfeladattorlese", "Összes feladat törlése");
    connect(nyomtatofelfuggesztese_, &QAction::triggered, this, [this] { NyomtatofelfuggeszteseClick(); });
    connect(nyomtatofolytatasa_, &QAction::triggered, this, [this] { NyomtatofolytatasaClick(); });
    connect(osszesfeladattorlese_, &QAction::triggered, this, [this] { OsszesfeladattorleseClick(); });

    listView_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(listView_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        popupMenu_->popup(listView_->viewport()->mapToGlobal(pos));
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
        popupMenuPrinter_->popup(control->mapToGlobal(pos));
    });
}

void TForm1::LayOut() {
    // Anchors: the selector and the list keep their right margin, the list its bottom margin and
    // the refresh button its distance from the right edge; everything else stays put.
    const int dw = width() - kClientWidth;
    const int dh = height() - kClientHeight;
    comboBoxPrinterlist_->setGeometry(kComboBoxRect.adjusted(0, 0, dw, 0));
    refreshButton_->setGeometry(kRefreshButtonRect.translated(dw, 0));
    listView_->setGeometry(kListViewRect.adjusted(0, 0, dw, dh));
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

void TForm1::ExplainSetup(const std::string& fileWithoutPrinters) {
    if (!options_.explainSetup)
        return;
    setupHint_ = SetupHintText(PrintersFileSearch::FromProcess(), fileWithoutPrinters);
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
    return options_.trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
}

void TForm1::FormCreate() {
    if (created_)
        return;
    created_ = true;

    move(BottomRightPlacement(VirtualDesktop()));
    fittingFrame_ = true;
    minimizeHooked_ = true;
    exeDir_ = options_.exeDir.empty() ? platform::ExecutableDir() : options_.exeDir;

    // A missing file ends the program silently: opening "printers.qdl" in the current directory
    // then fails as well.
    const std::optional<std::string> located = LocatePrintersFile();
    if (!located)
        RequestTermination();
    const std::string configDir = located.value_or(std::string());

    // The reader appends each printer at its "<endprinter>" line and starts its gateway right
    // there, so gateways start in file order while the file is still being read.
    ProxySettings proxy;
    const std::string exeDir = exeDir_;
    const bool read = ReadPrintersFile(configDir, printerList_, proxy,
                                       [&exeDir](TAList& entry, const std::string& dir) {
                                           StartGateway(entry, exeDir, dir);
                                       });
    if (!read) {
        RequestTermination();
        ExplainSetup(located ? configDir + kPrintersFileName : std::string());
        return;
    }
    monitor_->ApplyProxySettings(proxy);

    for (const JobColumn& column : kJobColumns)
        AddJobColumn(column.caption, column.width);

    for (TAList& entry : printerList_) {
        AddPrinterItem(entry.name);
        entry.StatusText = "idle, accepting jobs";
    }
    if (printerList_.empty()) {
        RequestTermination();
        ExplainSetup(configDir + kPrintersFileName);
        return;
    }

    SelectPrinterItem(0);
    ComboBoxPrinterlistChange();
    if (proxy.Watch > 0)
        watchTray_ = std::make_unique<WatchTray>(*this, proxy, proxy.Watch);
    timerMinimize_->start();
}

void TForm1::FormDestroy() {
    if (destroyed_)
        return;
    destroyed_ = true;
    StopGateways(printerList_);
    trayIcon_->hide();
    // A watch left to its lease would keep the servers sending it events for minutes.
    if (watchTray_)
        watchTray_->End(kWatchEndLimit);
}

void TForm1::EndGateways() { StopGateways(printerList_); }

void TForm1::closeEvent(QCloseEvent* event) {
    // Closing the window (not minimising it) ends the program.
    event->accept();
    QCoreApplication::quit();
}

// ---------------------------------------------------------------------------------------------
// Handlers

void TForm1::ComboBoxPrinterlistChange() { monitor_->Refresh(); }
void TForm1::RefreshButtonClick() { ComboBoxPrinterlistChange(); }
void TForm1::MegszakitClick() { monitor_->CancelJob(); }
void TForm1::SzunetClick() { monitor_->HoldJob(); }
void TForm1::FolytatClick() { monitor_->ReleaseJob(); }
void TForm1::NyomtatofelfuggeszteseClick() { monitor_->PausePrinter(); }
void TForm1::NyomtatofolytatasaClick() { monitor_->ResumePrinter(); }
void TForm1::OsszesfeladattorleseClick() { monitor_->PurgeJobs(); }

void TForm1::TimerMinimizeTimer() {
    timerMinimize_->stop();
    ApplicationMinimize();
}

void TForm1::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Queued: whoever minimised the window may still be changing it (showMinimized shows it right
    // after setting the state), and hiding in the middle of that would be undone.
    if (event->type() == QEvent::WindowStateChange && minimizeHooked_ && !minimizing_ && isMinimized())
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
        return;
    }
    // With a notification area the window is only hidden, never minimised by us first: a window
    // we minimise carries "iconic" as its initial state, so showing it again would map it
    // minimised and send it straight back here.
    trayIcon_->setIcon(appIcon_);
    trayIcon_->setToolTip(QStringLiteral("Quenlo"));
    trayIcon_->show();
    hide();
    // Settled in the tray, it gives back the file pages it touched to start and draw itself.
    QTimer::singleShot(kGiveBackDelay, this, [this] {
        if (!isVisible())
            GiveBackFilePages();
    });
}

void TForm1::TrayIconMessage(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Trigger)
        return;
    // Restored before it is shown: a window the window manager minimised (its title-bar button)
    // must come back in its normal state, not be mapped minimised again.
    setWindowState(windowState() & ~Qt::WindowMinimized);
    setVisible(true);
    trayIcon_->hide();
    raise();
    activateWindow();
}

// ---------------------------------------------------------------------------------------------
// MonitorView

void TForm1::SetLabelText(QLabel* label, const std::string& text) {
    label->setText(IsolatedForDisplay(text));
    // Auto width, fixed height.
    label->resize(label->sizeHint().width(), kLabelHeight);
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
    listView_->setColumnWidth(column, width > 0 ? width : kDefaultColumnWidth);
}

void TForm1::ClearJobs() { jobList_->Clear(); }

void TForm1::AddJobRow(JobRow&& row) { jobList_->Append(std::move(row)); }

int TForm1::SelectedJobCount() const {
    return static_cast<int>(listView_->selectionModel()->selectedRows().size());
}

std::string TForm1::SelectedJobCaption() const {
    const QModelIndexList rows = listView_->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return {};
    return jobList_->Row(rows.first().row())[0];
}

void TForm1::ShowMessage(const std::string& text, MessageIcon icon) {
    // No owner, like the message boxes of the operations always had; kept on top so the
    // always-on-top window cannot cover it.
    QMessageBox box(icon == MessageIcon::Error ? QMessageBox::Critical : QMessageBox::Warning,
                    QStringLiteral("Quenlo"), MessageTextForDisplay(text), QMessageBox::Ok);
    box.setObjectName(QStringLiteral("QuenloMessageBox"));
    // The modality first: a message box re-parents itself when it is set, which resets its window
    // flags to a plain dialog's, and the window manager then stacks it below our window.
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    box.exec();
}

}  // namespace quenlo::app
