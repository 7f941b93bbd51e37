#include "app/WatchTray.h"

#include "app/Form1.h"
#include "app/MonitorHost.h"
#include "app/TextCodec.h"
#include "monitor/Monitor.h"
#include "net/HttpProt.h"
#include "platform/EventLoop.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

#include <algorithm>
#include <utility>

#include <poll.h>

namespace quenlo::app {

namespace {

// How often held notices and a pending follow are looked at: well within the 2 s the view may lag.
constexpr int kTickMs = 500;
constexpr int kBalloonMs = 10000;

QString BalloonTitle(const std::string& name, Lamp lamp, const std::string& errors)
{
    if (lamp != Lamp::Red && !errors.empty())
        return DecodeForDisplay(name + watch_texts::kReports + errors);
    const char* text = lamp == Lamp::Red      ? watch_texts::kTurnedRed
                       : lamp == Lamp::Yellow ? watch_texts::kTurnedYellow
                                              : watch_texts::kTurnedGreen;
    return DecodeForDisplay(name) + QString::fromUtf8(text);
}

std::string ErrorTexts(const WatchState& state) { return AlertTexts(WatchAlerts(state), ReasonLevel::Error); }

// The printer's line in the tray's tip: its printer line, then what it reports.
std::string TipLine(const WatchState& state, const std::string& name)
{
    std::string line = WatchLine(state, name);
    const char* separator = " \xe2\x80\x93 ";  // an en dash
    for (const PrinterAlert& alert : WatchAlerts(state)) {
        line += separator + alert.text;
        separator = "; ";
    }
    // Why the printer behind the queue is not asked: said here, never in a balloon.
    if (!state.deviceDisagrees && !state.device.empty())
        line += separator + state.device;
    return line;
}

std::string LampHintText(const WatchState& state)
{
    const std::vector<PrinterAlert> alerts = WatchAlerts(state);
    std::string hint;
    for (const auto& [level, label] : {std::pair{ReasonLevel::Error, watch_texts::kHintErrors},
                                       std::pair{ReasonLevel::Warning, watch_texts::kHintWarnings}}) {
        const std::string texts = AlertTexts(alerts, level);
        if (!texts.empty())
            hint += (hint.empty() ? "" : "\n") + std::string(label) + texts;
    }
    return hint;
}

}  // namespace

Lamp WorstLamp(Lamp a, Lamp b) { return static_cast<int>(a) >= static_cast<int>(b) ? a : b; }

QIcon IconWithLamp(const QIcon& appIcon, const QPixmap& lamp)
{
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

WatchTray::WatchTray(TForm1& form, const ProxySettings& proxy, int seconds)
    : form_(form),
      watcher_(form.Printers(), proxy, seconds),
      notices_(form.Printers().size(), std::chrono::seconds(watcher_.Seconds())),
      lookedBefore_(form.Printers().size(), false)
{
    watcher_.OnChange = [this](TWatcher&, std::size_t index) { Changed(index); };
    tick_ = new QTimer(this);
    tick_->setInterval(kTickMs);
    connect(tick_, &QTimer::timeout, this, [this] { Tick(); });
    tick_->start();
    form_.installEventFilter(this);
    ShowOnTray();
    watcher_.Start();
}

WatchTray::~WatchTray() { form_.removeEventFilter(this); }

void WatchTray::End(std::chrono::milliseconds limit)
{
    tick_->stop();
    form_.removeEventFilter(this);
    watcher_.CancelSubscriptions();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (watcher_.Busy()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd loop{platform::LoopDescriptor(), POLLIN, 0};
        ::poll(&loop, 1, static_cast<int>(left.count()) + 1);
        platform::ProcessLoopMessages();
    }
}

bool WatchTray::eventFilter(QObject* watched, QEvent* event)
{
    // The window sets the plain icon just before it hides itself: ours goes over it.
    if (watched == &form_ && event->type() == QEvent::Hide)
        ShowOnTray();
    return QObject::eventFilter(watched, event);
}

void WatchTray::Changed(std::size_t index)
{
    // The first look only confirms what the start-up refresh showed. The refresh itself waits for
    // the tick: it must not run inside the watcher's own handler.
    const bool first = !lookedBefore_[index];
    lookedBefore_[index] = true;
    const TAList* current = form_.Monitor().Monitor().CurrentPrinter();
    if (!first && current == &watcher_.Printer(index))
        followPending_ = true;
    ShowOnTray();
}

void WatchTray::Tick()
{
    const auto now = TWatchNotices::Clock::now();
    for (std::size_t i = 0; i < watcher_.Count(); ++i) {
        // A printer not looked at yet counts as it was (green): it is not announced red meanwhile.
        if (!watcher_.State(i).looked)
            continue;
        const WatchState& state = watcher_.State(i);
        if (const std::optional<Lamp> lamp = notices_.Update(i, WatchLamp(state), ErrorTexts(state), now))
            Announce(i, *lamp);
        std::vector<std::string> warnings;
        for (const PrinterAlert& alert : WatchAlerts(state))
            if (alert.level == ReasonLevel::Warning)
                warnings.push_back(alert.key);
        if (const std::vector<std::string> fresh = notices_.NewWarnings(i, warnings, now); !fresh.empty())
            AnnounceWarnings(i, fresh);
    }
    ShowLampHint();
    if (followPending_ && RefreshAllowed())
        Follow();
}

void WatchTray::ShowOnTray()
{
    Lamp worst = Lamp::Green;
    QString tip = QStringLiteral("Quenlo");
    for (std::size_t i = 0; i < watcher_.Count(); ++i) {
        const WatchState& state = watcher_.State(i);
        if (!state.looked)
            continue;
        const Lamp lamp = WatchLamp(state);
        worst = WorstLamp(worst, lamp);
        if (lamp != Lamp::Green || !WatchAlerts(state).empty() || !state.device.empty())
            tip += QLatin1Char('\n') + DecodeForDisplay(TipLine(state, watcher_.Printer(i).name));
    }
    trayLamp_ = worst;
    trayTip_ = tip;
    QSystemTrayIcon* tray = form_.TrayIcon();
    tray->setIcon(IconWithLamp(form_.windowIcon(), form_.ImageListPicture(worst)));
    tray->setToolTip(tip);
}

void WatchTray::Announce(std::size_t index, Lamp lamp)
{
    const WatchState& state = watcher_.State(index);
    const std::string& name = watcher_.Printer(index).name;
    const std::string body = state.printer.stateMessage.empty() ? WatchLine(state, name)
                                                                : state.printer.stateMessage;
    const QSystemTrayIcon::MessageIcon icon = lamp == Lamp::Red      ? QSystemTrayIcon::Critical
                                              : lamp == Lamp::Yellow ? QSystemTrayIcon::Warning
                                                                     : QSystemTrayIcon::Information;
    form_.TrayIcon()->showMessage(BalloonTitle(name, lamp, ErrorTexts(state)), DecodeForDisplay(body), icon,
                                  kBalloonMs);
}

void WatchTray::AnnounceWarnings(std::size_t index, const std::vector<std::string>& keys)
{
    std::vector<PrinterAlert> fresh;
    for (PrinterAlert& alert : WatchAlerts(watcher_.State(index)))
        if (std::find(keys.begin(), keys.end(), alert.key) != keys.end())
            fresh.push_back(std::move(alert));
    const std::string title = watcher_.Printer(index).name + watch_texts::kWarned;
    form_.TrayIcon()->showMessage(DecodeForDisplay(title),
                                  DecodeForDisplay(AlertTexts(fresh, ReasonLevel::Warning)),
                                  QSystemTrayIcon::Warning, kBalloonMs);
}

void WatchTray::ShowLampHint()
{
    const TAList* current = form_.Monitor().Monitor().CurrentPrinter();
    QString hint;
    for (std::size_t i = 0; i < watcher_.Count(); ++i)
        if (current == &watcher_.Printer(i))
            hint = DecodeForDisplay(LampHintText(watcher_.State(i)));
    if (hint == lampHint_)
        return;
    lampHint_ = hint;
    form_.ImagePrinterStatus()->setToolTip(hint);
}

bool WatchTray::RefreshAllowed() const
{
    if (!form_.isVisible() || form_.isMinimized())
        return false;
    // A refresh or an operation waits in HttpCli1 (the window keeps running meanwhile).
    if (form_.Monitor().Monitor().RequestRunning() || form_.Monitor().HttpCli1().State() != hsReady)
        return false;
    return !lastFollow_ ||
           std::chrono::steady_clock::now() - *lastFollow_ >= std::chrono::seconds(watcher_.Seconds());
}

void WatchTray::Follow()
{
    followPending_ = false;
    lastFollow_ = std::chrono::steady_clock::now();
    ++follows_;
    form_.ComboBoxPrinterlistChange();
}

}  // namespace quenlo::app
