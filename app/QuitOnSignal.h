// Ends the program the normal way on SIGTERM, SIGINT or SIGHUP (a session that logs out, a service
// manager, Ctrl+C in a terminal): the event loop is left as if the window had been closed, so the
// single-instance lock is released and the gateways are terminated on the way out.
#pragma once

#include <QObject>
#include <atomic>

class QSocketNotifier;

namespace quenlo::app {

class QuitOnSignal : public QObject {
public:
    // Installs the handlers; one object at a time. The destructor restores the default handling.
    explicit QuitOnSignal(QObject* parent = nullptr);
    ~QuitOnSignal() override;
    QuitOnSignal(const QuitOnSignal&) = delete;
    QuitOnSignal& operator=(const QuitOnSignal&) = delete;

    // True once one of the signals has arrived; a signal that comes before the event loop runs
    // cannot end a loop, so the program asks this before entering it.
    bool Received() const { return received_; }

private:
    QSocketNotifier* notifier_ = nullptr;
    bool received_ = false;
};

}  // namespace quenlo::app
