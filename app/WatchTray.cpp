#include "app/WatchTray.h"

#include "app/Form1.h"
#include "app/MonitorHost.h"
#include "app/TextCodec.h"
#include "monitor/Monitor.h"
#include "net/HttpProt.h"
#include "platform/EventLoop.h"

#include <QEvent>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

#include <poll.h>

namespace quenlo::app {

namespace {

// How often held notices and a pending follow are looked at: well within the 2 s the view may lag.
constexpr int kTickMs = 500;
constexpr int kBalloonMs = 10000;

QString BalloonTitle(const std::string& name, Lamp lamp)
{
    const char* text = lamp == Lamp::Red      ? watch_texts::kTurnedRed
                       : lamp == Lamp::Yellow ? watch_texts::kTurnedYellow
                                              : watch_texts::kTurnedGreen;
    return DecodeForDisplay(name) + QString::fromUtf8(text);
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
        if (const std::optional<Lamp> lamp = notices_.Update(i, WatchLamp(watcher_.State(i)), now))
            Announce(i, *lamp);
    }
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
        if (lamp != Lamp::Green)
            tip += QLatin1Char('\n') + DecodeForDisplay(WatchLine(state, watcher_.Printer(i).name));
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
    form_.TrayIcon()->showMessage(BalloonTitle(name, lamp), DecodeForDisplay(body), icon, kBalloonMs);
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
