#include "app/QuitOnSignal.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace quenlo::app {

namespace {

// The handler only writes a byte; the quitting happens on the user-interface thread.
int wakeFds[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    (void)!::write(wakeFds[1], &byte, 1);
}

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

}  // namespace

QuitOnSignal::QuitOnSignal(QObject* parent) : QObject(parent) {
    if (::pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier_ = new QSocketNotifier(wakeFds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        while (::read(wakeFds[0], buffer, sizeof buffer) > 0) {
        }
        received_ = true;
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : kSignals)
        ::sigaction(sig, &action, nullptr);
}

QuitOnSignal::~QuitOnSignal() {
    if (!notifier_)
        return;
    for (int sig : kSignals)
        std::signal(sig, SIG_DFL);
    notifier_->setEnabled(false);
    ::close(wakeFds[0]);
    ::close(wakeFds[1]);
    wakeFds[0] = wakeFds[1] = -1;
}

}  // namespace quenlo::app
