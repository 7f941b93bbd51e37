#include "app/DesktopNotifications.h"

#include "app/TextCodec.h"
#include "monitor/MonitorTexts.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QVariantMap>
#include <utility>

namespace quenlo::app {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kOpen = QStringLiteral("default");  // the key a click on the notification invokes
const QString kOpenNamed = QStringLiteral("open");
const QString kResume = QStringLiteral("resume");
constexpr unsigned char kUrgencyNormal = 1, kUrgencyCritical = 2;

QDBusMessage Call(const QString& method) { return QDBusMessage::createMethodCall(kService, kPath, kInterface, method); }

// A "works again" notice: the printer's notification is closed instead.
bool SaysGreenAgain(const TrayNotice& notice) { return !notice.warning && notice.lamp == Lamp::Green; }

}  // namespace

DesktopNotifications::DesktopNotifications(QObject* parent) : QObject(parent) {}

bool DesktopNotifications::Attached()
{
    // Only the first notice opens the session bus: a window without the watch never does.
    if (attached_)
        return true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    attached_ = true;
    bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                SLOT(ActionInvoked(uint, QString)));
    bus.connect(kService, kPath, kInterface, QStringLiteral("ActivationToken"), this,
                SLOT(ActivationToken(uint, QString)));
    bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                SLOT(NotificationClosed(uint, uint)));
    // A server that ends or is replaced forgets our notifications, and the next may offer other
    // things.
    auto* watcher = new QDBusServiceWatcher(kService, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, [this] {
        shown_.clear();
        tokens_.clear();
        capabilitiesKnown_ = false;
    });
    return true;
}

bool DesktopNotifications::ServerRunning()
{
    if (!Attached())
        return false;
    const QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.interface() && bus.interface()->isServiceRegistered(kService).value();
}

bool DesktopNotifications::Show(const TrayNotice& notice)
{
    if (!ServerRunning())
        return false;
    if (SaysGreenAgain(notice)) {
        Close(notice.printer);
        return true;
    }
    if (!capabilitiesKnown_) {
        waitingForCapabilities_.push_back(notice);
        AskCapabilities();
        return true;
    }
    Shown& shown = shown_[notice.printer];
    shown.closeWhenKnown = false;
    if (shown.waiting) {
        shown.next = notice;
        return true;
    }
    Send(notice);
    return true;
}

void DesktopNotifications::Close(std::size_t printer)
{
    const auto it = shown_.find(printer);
    if (it == shown_.end())
        return;
    if (it->second.waiting) {
        it->second.next.reset();
        it->second.closeWhenKnown = true;
        return;
    }
    SendClose(it->second.id);
    shown_.erase(it);
}

void DesktopNotifications::AskCapabilities()
{
    if (askingCapabilities_)
        return;
    askingCapabilities_ = true;
    auto* call = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(Call("GetCapabilities")), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* self) {
        self->deleteLater();
        askingCapabilities_ = false;
        const QDBusPendingReply<QStringList> reply = *self;
        capabilities_ = reply.isError() ? QStringList() : reply.value();
        capabilitiesKnown_ = true;
        for (const TrayNotice& notice : std::exchange(waitingForCapabilities_, {}))
            Show(notice);
    });
}

void DesktopNotifications::Send(const TrayNotice& notice)
{
    Shown& shown = shown_[notice.printer];
    shown.waiting = true;
    QStringList actions;
    if (capabilities_.contains(QStringLiteral("actions"))) {
        actions << kOpen << QString::fromUtf8(texts::kOpenNoticed);
        if (notice.resumable)
            actions << kResume << QString::fromUtf8(form::kPrinterMenu[1].caption);
    }
    QString body = DecodeForDisplay(notice.text);
    if (capabilities_.contains(QStringLiteral("body-markup")))
        body = body.toHtmlEscaped();
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"),
                 QVariant::fromValue(notice.lamp == Lamp::Red ? kUrgencyCritical : kUrgencyNormal));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("quenlo"));
    QDBusMessage notify = Call(QStringLiteral("Notify"));
    notify << QString::fromUtf8(form::kTitle) << shown.id << QStringLiteral("quenlo") << DecodeForDisplay(notice.title)
           << body << actions << hints << -1;
    auto* call = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(notify), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this, notice](QDBusPendingCallWatcher* self) {
        self->deleteLater();
        const QDBusPendingReply<uint> reply = *self;
        Sent(notice, reply.isError() ? std::nullopt : std::optional<std::uint32_t>(reply.value()));
    });
}

void DesktopNotifications::Sent(const TrayNotice& notice, std::optional<std::uint32_t> id)
{
    const auto it = shown_.find(notice.printer);
    if (it == shown_.end()) {
        // The server was replaced meanwhile: the id is not ours to keep.
        return;
    }
    Shown& shown = it->second;
    shown.waiting = false;
    if (!id) {
        shown_.erase(it);
        if (OnFailed)
            OnFailed(notice);
        return;
    }
    shown.id = *id;
    if (shown.closeWhenKnown) {
        SendClose(shown.id);
        shown_.erase(it);
    } else if (shown.next) {
        Send(*std::exchange(shown.next, std::nullopt));
    }
}

void DesktopNotifications::SendClose(std::uint32_t id)
{
    if (id == 0)
        return;
    QDBusMessage close = Call(QStringLiteral("CloseNotification"));
    close << id;
    QDBusConnection::sessionBus().asyncCall(close);
    tokens_.erase(id);
}

std::optional<std::size_t> DesktopNotifications::PrinterOf(std::uint32_t id) const
{
    for (const auto& [printer, shown] : shown_)
        if (shown.id == id && id != 0)
            return printer;
    return std::nullopt;
}

void DesktopNotifications::ActivationToken(uint id, const QString& token)
{
    // Sent just before the action it belongs to.
    if (PrinterOf(id))
        tokens_[id] = token;
}

void DesktopNotifications::ActionInvoked(uint id, const QString& action)
{
    const std::optional<std::size_t> printer = PrinterOf(id);
    if (!printer)
        return;
    QString token;
    if (const auto it = tokens_.find(id); it != tokens_.end()) {
        token = it->second;
        tokens_.erase(it);
    }
    if ((action == kOpen || action == kOpenNamed) && OnOpen)
        OnOpen(*printer, token);
    else if (action == kResume && OnResume)
        OnResume(*printer);
}

void DesktopNotifications::NotificationClosed(uint id, uint /*reason*/)
{
    tokens_.erase(id);
    if (const std::optional<std::size_t> printer = PrinterOf(id))
        shown_.erase(*printer);
}

}  // namespace quenlo::app
