// The smallest notification area a desktop offers over D-Bus, for the window's tray test: it owns
// the well-known watcher name, says that a host is registered (that is what makes Qt choose this
// tray over the X11 one), accepts items and tells when one appears or goes. It shows nothing;
// the test script activates the items itself with dbus-send.
//
// On stdout, one line per event, flushed at once:
//   ready
//   registered <TAB> bus name <TAB> object path
//   unregistered <TAB> bus name
// Runs on the session bus of DBUS_SESSION_BUS_ADDRESS until it gets SIGTERM.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QSocketNotifier>
#include <QStringList>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

void Say(const QString& line) {
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ Items)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ HostRegistered)
    Q_PROPERTY(int ProtocolVersion READ ProtocolVersion)

public:
    explicit Watcher(const QDBusConnection& bus)
        : bus_(bus), gone_(QString(), bus, QDBusServiceWatcher::WatchForUnregistration) {
        connect(&gone_, &QDBusServiceWatcher::serviceUnregistered, this, &Watcher::Forget);
    }

    QStringList Items() const { return items_; }
    bool HostRegistered() const { return true; }
    int ProtocolVersion() const { return 0; }

public Q_SLOTS:
    // An item names its bus name, or only its object path (then the sender's name is meant).
    void RegisterStatusNotifierItem(const QString& serviceOrPath, const QDBusMessage& message) {
        QString service = serviceOrPath;
        QString path = QStringLiteral("/StatusNotifierItem");
        if (serviceOrPath.startsWith(QLatin1Char('/'))) {
            service = message.service();
            path = serviceOrPath;
        }
        const QString item = service + path;
        if (items_.contains(item))
            return;
        items_.append(item);
        gone_.addWatchedService(service);
        Say(QStringLiteral("registered\t%1\t%2").arg(service, path));
        Q_EMIT StatusNotifierItemRegistered(item);
    }

    void RegisterStatusNotifierHost(const QString&) { Q_EMIT StatusNotifierHostRegistered(); }

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString& item);
    void StatusNotifierItemUnregistered(const QString& item);
    void StatusNotifierHostRegistered();

private:
    void Forget(const QString& service) {
        gone_.removeWatchedService(service);
        for (qsizetype i = items_.size() - 1; i >= 0; --i) {
            if (items_[i].startsWith(service + QLatin1Char('/'))) {
                Q_EMIT StatusNotifierItemUnregistered(items_[i]);
                items_.removeAt(i);
            }
        }
        Say(QStringLiteral("unregistered\t%1").arg(service));
    }

    QDBusConnection bus_;
    QDBusServiceWatcher gone_;
    QStringList items_;
};

int termPipe[2] = {-1, -1};
void OnTerm(int) { (void)!::write(termPipe[1], "x", 1); }

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "tray_watcher: no session bus\n");
        return 1;
    }
    Watcher watcher(bus);
    if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties |
                                QDBusConnection::ExportAllSignals) ||
        !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")) ||
        !bus.registerService(QStringLiteral("org.kde.StatusNotifierHost-%1").arg(QCoreApplication::applicationPid()))) {
        std::fprintf(stderr, "tray_watcher: cannot take the watcher's names: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }

    // SIGTERM ends the loop, so the bus names are given back in order.
    if (::pipe(termPipe) != 0)
        return 1;
    std::signal(SIGTERM, OnTerm);
    QSocketNotifier term(termPipe[0], QSocketNotifier::Read);
    QObject::connect(&term, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

    Say(QStringLiteral("ready"));
    return QCoreApplication::exec();
}

#include "tray_watcher.moc"
