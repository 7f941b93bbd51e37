// WatchTray: the live watch in the window, made only when the printers file sets "watch" above 0.
//
// It runs a TWatcher over the window's printer list on the user-interface thread's loop and:
//   - puts the worst lamp of all printers in a corner of the tray icon (green: all reachable,
//     working and accepting; yellow: one stopped, not accepting or reporting an error; red: one
//     unreachable), with the tip "Quenlo" followed by one line per printer that is not green or
//     reports something (its printer line, then its errors and warnings);
//   - shows the tray's balloon when a printer turns yellow or red (or reports other errors) and
//     when it is green again, and once for each new warning, by the rule of TWatchNotices (held
//     for one interval, at most once a minute per printer);
//   - gives the window's printer lamp the selected printer's errors and warnings as its hint;
//   - makes the view follow the server: a change of the selected printer runs the window's ordinary
//     refresh within about a second while the window is shown, at most once per interval and never
//     while a refresh or an operation is running; while the window is in the tray nothing is
//     refreshed, and one refresh runs when it is shown again if anything changed meanwhile.
// The window itself still sets the plain icon and tip when it goes to the tray; the watch puts its
// own over them as soon as the window is hidden (it watches the window's hide events).
#pragma once

#include "config/PrintersFile.h"
#include "monitor/MonitorView.h"
#include "monitor/WatchNotice.h"
#include "monitor/Watcher.h"

#include <QIcon>
#include <QObject>
#include <QString>
#include <chrono>
#include <optional>
#include <vector>

class QTimer;

namespace quenlo::app {

class TForm1;

// The texts the watch shows, in the window's language: a balloon's title is the printer's name
// followed by one of these, its body the printer's state message (or its printer line).
namespace watch_texts {
inline constexpr const char* kTurnedRed = " nem érhető el";
inline constexpr const char* kTurnedYellow = " leállt vagy nem fogad feladatot";
inline constexpr const char* kTurnedGreen = " újra működik";
// A balloon of errors: the printer's name, this, the errors; of warnings: the same with kWarned.
inline constexpr const char* kReports = ": ";
inline constexpr const char* kWarned = " figyelmeztet";
// The lamp's hint: one line per level that has alerts.
inline constexpr const char* kHintErrors = "Hiba: ";
inline constexpr const char* kHintWarnings = "Figyelmeztetés: ";
}  // namespace watch_texts

// The worst of the lamps: red over yellow over green.
Lamp WorstLamp(Lamp a, Lamp b);
// The application icon with the lamp in its bottom-right corner.
QIcon IconWithLamp(const QIcon& appIcon, const QPixmap& lamp);

class WatchTray : public QObject {
public:
    // `form` (and its printer list, which must stay as it is) must outlive the watch; the form owns
    // it. Starts the watcher at once.
    WatchTray(TForm1& form, const ProxySettings& proxy, int seconds);
    ~WatchTray() override;
    WatchTray(const WatchTray&) = delete;
    WatchTray& operator=(const WatchTray&) = delete;

    TWatcher& Watcher() { return watcher_; }
    // The end of the watch, when the program ends: no more looks, balloons or follow refreshes;
    // each server is asked to drop the watch's subscriptions, waiting for the answers at most
    // `limit` (the window is gone by then, so the wait shows nowhere). Only the network layer's
    // own loop runs meanwhile, no toolkit event.
    void End(std::chrono::milliseconds limit);
    // The lamp the tray icon shows now, and its tip.
    Lamp TrayLamp() const { return trayLamp_; }
    const QString& TrayTip() const { return trayTip_; }
    // The hint the watch gave the printer lamp last.
    const QString& LampHint() const { return lampHint_; }
    // Follow refreshes run so far (for tests).
    int FollowCount() const { return follows_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Changed(std::size_t index);
    void Tick();
    void ShowOnTray();
    void Announce(std::size_t index, Lamp lamp);
    void AnnounceWarnings(std::size_t index, const std::vector<std::string>& keys);
    void ShowLampHint();
    void Follow();
    bool RefreshAllowed() const;

    TForm1& form_;
    TWatcher watcher_;
    TWatchNotices notices_;
    QTimer* tick_ = nullptr;
    Lamp trayLamp_ = Lamp::Green;
    QString trayTip_;
    QString lampHint_;
    bool followPending_ = false;
    std::optional<std::chrono::steady_clock::time_point> lastFollow_;
    int follows_ = 0;
    std::vector<bool> lookedBefore_;
};

}  // namespace quenlo::app
