#include "app/StatusNotifierItem.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QImage>
#include <QtEndian>

namespace quenlo::app {

namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kItemPath = QStringLiteral("/StatusNotifierItem");

ItemPixmaps PixmapsOf(const QIcon& icon) {
    ItemPixmaps out;
    for (int side : {16, 22, 32, 48}) {
        const QImage image = icon.pixmap(side, side).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.isNull())
            continue;
        ItemPixmap p{image.width(), image.height(), QByteArray(image.width() * image.height() * 4, '\0')};
        auto* to = reinterpret_cast<quint32*>(p.argb.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* row = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                *to++ = qToBigEndian(row[x]);
        }
        out.append(p);
    }
    return out;
}

}  // namespace

QDBusArgument& operator<<(QDBusArgument& arg, const ItemPixmap& pixmap) {
    arg.beginStructure();
    arg << pixmap.width << pixmap.height << pixmap.argb;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, ItemPixmap& pixmap) {
    arg.beginStructure();
    arg >> pixmap.width >> pixmap.height >> pixmap.argb;
    arg.endStructure();
    return arg;
}

QDBusArgument& operator<<(QDBusArgument& arg, const ItemToolTip& tip) {
    arg.beginStructure();
    arg << tip.iconName << tip.pixmaps << tip.title << tip.text;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, ItemToolTip& tip) {
    arg.beginStructure();
    arg >> tip.iconName >> tip.pixmaps >> tip.title >> tip.text;
    arg.endStructure();
    return arg;
}

StatusNotifierItem::StatusNotifierItem(QObject* parent)
    : QObject(parent),
      service_(QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(QCoreApplication::applicationPid())) {
    qDBusRegisterMetaType<ItemPixmap>();
    qDBusRegisterMetaType<ItemPixmaps>();
    qDBusRegisterMetaType<ItemToolTip>();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    areaWatcher_ = new QDBusServiceWatcher(kWatcher, bus, QDBusServiceWatcher::WatchForRegistration, this);
    connect(areaWatcher_, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        // A restarted area has forgotten the item.
        if (shown_)
            Register();
        if (OnAreaAppeared)
            OnAreaAppeared();
    });
}

StatusNotifierItem::~StatusNotifierItem() { Hide(); }

bool StatusNotifierItem::AreaPresent() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.interface()->isServiceRegistered(kWatcher).value();
}

QDBusObjectPath StatusNotifierItem::Menu() const { return QDBusObjectPath(QStringLiteral("/NO_DBUSMENU")); }

bool StatusNotifierItem::Show(const QIcon& icon, const QString& toolTip) {
    pixmaps_ = PixmapsOf(icon);
    toolTip_ = toolTip;
    if (!AreaPresent())
        return false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!shown_) {
        bus.registerService(service_);
        bus.registerObject(kItemPath, this,
                           QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                               QDBusConnection::ExportAllProperties);
    }
    shown_ = Register();
    if (!shown_)
        Hide();
    return shown_;
}

bool StatusNotifierItem::Register() {
    QDBusMessage call = QDBusMessage::createMethodCall(kWatcher, QStringLiteral("/StatusNotifierWatcher"), kWatcher,
                                                       QStringLiteral("RegisterStatusNotifierItem"));
    call << service_;
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 2000).type() == QDBusMessage::ReplyMessage;
}

void StatusNotifierItem::SetIcon(const QIcon& icon) {
    pixmaps_ = PixmapsOf(icon);
    if (shown_)
        Q_EMIT NewIcon();
}

void StatusNotifierItem::SetToolTip(const QString& toolTip) {
    toolTip_ = toolTip;
    if (shown_)
        Q_EMIT NewToolTip();
}

void StatusNotifierItem::Hide() {
    // The area drops an item whose name leaves the bus.
    shown_ = false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    bus.unregisterObject(kItemPath);
    bus.unregisterService(service_);
}

void StatusNotifierItem::Activate(int, int) {
    if (OnActivate)
        OnActivate();
}

// As on the toolkit's own icon, only the left click does anything.
void StatusNotifierItem::SecondaryActivate(int, int) {}
void StatusNotifierItem::ContextMenu(int, int) {}
void StatusNotifierItem::Scroll(int, const QString&) {}

void StatusNotifierItem::ProvideXdgActivationToken(const QString& token) {
    // The toolkit's Wayland side activates the next shown window with it, once.
    if (!token.isEmpty())
        qputenv("XDG_ACTIVATION_TOKEN", token.toLatin1());
}

}  // namespace quenlo::app
