// The watch's notices as the desktop's own notifications (org.freedesktop.Notifications on the
// session bus), where a notification server runs: one notification per printer, replaced by the
// printer's next notice and closed when the printer is green again, critical for red and normal
// otherwise, with the actions "open" (the default action, a click on the notification) and, for a
// printer the notice says may be resumed, "resume". Without a server the caller shows its tray
// balloon instead.
//
// Every call to the server is asynchronous: a server that hangs never holds up the window. A notice
// given while its printer's previous one still waits for its id replaces it once the id is known.
#pragma once

#include "monitor/Program.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace quenlo::app {

class DesktopNotifications : public QObject {
    Q_OBJECT
public:
    explicit DesktopNotifications(QObject* parent = nullptr);

    // Whether a notification server owns its name on the session bus now.
    bool ServerRunning();
    // The notice as its printer's notification; false (and nothing sent) without a server. A
    // "works again" notice closes the printer's notification instead of replacing it.
    bool Show(const TrayNotice& notice);
    // Closes the printer's notification, if it has one.
    void Close(std::size_t printer);

    // The user chose "open" on a printer's notification; `token` is the activation token the server
    // handed over for it (empty when it sent none).
    std::function<void(std::size_t printer, const QString& token)> OnOpen;
    // The user chose "resume".
    std::function<void(std::size_t printer)> OnResume;
    // The server failed the notice (it ended meanwhile, or refused it): show it some other way.
    std::function<void(const TrayNotice& notice)> OnFailed;

private:
    struct Shown {
        std::uint32_t id = 0;     // 0 while its Notify waits for its answer
        bool waiting = false;     // a Notify under way
        bool closeWhenKnown = false;
        std::optional<TrayNotice> next;  // given while waiting: sent when the id is known
    };

    // Connects to the session bus and the server's signals, once; false without a session bus.
    bool Attached();
    void Send(const TrayNotice& notice);
    void Sent(const TrayNotice& notice, std::optional<std::uint32_t> id);
    void SendClose(std::uint32_t id);
    // Asks the server what it offers (again after it was replaced); notices given meanwhile wait.
    void AskCapabilities();
    std::optional<std::size_t> PrinterOf(std::uint32_t id) const;

private Q_SLOTS:
    void ActionInvoked(uint id, const QString& action);
    void ActivationToken(uint id, const QString& token);
    void NotificationClosed(uint id, uint reason);

private:
    std::map<std::size_t, Shown> shown_;
    std::map<std::uint32_t, QString> tokens_;
    QStringList capabilities_;
    bool attached_ = false;
    bool capabilitiesKnown_ = false;
    bool askingCapabilities_ = false;
    std::vector<TrayNotice> waitingForCapabilities_;
};

}  // namespace quenlo::app
