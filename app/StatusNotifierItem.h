// The tray icon as a StatusNotifier item of the program's own, over the session bus. The toolkit
// decides once per process whether such a notification area exists; a panel started after the
// program (an autostart racing the desktop) would never get the icon. This item is used instead
// once a notification area has appeared since.
#pragma once

#include <QByteArray>
#include <QDBusArgument>
#include <QIcon>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

class QDBusServiceWatcher;

namespace quenlo::app {

struct ItemPixmap {
    int width = 0;
    int height = 0;
    QByteArray argb;  // ARGB32, each pixel in network byte order
};
using ItemPixmaps = QList<ItemPixmap>;

struct ItemToolTip {
    QString iconName;
    ItemPixmaps pixmaps;
    QString title;
    QString text;
};

class StatusNotifierItem : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ Category)
    Q_PROPERTY(QString Id READ Id)
    Q_PROPERTY(QString Title READ Title)
    Q_PROPERTY(QString Status READ Status)
    Q_PROPERTY(int WindowId READ WindowId)
    Q_PROPERTY(QString IconName READ IconName)
    Q_PROPERTY(quenlo::app::ItemPixmaps IconPixmap READ IconPixmap)
    Q_PROPERTY(quenlo::app::ItemToolTip ToolTip READ ToolTip)
    Q_PROPERTY(bool ItemIsMenu READ ItemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ Menu)

public:
    explicit StatusNotifierItem(QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    // Whether a notification area watches for items on the session bus now.
    static bool AreaPresent();
    // Puts the item in the notification area (again, when the area was restarted); false when
    // there is none.
    bool Show(const QIcon& icon, const QString& toolTip);
    void SetIcon(const QIcon& icon);
    void SetToolTip(const QString& toolTip);
    void Hide();
    bool Shown() const { return shown_; }

    // A left click on the item.
    std::function<void()> OnActivate;
    // A notification area that has appeared on the session bus.
    std::function<void()> OnAreaAppeared;

    QString Category() const { return QStringLiteral("ApplicationStatus"); }
    QString Id() const { return QStringLiteral("quenlo"); }
    QString Title() const { return QStringLiteral("Quenlo"); }
    QString Status() const { return QStringLiteral("Active"); }
    int WindowId() const { return 0; }
    QString IconName() const { return {}; }
    ItemPixmaps IconPixmap() const { return pixmaps_; }
    ItemToolTip ToolTip() const { return {{}, {}, toolTip_, {}}; }
    bool ItemIsMenu() const { return false; }
    // The tray icon has no menu of its own.
    QDBusObjectPath Menu() const;

public Q_SLOTS:
    void Activate(int x, int y);
    void SecondaryActivate(int x, int y);
    void ContextMenu(int x, int y);
    void Scroll(int delta, const QString& orientation);
    // Sent by an area before Activate: the token that lets the window take the focus.
    void ProvideXdgActivationToken(const QString& token);

Q_SIGNALS:
    void NewIcon();
    void NewToolTip();
    void NewStatus(const QString& status);

private:
    bool Register();

    QString service_;
    QDBusServiceWatcher* areaWatcher_ = nullptr;
    ItemPixmaps pixmaps_;
    QString toolTip_;
    bool shown_ = false;
};

QDBusArgument& operator<<(QDBusArgument& arg, const ItemPixmap& pixmap);
const QDBusArgument& operator>>(const QDBusArgument& arg, ItemPixmap& pixmap);
QDBusArgument& operator<<(QDBusArgument& arg, const ItemToolTip& tip);
const QDBusArgument& operator>>(const QDBusArgument& arg, ItemToolTip& tip);

}  // namespace quenlo::app

Q_DECLARE_METATYPE(quenlo::app::ItemPixmap)
Q_DECLARE_METATYPE(quenlo::app::ItemToolTip)
